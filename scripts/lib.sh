# Shared by the scripts: installing Debian packages that are missing.

# need_packages PKG...: installs the packages that are not installed yet
# (with apt-get when run as root), or says which are missing and fails.
need_packages() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing Debian packages: ${missing[*]} (run as root, or install them first)" >&2
    return 1
  fi
  echo "installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq >&2 && apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# musl_sysroot ARCH: Debian's musl-dev for the Debian architecture ARCH
# (i386, armel, armhf, mipsel), unpacked into build/sysroot/ARCH: the headers,
# crt files and libc.a that the player toolchain files link against. Nothing
# of it is installed into the system; a sysroot already there is kept.
musl_sysroot() {
  local arch=$1 top dir deb
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  dir="$top/build/sysroot/$arch"
  if [ -f "$dir/.unpacked" ]; then return 0; fi
  if [ "$(id -u)" -ne 0 ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
    echo "musl for $arch: run as root once (dpkg --add-architecture $arch; apt-get update)" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx "$arch" &&
     [ "$arch" != "$(dpkg --print-architecture)" ]; then
    dpkg --add-architecture "$arch" && apt-get update -qq >&2 || return 1
  fi
  local cache="$top/build/sysroot/debs"
  mkdir -p "$cache"
  # (find, not ls: no match is no failure under `set -e -o pipefail`.)
  deb=$(find "$cache" -name "musl-dev_*_$arch.deb" | sort | tail -n 1)
  if [ -z "$deb" ]; then
    # The package lists may predate the architecture's addition by another run.
    # (As root apt would hand the download to its sandbox user, who may not write here.)
    local download=(apt-get download -qq -o APT::Sandbox::User=root "musl-dev:$arch")
    (cd "$cache" && { "${download[@]}" >&2 || { apt-get update -qq >&2 && "${download[@]}" >&2; }; }) ||
      return 1
    deb=$(find "$cache" -name "musl-dev_*_$arch.deb" | sort | tail -n 1)
    [ -n "$deb" ] || { echo "musl for $arch: no musl-dev:$arch downloaded" >&2; return 1; }
  fi
  rm -rf "$dir" && mkdir -p "$dir" && dpkg-deb -x "$deb" "$dir" && touch "$dir/.unpacked"
}
