#!/usr/bin/env bash
# Installs what is missing, builds with a preset (dev by default) and runs every test.
#   ./test.sh [dev|asan|release|fuzz|package]
# `fuzz` builds the tree with clang and runs each fuzz target for FLX_FUZZ_SECONDS (default 20).
# `package` builds the Debian packages, checks them with lintian and installs, upgrades and
# purges them in a throw-away root (as root).
set -euo pipefail
cd "$(dirname "$0")"
preset=${1:-dev}
if [ "$preset" = package ]; then
  ./scripts/install-deps.sh
  exec tests/package/install_test.sh
fi
if [ "$preset" = fuzz ]; then
  ./scripts/install-deps.sh fuzz
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz
  exec ./scripts/run-fuzz.sh
fi
./scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
[ "$preset" = release ] || ctest --preset "$preset"
