#!/usr/bin/env bash
# Builds the Debian packages flx-host and flx-agent from the release build and checks them with
# lintian. They land in <build>/packages.
#   scripts/package.sh                   the release preset (build/release)
#   scripts/package.sh --patch N DIR    the same tree with patch level N, built in DIR (for the
#                                        upgrade test; no file of the tree changes)
set -euo pipefail
cd "$(dirname "$0")/.."

build=build/release
extra=()
if [ "${1:-}" = --patch ]; then
  extra=(-DFLX_VERSION_PATCH="$2" -B "$3")
  build=$3
fi
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=ccache CMAKE_CXX_COMPILER_LAUNCHER=ccache
fi
# A second build folder of the same tree reuses the first one's objects.
export CCACHE_BASEDIR=$PWD CCACHE_NOHASHDIR=1
cmake --preset release "${extra[@]}" >/dev/null
cmake --build "$build"
rm -f "$build"/packages/*.deb
(cd "$build" && cpack -G DEB >/dev/null)
for deb in "$build"/packages/*.deb; do
  echo "== $deb ($(stat -c %s "$deb") bytes)"
  dpkg-deb -f "$deb" Package Version Installed-Size Depends Recommends
done
echo "== lintian"
lintian --fail-on error,warning --info "$build"/packages/*.deb
