#!/usr/bin/env bash
# Installs the Debian packages that one purpose needs, or every purpose's
# with no argument (CI):
#
#   build     building memq and memq-peer alone (BUILD_TESTING=OFF): the demo
#   test      build, plus the test suite and the fuzz targets: scripts/test.sh
#   package   building, checking and testing the Debian package (autopkgtest
#             runs debian/tests): scripts/package-check.sh; its build
#             dependencies are those debian/control names
#
# Does nothing when they are all present, so it is cheap to run again.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build=(g++ cmake ninja-build pkgconf libbsd-dev)
test=("${build[@]}" clang clang-format libclang-rt-dev lld libgtest-dev valgrind man-db mandoc)
package=(dpkg-dev lintian devscripts autopkgtest)

purposes=("$@")
[ ${#purposes[@]} -gt 0 ] || purposes=(build test package)
packages=()
build_deps=false
for purpose in "${purposes[@]}"; do
  case $purpose in
    build) packages+=("${build[@]}") ;;
    test) packages+=("${test[@]}") ;;
    package) packages+=("${package[@]}"); build_deps=true ;;
    *) echo "usage: $0 [build|test|package]..." >&2; exit 2 ;;
  esac
done

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if $build_deps && ! (cd "$root" && dpkg-checkbuilddeps >/dev/null 2>&1); then
  need_build_deps=true
else
  need_build_deps=false
fi
[ ${#missing[@]} -eq 0 ] && ! $need_build_deps && exit 0

apt=(env DEBIAN_FRONTEND=noninteractive apt-get)
[ "$(id -u)" -eq 0 ] || apt=(sudo "${apt[@]}")
"${apt[@]}" update
if [ ${#missing[@]} -gt 0 ]; then
  "${apt[@]}" install -y --no-install-recommends "${missing[@]}"
fi
if $need_build_deps; then
  "${apt[@]}" build-dep -y --no-install-recommends "$root"
fi
