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
