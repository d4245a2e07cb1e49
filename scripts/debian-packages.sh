#!/usr/bin/env bash
# Builds the Debian packages from a copy of the tree, checks them with
# lintian, installs them, uses what they install (a consumer built with
# pkg-config and with find_package, velmor-log, its manual page and its
# completion), then purges them and checks that no file of theirs is left.
# Run as root (it installs packages); the packages land in build/deb/.
set -Eeuo pipefail
cd "$(dirname "$0")/.."
. scripts/deps.sh
velmor_install dpkg-dev debhelper devscripts equivs fakeroot lintian man-db bash-completion pkgconf binutils \
  cmake ninja-build g++
trap 'status=$?; echo "FAILED (exit $status) in the Debian packages: $BASH_COMMAND" >&2' ERR

version=$(sed -n 's/^project(velmor_logging VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
packaged=$(dpkg-parsechangelog -l debian/changelog -S Version)
if [ "$packaged" != "$version" ]; then
  echo "debian/changelog is at $packaged, the project at $version" >&2
  exit 1
fi

work="$PWD/build/deb"
src="$work/velmor-logging-$version"
rm -rf "$work" && mkdir -p "$src"
tar -c --exclude=./build --exclude=./.git . | tar -x -C "$src"
# Whatever Build-Depends names, and nothing it forgets.
(cd "$src" && mk-build-deps --install --remove \
  --tool 'apt-get -y -qq --no-install-recommends -o Debug::pkgProblemResolver=yes' debian/control)
(cd "$src" && dpkg-buildpackage -us -uc -b)
# Warnings fail too; the two info tags kept are in the packaging's notes.
lintian --fail-on error,warning "$work/velmor-logging_${version}_amd64.changes"

packages=(libvelmor-logging1 libvelmor-logging-dev velmor-log)
debs=()
for package in "${packages[@]}"; do debs+=("$work/${package}_${version}_amd64.deb"); done
dpkg -i "${debs[@]}"

# The consumer, from nothing but what the packages installed.
g++ -std=c++17 tests/consumer/main.cpp -o "$work/consumer-pc" $(pkg-config --cflags --libs velmor_logging)
"$work/consumer-pc" "$work/consumer-pc.log"
cmake -S tests/consumer -B "$work/consumer-cmake" -G Ninja
cmake --build "$work/consumer-cmake"
"$work/consumer-cmake/consumer" "$work/consumer-cmake.log"
# A system library needs no search path, and a distribution's packages may not carry one.
for binary in "$work/consumer-pc" "$work/consumer-cmake/consumer" /usr/bin/velmor-log; do
  if readelf -d "$binary" | grep -E 'R(UN)?PATH'; then
    echo "$binary carries a library search path" >&2
    exit 1
  fi
done

[ "$(velmor-log --version)" = "velmor-log $version" ]
MANPAGER=cat MANWIDTH=80 man velmor-log | grep -q 'velmor-log'
# The page renders without a warning from groff.
warnings=$(man --warnings -E UTF-8 -l /usr/share/man/man1/velmor-log.1.gz 2>&1 >/dev/null)
if [ -n "$warnings" ]; then
  echo "man --warnings: $warnings" >&2
  exit 1
fi
# The completion, as bash loads it on demand: an option, and a value of one.
complete_words() {
  bash -c '. /usr/share/bash-completion/bash_completion
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    __load_completion velmor-log
    $(complete -p velmor-log | sed "s/.*-F \([^ ]*\) .*/\1/") velmor-log "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"
    printf "%s\n" "${COMPREPLY[@]}"' complete "$@"
}
[ "$(complete_words velmor-log --ev)" = "--every" ]
[ "$(complete_words velmor-log --every d)" = "day" ]

# Every file the packages brought goes with them, and no directory of theirs stays.
files=$(for deb in "${debs[@]}"; do dpkg-deb -c "$deb" | awk '{print substr($6, 2)}'; done | sort -u)
dpkg --purge "${packages[@]}"
left=()
while read -r path; do
  [ -z "$path" ] && continue
  if [ -d "$path" ]; then
    # Shared directories (/usr/lib, /usr/share/man, ...) stay; our own may not.
    case "$path" in
      */velmor* | */velmor_logging* | */libvelmor-logging*) left+=("$path") ;;
    esac
  elif [ -e "$path" ] || [ -L "$path" ]; then
    left+=("$path")
  fi
done <<<"$files"
if [ ${#left[@]} -ne 0 ]; then
  printf 'left behind by the purge: %s\n' "${left[@]}" >&2
  exit 1
fi
echo "Debian packages: built, lintian clean, installed, used and purged"
