#!/usr/bin/env bash
# flx-agent's costs, each printed as a ratio against a baseline measured in the same run:
#   collect   this machine's whole batch against its basic item alone (the process floor);
#   packages  a generated dpkg status of 1,500 packages against this machine's own;
#   host      the host's time for an unchanged second push of the whole batch against the
#             first push (from the host's own request log), and what --interval sends then.
# Usage: bench/agent_bench.sh [ROUNDS]    (after cmake --build --preset dev)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-5}
bin=build/dev/bin
work=$(mktemp -d)
host_pid=
cleanup() {
  [ -n "$host_pid" ] && kill -TERM "$host_pid" 2>/dev/null && wait "$host_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

ms() { echo $(($(date +%s%N) / 1000000)); }
# "min median" of the numbers on stdin.
stats() { sort -n | awk '{v[NR]=$1} END {printf "%d %d\n", v[1], v[int((NR+1)/2)]}'; }
# Times `rounds` runs of a command, in ms.
timed() {
  for _ in $(seq "$rounds"); do
    local t0
    t0=$(ms)
    "$@" >/dev/null 2>&1
    echo $(($(ms) - t0))
  done | stats
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN {printf "%.2f", (b > 0 ? a / b : 0)}'; }
compact_size() { python3 -c 'import json,sys; print(len(json.dumps(json.load(sys.stdin),separators=(",",":"),ensure_ascii=False).encode()))'; }

echo "== collect (this machine, $rounds rounds)"
read -r base_min base_med < <(timed "$bin/flx-agent" --dry-run --only basic)
read -r all_min all_med < <(timed "$bin/flx-agent" --dry-run)
"$bin/flx-agent" --dry-run >"$work/batch.json" 2>/dev/null
packages=$(python3 -c 'import json,sys; b=json.load(open(sys.argv[1])); print(sum(len(i["data"].get("packages",[])) for i in b))' "$work/batch.json")
echo "basic only: min ${base_min} ms, median ${base_med} ms"
echo "whole batch: min ${all_min} ms, median ${all_med} ms ($packages packages, $(compact_size <"$work/batch.json") bytes of compact JSON)"
echo "ratio whole/basic (median): $(ratio "$all_med" "$base_med")"

echo "== packages (generated status of 1500 against this machine's $packages)"
tree=$work/tree
mkdir -p "$tree/etc" "$tree/var/lib/dpkg/info"
cp /etc/os-release "$tree/etc/os-release"
{
  cat /var/lib/dpkg/status
  for i in $(seq $((packages + 1)) 1500); do
    printf 'Package: synthetic-%d\nStatus: install ok installed\nArchitecture: amd64\n' "$i"
    printf 'Version: 1.%d-1\nMaintainer: Bench <bench@example.org>\n' "$i"
    printf 'Description: generated package %d\n a longer description line\n\n' "$i"
  done
} >"$tree/var/lib/dpkg/status"
read -r own_min own_med < <(timed "$bin/flx-agent" --dry-run --only package)
read -r gen_min gen_med < <(timed "$bin/flx-agent" --dry-run --only package --root "$tree")
gen_size=$("$bin/flx-agent" --dry-run --only package --root "$tree" 2>/dev/null | compact_size)
echo "this machine: min ${own_min} ms, median ${own_med} ms"
echo "1500 packages: min ${gen_min} ms, median ${gen_med} ms, $gen_size bytes of compact JSON"
echo "ratio 1500/own (median): $(ratio "$gen_med" "$own_med")"

echo "== host (unchanged second push)"
export FLX_ROOT=$work/root
mkdir -p "$FLX_ROOT"
"$bin/flx-admin" init >/dev/null
"$bin/flx-admin" device add --sn bench-machine >/dev/null
sid=$("$bin/flx-admin" session add --sn bench-machine)
db=$FLX_ROOT/var/packages/FLX/target/db
"$bin/flx-webapi-host" --listen 127.0.0.1:0 --log-stderr --keep-open "$db/flx_db.sqlite" \
  --keep-open "$db/flx_registry.sqlite" >"$work/host.out" 2>"$work/host.log" &
host_pid=$!
for _ in $(seq 100); do grep -q "listening on" "$work/host.out" 2>/dev/null && break; sleep 0.1; done
url="http://$(sed -n 's/^listening on //p' "$work/host.out" | head -n 1)"
host_ms() { grep -o 'duration=[0-9]*ms' "$work/host.log" | tail -n 1 | tr -dc 0-9; }
"$bin/flx-push" --url "$url" --sid "$sid" "$work/batch.json" >/dev/null
first=$(host_ms)
seconds=$(for _ in $(seq "$rounds"); do
  "$bin/flx-push" --url "$url" --sid "$sid" "$work/batch.json" >/dev/null
  host_ms
  echo
done | stats)
read -r again_min again_med <<<"$seconds"
requests_before=$(grep -c 'duration=' "$work/host.log")
echo "first push: ${first} ms; unchanged again: min ${again_min} ms, median ${again_med} ms"
echo "ratio again/first (median): $(ratio "$again_med" "$first")"
# Two rounds of --interval: the first pushes everything, the second only the heartbeat (the
# basic item) when nothing else changed.
"$bin/flx-agent" --url "$url" --sid "$sid" --interval 1 --state "$work/state.json" \
  2>"$work/agent.log" >/dev/null &
agent_pid=$!
for _ in $(seq 600); do
  [ "$(grep -c 'pushed' "$work/agent.log")" -ge 2 ] && break
  sleep 0.5
done
kill -TERM "$agent_pid"
wait "$agent_pid" || true
echo "requests the second --interval round sent: $(($(grep -c 'duration=' "$work/host.log") - requests_before - 1))"
echo "--interval rounds: $(grep -E 'pushed' "$work/agent.log" | head -n 3 | sed 's/^flx-agent: //' | paste -sd ';' -)"
