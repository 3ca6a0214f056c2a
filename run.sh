#!/usr/bin/env bash
# The main job: install, build, initialise the dev root, start the host with the module,
# register a demo device, push the demo batch and show what was stored; then keep serving.
#   ./run.sh          serve until Ctrl-C
#   ./run.sh --once   push, print and stop
set -euo pipefail
cd "$(dirname "$0")"
exec ./scripts/run-demo.sh "$@"
