#!/usr/bin/env bash
# Installs what is missing, builds with a preset (dev by default) and runs every test.
#   ./test.sh [dev|asan|release]
set -euo pipefail
cd "$(dirname "$0")"
preset=${1:-dev}
./scripts/install-deps.sh
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset"
[ "$preset" = release ] || ctest --preset "$preset"
