#!/usr/bin/env bash
# Every figure of the host in one run, each next to its baseline from the same run: the module
# against its floor (flx-floor), throughput and latency through the host's private nginx front
# ("direct"), behind the shipped TLS site, with dropped ids and, given OLD_BUILD, the old host
# speaking HTTP itself (load-compare.sh), memory over many pushes and under an unauthenticated
# large body (flx-load), for the old host too; and, given OLD_BUILD, that the module's
# statements are the old host's (trace-compare.sh), and that nothing is lost while another
# process writes the cache database (concurrent-writer.sh); the front under slow and flooding
# clients and 4 MiB bodies of empty fields (front-abuse.py), workers killed in the middle of
# pushes (kill-workers.py), and a registry-only push while the cache database is locked
# (locked-cache.py).
#   bench/figures.sh [OLD_BUILD]
# Environment: PUSHES (100000) and OLD_PUSHES (3000) for the memory run; the rest as in
# load-compare.sh (ROUNDS, SECONDS_EACH, DEVICES, CLIENTS, WORKERS, BUILD).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
old=${1:-}
load=$build/bin/flx-load
need figures "$load" "$build/bin/flx-floor"
oldArgs=()
[ -n "$old" ] && oldArgs=(--host-bin "$old/bin/flx-webapi-host" --module "$old/lib/KEVO.FLX.RPC.so"
  --admin-bin "$old/bin/flx-admin")

if [ -n "$old" ]; then
  echo "== the module's statements, old host against this one"
  bench/trace-compare.sh "$old" | tail -1
fi
echo "== another process writing the cache database meanwhile"
bench/concurrent-writer.sh | tail -6
echo
echo "== the front under abuse"
python3 bench/front-abuse.py "$build"
echo
echo "== workers killed in the middle of pushes"
python3 bench/kill-workers.py "$build" || true
echo
echo "== the cache database locked by another process"
python3 bench/locked-cache.py "$build" || true
echo
echo "== module against its floor"
"$build/bin/flx-floor"

echo
echo "== load: 16 keep-alive clients, 2 workers"
BUILD=$build bench/load-compare.sh "$old"

memory() {  # NAME PUSHES [host arguments]
  local name=$1 pushes=$2
  shift 2
  echo
  echo "== memory, $name: $pushes pushes"
  "$load" --pushes "$pushes" --devices "${DEVICES:-100}" --clients "${CLIENTS:-16}" \
    --workers "${WORKERS:-2}" "$@" 2>/dev/null | grep -E '^(batches|host RSS growth)' || true
  echo "== memory, $name: unauthenticated 64 MiB bodies"
  "$load" --big-body 64 "$@" 2>/dev/null | grep -E '^(big body|  largest)' || true
}
memory "this host" "${PUSHES:-100000}"
[ -n "$old" ] && memory "old host" "${OLD_PUSHES:-3000}" "${oldArgs[@]}"
echo
echo "load average at end: $(cut -d' ' -f1-3 /proc/loadavg)"
