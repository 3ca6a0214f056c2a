#!/usr/bin/env bash
# Runs flx-load in turns over the configurations that matter and prints each one's batches/s
# and p99 next to the direct host's, as ratios: the machine is shared, so only figures taken
# in the same run compare.
#   bench/load-compare.sh [OLD_BUILD]    OLD_BUILD: a build folder of an older host, run too
# Environment: ROUNDS (2), SECONDS_EACH (10), DEVICES (100), CLIENTS (16), WORKERS (2),
# BUILD (build/bench).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build/bench}
old=${1:-}
rounds=${ROUNDS:-2}
common=(--devices "${DEVICES:-100}" --clients "${CLIENTS:-16}" --workers "${WORKERS:-2}"
  --seconds "${SECONDS_EACH:-10}" --warmup 2)
load=$build/bin/flx-load
[ -x "$load" ] || {
  echo "load-compare: no $load: cmake --preset bench && cmake --build --preset bench --target flx-load" >&2
  exit 2
}

names=("direct" "nginx+TLS")
args=("" "--nginx")
if [ "$(id -u)" = 0 ]; then
  # The module logs each privileged section's id changes at level info: the second run shows
  # the ids' own cost, without those lines.
  names+=("dropped ids" "dropped, notice")
  args+=("--drop-privileges nobody" "--drop-privileges nobody --host-arg=--log-level=notice")
fi
if [ -n "$old" ]; then
  names+=("old host")
  args+=("--host-bin $old/bin/flx-webapi-host --module $old/lib/KEVO.FLX.RPC.so --admin-bin $old/bin/flx-admin")
fi

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
echo "load average at start: $(cut -d' ' -f1-3 /proc/loadavg)"
for r in $(seq 1 "$rounds"); do
  for i in "${!names[@]}"; do
    # shellcheck disable=SC2086 # the extra arguments are words on purpose
    "$load" "${common[@]}" ${args[$i]} >"$out/$i.$r" 2>"$out/$i.$r.err" || true
    echo "round $r, ${names[$i]}: $(grep -E '^batches' "$out/$i.$r")"
  done
done
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"

# Median over rounds of batches/s and p99 per configuration, and ratios to "direct".
median() { sort -n | awk '{v[NR]=$1} END {print (NR%2 ? v[(NR+1)/2] : (v[NR/2]+v[NR/2+1])/2)}'; }
declare -a rate p99 rss cpu
for i in "${!names[@]}"; do
  rate[$i]=$(cat "$out/$i".[0-9]* | awk '/^batches/ {print $2}' | median)
  p99[$i]=$(cat "$out/$i".[0-9]* | awk '/^latency/ {print $8}' | median)
  rss[$i]=$(cat "$out/$i".[0-9]* | awk '/^host RSS [0-9]/ {print $3}' | median)
  cpu[$i]=$(cat "$out/$i".[0-9]* | awk '/^host CPU/ {print $4}' | median)
done
printf '\n%-16s %10s %9s %8s %13s %12s %12s %12s\n' configuration batches/s p99_ms RSS_MiB \
  cpu_ms/batch "rate/direct" "p99/direct" "cpu/direct"
for i in "${!names[@]}"; do
  awk -v n="${names[$i]}" -v b="${rate[$i]}" -v p="${p99[$i]}" -v m="${rss[$i]}" -v c="${cpu[$i]}" \
    -v b0="${rate[0]}" -v p0="${p99[0]}" -v c0="${cpu[0]}" \
    'BEGIN {printf "%-16s %10.1f %9.1f %8.1f %13.2f %12.2f %12.2f %12.2f\n", n, b, p, m, c,
      (b0 ? b/b0 : 0), (p0 ? p/p0 : 0), (c0 ? c/c0 : 0)}'
done
