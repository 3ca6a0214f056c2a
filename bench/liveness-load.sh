#!/usr/bin/env bash
# Push latency at 100 pushes/s through nginx with the identity check and the arrival record,
# against the same host without either (FLX_IDENTITY_CHECK=off, honoured by test builds, and
# nocontact.so preloaded): today's push path before them. In turns, several rounds, and the
# ratios of the medians: the machine is shared, so only figures taken in the same run compare.
# The batch is the agent's heartbeat (the demo's basic item alone), what an idle fleet sends.
#   bench/liveness-load.sh   Environment: ROUNDS (4), SECONDS_EACH (15), BUILD (build/dev),
#                            BATCH (a batch file instead of the heartbeat)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build/dev}
load=$build/bin/flx-load
shim=$(find "$build" -name nocontact.so -print -quit)
[ -x "$load" ] && [ -n "$shim" ] || {
  echo "liveness-load: build flx-load and nocontact first (cmake --build --preset dev --target flx-load nocontact)" >&2
  exit 2
}
batch=${BATCH:-}
if [ -z "$batch" ]; then
  batch=$(mktemp /tmp/liveness-load.XXXXXX.json)
  trap 'rm -f "$batch"' EXIT
  python3 -c 'import json, sys; print(json.dumps(json.load(open(sys.argv[1]))[:1]))' \
    examples/demo-batch.json >"$batch"
fi
args=(--batch "$batch" --rate 100 --seconds "${SECONDS_EACH:-15}" --warmup 2 --devices 100 --clients 8)
declare -A p50 p99
for round in $(seq "${ROUNDS:-4}"); do
  # Which side goes first alternates, so that a slow stretch of the machine hits both alike.
  if [ $((round % 2)) -eq 1 ]; then order="without with"; else order="with without"; fi
  for mode in $order; do
    if [ "$mode" = without ]; then
      out=$(FLX_IDENTITY_CHECK=off LD_PRELOAD="$shim" "$load" "${args[@]}")
    else
      out=$("$load" "${args[@]}")
    fi
    line=$(grep '^latency ms' <<<"$out")
    read -r a b <<<"$(awk '{print $4, $8}' <<<"$line")"
    p50[$mode]="${p50[$mode]:-} $a"
    p99[$mode]="${p99[$mode]:-} $b"
    echo "round $round, $mode the identity check and arrival record: $line"
  done
done
median() { tr ' ' '\n' | grep -v '^$' | sort -g | awk '{v[NR]=$1} END {print v[int((NR+1)/2)]}'; }
for q in p50 p99; do
  declare -n m=$q
  w=$(median <<<"${m[with]}")
  wo=$(median <<<"${m[without]}")
  echo "$q (median of rounds): with ${w} ms, without ${wo} ms, ratio $(awk -v a="$w" -v b="$wo" 'BEGIN {printf "%.3f", a / b}')"
done
