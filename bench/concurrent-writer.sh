#!/usr/bin/env bash
# Pushes the demo batch for a fleet through the current host (2 workers, both databases kept
# open) from several clients at once while another process writes to the cache database as
# fast as it can in short transactions, then checks that nothing was lost: every push answered
# success, every device's rows carry its last collect_time, the spool is empty and every row
# the other writer committed is there. Exits 1 when a check fails.
#   bench/concurrent-writer.sh
# Environment: DEVICES (20), CLIENTS (4), ROUNDS (5: pushes per device alone, then as many with
# the other writer), BUILD (build/bench).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
devices=${DEVICES:-20}
clients=${CLIENTS:-4}
rounds=${ROUNDS:-5}
bin=$build/bin
need concurrent-writer "$bin/flx-admin" "$bin/flx-push" "$bin/flx-webapi-host"

tmp=$(scratch concurrent-writer)
host_pid=
writer_pid=
cleanup() {
  for pid in $writer_pid $host_pid; do kill -TERM "$pid" 2>/dev/null && wait "$pid" || true; done
  rm -rf "$tmp"
}
trap cleanup EXIT
export FLX_ROOT=$tmp/root
mkdir -m 755 "$FLX_ROOT"
db_dir=$FLX_ROOT/var/packages/FLX/target/db
cache_db=$db_dir/flx_db.sqlite

# The fleet: "SN DEVICE_ID SID" per line; one batch per round, only its collect_time differs.
"$bin/flx-admin" init >/dev/null
for i in $(seq 1 "$devices"); do
  sn=$(printf 'CW%06d' "$i")
  id=$("$bin/flx-admin" device add --sn "$sn")
  echo "$sn $id $("$bin/flx-admin" session add --sn "$sn")"
done >"$tmp/fleet"
base_time=1733400000
python3 - examples/demo-batch.json "$tmp" "$rounds" "$base_time" <<'EOF'
import json, sys
src, out, rounds, base = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
batch = json.load(open(src))
for r in range(1, 2 * rounds + 1):
    for item in batch:
        item["collect_time"] = base + r
    json.dump(batch, open(f"{out}/batch.{r}.json", "w"))
EOF
last_time=$((base_time + 2 * rounds))

port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
url=http://127.0.0.1:$port
"$bin/flx-webapi-host" --listen "127.0.0.1:$port" --module "$build/lib/KEVO.FLX.RPC.so" \
  --workers 2 --keep-open "$cache_db" --keep-open "$db_dir/flx_registry.sqlite" --log-stderr \
  >"$tmp/host.log" 2>&1 &
host_pid=$!
for _ in $(seq 1 100); do
  curl -s -o /dev/null "$url/webapi/entry.cgi" && break
  sleep 0.1
done

# push_rounds FIRST LAST NAME: client k pushes rounds FIRST..LAST for the devices of lines k,
# k+CLIENTS, ... of the fleet; one "ok" or "failed" line per push in $tmp/NAME.k; sets ms.
push_rounds() {
  local start pids=() k
  start=$(date +%s%N)
  for k in $(seq 0 $((clients - 1))); do
    for r in $(seq "$1" "$2"); do
      awk -v k="$k" -v c="$clients" '(NR - 1) % c == k' "$tmp/fleet" | while read -r sn _ sid; do
        if "$bin/flx-push" --url "$url" --sid "$sid" --client-sn "$sn" "$tmp/batch.$r.json" \
          </dev/null >/dev/null 2>>"$tmp/push.err"; then echo ok; else echo "failed $sn round $r"; fi
      done
    done >"$tmp/$3.$k" &
    pids+=($!)
  done
  wait "${pids[@]}"
  ms=$((($(date +%s%N) - start) / 1000000))
}

# The same pushes alone first, as the baseline of the time they take.
push_rounds 1 "$rounds" alone
alone_ms=$ms

# The other writer: one row per transaction, python's default busy timeout (5 s), until told
# to stop; prints how many rows it committed and how many transactions failed.
python3 - "$cache_db" "$tmp/stop" >"$tmp/writer.out" <<'EOF' &
import os, sqlite3, sys
db, stop = sys.argv[1], sys.argv[2]
conn = sqlite3.connect(db)
with conn:
    conn.execute("CREATE TABLE IF NOT EXISTS writer_rows(n INTEGER PRIMARY KEY)")
committed = failed = 0
while not os.path.exists(stop):
    try:
        with conn:
            conn.execute("INSERT INTO writer_rows(n) VALUES (?)", (committed + 1,))
        committed += 1
    except sqlite3.OperationalError:
        failed += 1
conn.close()
print(committed, failed)
EOF
writer_pid=$!
push_rounds $((rounds + 1)) $((2 * rounds)) meanwhile

touch "$tmp/stop"
wait "$writer_pid"
writer_pid=
read -r committed failed_tx <"$tmp/writer.out"

failures=0
check() { # NAME OK DETAIL
  if [ "$2" = 1 ]; then echo "ok    $1: $3"; else echo "FAIL  $1: $3"; failures=$((failures + 1)); fi
}
pushed=$(cat "$tmp"/alone.* "$tmp"/meanwhile.* | grep -c '^ok$' || true)
check "pushes answered success" $((pushed == 2 * devices * rounds)) \
  "$pushed of $((2 * devices * rounds)) ($devices devices x $rounds rounds alone, then with the writer)"
stale=$(python3 - "$cache_db" "$tmp/fleet" "$last_time" <<'EOF'
import sqlite3, sys
db, fleet, last = sqlite3.connect(sys.argv[1]), sys.argv[2], int(sys.argv[3])
stale = []
for line in open(fleet):
    sn, qx_id, _ = line.split()
    for table in ("vol_info", "dg_info", "hdd_info", "share_info"):
        rows, old = db.execute(f"SELECT count(*), count(*) FILTER (WHERE mtime != ?) FROM {table}"
                               " WHERE qx_id = ?", (last, int(qx_id))).fetchone()
        if rows == 0 or old != 0:
            stale.append(f"{sn} {table} ({rows} rows, {old} older)")
print("; ".join(stale))
EOF
)
check "rows carry the last collect_time" $([ -z "$stale" ] && echo 1 || echo 0) \
  "${stale:-all $devices devices, vol_info dg_info hdd_info share_info at $last_time}"
spooled=$("$bin/flx-admin" spool list | tail -n +2 | wc -l)
check "spool empty" $((spooled == 0)) "$spooled item(s) left"
present=$(python3 -c 'import sqlite3,sys; print(*sqlite3.connect(sys.argv[1]).execute(
  "SELECT count(*), coalesce(max(n), 0) FROM writer_rows").fetchone())' "$cache_db")
check "other writer's rows present" $([ "$present" = "$committed $committed" ] && echo 1 || echo 0) \
  "$committed committed, ${present% *} present ($failed_tx transactions gave up on the lock)"
echo "host log: $(grep -c 'database is locked' "$tmp/host.log" || true) lock failure line(s)," \
  "$(grep -ci 'spool' "$tmp/host.log" || true) spool line(s)"
awk -v a="$alone_ms" -v m="$ms" 'BEGIN {printf "time: %.1fx with the writer (%d ms) as alone (%d ms)\n", m / a, m, a}'
if [ "$failures" = 0 ]; then echo "nothing lost"; else echo "$failures check(s) failed"; fi
[ "$failures" = 0 ]
