# Shared by the scripts: installing Debian packages that are missing.

# apt_try COMMAND...: runs an apt-get command, and twice more after a pause
# of 10 and then 20 seconds when it fails: a mirror in the middle of an
# update ("File has unexpected size ... Mirror sync in progress?"), or a
# connection that drops, passes.
apt_try() {
  local pause
  for pause in 10 20 0; do
    "$@" && return 0
    [ "$pause" -eq 0 ] && break
    echo "apt: '$*' failed; trying again in $pause s" >&2
    sleep "$pause"
  done
  return 1
}

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
  update_lists
  apt_try apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# update_lists: apt-get update, tried again on failure; a list that still
# fails (one archive in the middle of a sync) is no failure of its own: what
# is wanted may well come from the others, and the install or download that
# follows tells.
update_lists() {
  apt_try apt-get update -qq >&2 || echo "apt: not every package list could be updated; going on" >&2
}

# cached_deb DIR PACKAGE GLOB: the path of PACKAGE's .deb (file name GLOB)
# in DIR, downloaded there with apt-get when none is there yet. The package
# lists may predate an architecture's addition by another run, or name a
# version the archive has since replaced: then they are updated and the
# download is tried again. (As root apt would hand the download to its
# sandbox user, who may not write here.)
cached_deb() {
  local dir=$1 package=$2 glob=$3 deb
  # (find, not ls: no match is no failure under `set -e -o pipefail`.)
  deb=$(find "$dir" -name "$glob" | sort | tail -n 1)
  if [ -z "$deb" ]; then
    local download=(apt-get download -qq -o APT::Sandbox::User=root "$package")
    (cd "$dir" && { "${download[@]}" >&2 || { update_lists && apt_try "${download[@]}" >&2; }; }) || return 1
    deb=$(find "$dir" -name "$glob" | sort | tail -n 1)
    [ -n "$deb" ] || { echo "no $package downloaded" >&2; return 1; }
  fi
  echo "$deb"
}

# musl_sysroot ARCH...: Debian's musl-dev for each Debian architecture ARCH
# (i386, armel, armhf, mipsel), unpacked into build/sysroot/ARCH: the headers,
# crt files and libc.a that the player toolchain files link against. Nothing
# of it is installed into the system; a sysroot already there is kept. The
# architectures still missing are added to dpkg together, with one update of
# the package lists.
musl_sysroot() {
  local top arch dir deb wanted=() new=()
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  for arch in "$@"; do
    [ -f "$top/build/sysroot/$arch/.unpacked" ] || wanted+=("$arch")
  done
  [ ${#wanted[@]} -eq 0 ] && return 0
  for arch in "${wanted[@]}"; do
    [ "$arch" = "$(dpkg --print-architecture)" ] && continue
    dpkg --print-foreign-architectures | grep -qx "$arch" || new+=("$arch")
  done
  if [ ${#new[@]} -gt 0 ] && [ "$(id -u)" -ne 0 ]; then
    echo "musl for ${new[*]}: run as root once (dpkg --add-architecture ARCH; apt-get update)" >&2
    return 1
  fi
  export DEBIAN_FRONTEND=noninteractive
  if [ ${#new[@]} -gt 0 ]; then
    for arch in "${new[@]}"; do dpkg --add-architecture "$arch" || return 1; done
    update_lists
  fi
  local cache="$top/build/sysroot/debs"
  mkdir -p "$cache"
  for arch in "${wanted[@]}"; do
    deb=$(cached_deb "$cache" "musl-dev:$arch" "musl-dev_*_$arch.deb") || return 1
    dir="$top/build/sysroot/$arch"
    rm -rf "$dir" && mkdir -p "$dir" && dpkg-deb -x "$deb" "$dir" && touch "$dir/.unpacked" || return 1
  done
}

# wolfssl_source: the source of the TLS library the program links (wolfSSL,
# as Debian keeps it: its upstream release with Debian's patches, the
# security fixes among them), unpacked into build/deps/wolfssl; kept when
# already there. It comes from Debian's archive with apt-get source, through
# package lists of its own in build/deps/apt (the system's sources.list may
# name no deb-src), so it needs no root; dpkg-source (dpkg-dev) applies the
# patches. It is Debian 12's on any machine, so that every build has the
# same version, the one the settings in cmake/wolfssl/ are made for.
wolfssl_source() {
  local top deps apt sources
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  deps="$top/build/deps"
  [ -f "$deps/wolfssl/.unpacked" ] && return 0
  command -v dpkg-source >/dev/null || { echo "wolfSSL source: dpkg-source (dpkg-dev) is missing" >&2; return 1; }
  apt="$deps/apt"
  rm -rf "$apt" && mkdir -p "$apt/lists/partial" "$apt/cache/archives/partial" "$apt/src" || return 1
  sources="$apt/sources.list"
  : >"$sources"
  local keys=/usr/share/keyrings/debian-archive-keyring.gpg signed=""
  [ -f "$keys" ] && signed="[signed-by=$keys] "
  echo "deb-src ${signed}http://deb.debian.org/debian bookworm main" >>"$sources"
  echo "deb-src ${signed}http://deb.debian.org/debian-security bookworm-security main" >>"$sources"
  local options=(-o Dir::Etc::SourceList="$sources" -o Dir::Etc::SourceParts=/dev/null
                 -o Dir::State::Lists="$apt/lists" -o Dir::Cache="$apt/cache" -o APT::Sandbox::User=root -qq)
  apt_try apt-get "${options[@]}" update >&2 || return 1
  (cd "$apt/src" && apt_try apt-get "${options[@]}" source --download-only wolfssl >&2) || return 1
  rm -rf "$deps/wolfssl"
  (cd "$apt/src" && dpkg-source -x ./wolfssl_*.dsc "$deps/wolfssl" >&2) || return 1
  : >"$deps/wolfssl/.unpacked"
}

# ca_bundle: the trusted certificates a package carries for a box that has
# none of its own: Debian's ca-certificates (the certificate authorities
# that the common browsers trust), its certificates put together into one
# PEM file, build/deps/ca-certificates.crt, as Debian's own
# /etc/ssl/certs/ca-certificates.crt is made. Kept when already there.
ca_bundle() {
  local top deps deb unpacked
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  deps="$top/build/deps"
  [ -s "$deps/ca-certificates.crt" ] && return 0
  mkdir -p "$deps/debs" || return 1
  deb=$(cached_deb "$deps/debs" ca-certificates 'ca-certificates_*_all.deb') || return 1
  unpacked="$deps/ca-certificates"
  rm -rf "$unpacked" && dpkg-deb -x "$deb" "$unpacked" || return 1
  find "$unpacked/usr/share/ca-certificates" -name '*.crt' | LC_ALL=C sort | xargs cat >"$deps/ca-certificates.crt.new" &&
    grep -q 'BEGIN CERTIFICATE' "$deps/ca-certificates.crt.new" &&
    mv "$deps/ca-certificates.crt.new" "$deps/ca-certificates.crt"
}
