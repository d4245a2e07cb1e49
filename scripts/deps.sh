# Installs the Debian packages named as arguments that are not installed yet
# (as root, or through sudo). Sourced by the other scripts.
velmor_install() {
  local missing=()
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

# What every native build needs (zlib and zstd: compressed backups; CLI11: velmor-log's options,
# header-only; tzdata: the tests of the period rule across time zones).
VELMOR_BASE_PACKAGES=(cmake ninja-build g++ libgtest-dev libcli11-dev zlib1g-dev libzstd-dev git tzdata)
