#!/usr/bin/env bash
# Traces the statements that the push module runs on the cache database (bench/sqltrace.so
# preloaded into the host) for the current host and for an older build, each on a fresh root,
# for the demo batch pushed twice by one device (new rows, then unchanged rows), and compares
# them in order, with the connections' opens and closes. Exits 1 when they differ.
#   bench/trace-compare.sh [OLD_BUILD]   OLD_BUILD: default /tmp/oldhost/build
# Environment: BUILD (build/bench); KEEP=1 keeps the traces and roots (the path is printed).
set -euo pipefail
cd "$(dirname "$0")/.."
. bench/common.sh
old=${1:-/tmp/oldhost/build}
tracer=$PWD/$build/lib/sqltrace.so
batch=$PWD/examples/demo-batch.json
sn=TRACE0000001
need trace-compare "$tracer" "$build/bin/flx-push" "$old/bin/flx-webapi-host"

tmp=$(scratch trace-compare)
host_pid=
cleanup() {
  if [ -n "$host_pid" ]; then kill -TERM "$host_pid" 2>/dev/null && wait "$host_pid" || true; fi
  if [ "${KEEP:-0}" = 1 ]; then echo "traces kept in $tmp"; else rm -rf "$tmp"; fi
}
trap cleanup EXIT

# The processes below $1, recursively.
descendants() {
  local child
  for child in $(pgrep -P "$1" || true); do echo "$child" && descendants "$child"; done
}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# trace NAME BUILD [HOST OPTION]...: one host run on its own root; the trace goes to $tmp/NAME.
trace() {
  local name=$1 dir=$2
  shift 2
  local root=$tmp/$name-root out=$tmp/$name port sid
  mkdir -m 755 "$root"
  export FLX_ROOT=$root
  "$dir/bin/flx-admin" init >/dev/null
  "$dir/bin/flx-admin" device add --sn "$sn" >/dev/null
  sid=$("$dir/bin/flx-admin" session add --sn "$sn")
  port=$(free_port)
  local db=$root/var/packages/FLX/target/db
  # "@DB@" in the options stands for the root's database folder.
  FLX_SQLTRACE=$out LD_PRELOAD=$tracer "$dir/bin/flx-webapi-host" --listen "127.0.0.1:$port" \
    --module "$dir/lib/KEVO.FLX.RPC.so" "${@//@DB@/$db}" >"$tmp/$name.log" 2>&1 &
  host_pid=$!
  for _ in $(seq 1 100); do
    curl -s -o /dev/null "http://127.0.0.1:$port/webapi/entry.cgi" && break
    sleep 0.1
  done
  for push in 1 2; do
    echo "- - mark push $push" >>"$out"
    "$build/bin/flx-push" --url "http://127.0.0.1:$port" --sid "$sid" --client-sn "$sn" "$batch" \
      >"$tmp/$name.push$push" || {
      echo "trace-compare: push $push to the $name host failed: $(cat "$tmp/$name.push$push")" >&2
      exit 1
    }
  done
  echo "- - mark shutdown" >>"$out"
  # Child processes (an older host's executors, the front) may end after the host: their last
  # lines come once they are gone.
  local procs
  procs=$(descendants "$host_pid")
  kill -TERM "$host_pid"
  wait "$host_pid" || true
  for _ in $(seq 1 50); do
    kill -0 $procs 2>/dev/null || break
    sleep 0.1
  done
  host_pid=
  unset FLX_ROOT
}

trace old "$old"
trace new "$build" --workers 2 --keep-open @DB@/flx_db.sqlite --keep-open @DB@/flx_registry.sqlite

# Keeps the module's lines, without process and connection, under "== PART" headings. Dropped as
# the host's own: every line of a connection that ran the idle connection's one read (its open,
# that read, its close) and the synchronous setting that the host adds to each connection.
python3 - "$tmp/old" "$tmp/new" <<'EOF'
import sys
HOST_READ = "sql SELECT count(*) FROM sqlite_master"
HOST_LINES = {"sql PRAGMA synchronous=NORMAL"}
for path in sys.argv[1:]:
    lines = [l.rstrip("\n").split(" ", 2) for l in open(path)]
    gen, keyed, host = {}, [], set()
    for pid, conn, event in lines:
        if event == "open":
            gen[pid, conn] = gen.get((pid, conn), 0) + 1
        key = (pid, conn, gen.get((pid, conn), 0))
        keyed.append((key, event))
        if event == HOST_READ:
            host.add(key)
    dropped = 0
    with open(path + ".module", "w") as out:
        out.write("== startup\n")
        for key, event in keyed:
            if event.startswith("mark "):
                out.write("== " + event[5:] + "\n")
            elif key not in host and event not in HOST_LINES:
                out.write(event + "\n")
            else:
                dropped += 1
    print(f"{path.rsplit('/', 1)[1]} host: {dropped} trace lines dropped as the host's own"
          f" ({len(host)} idle connections)")
EOF

counts() {
  awk '/^== / {part=substr($0, 4); order[++n]=part; next}
       {c[part, $1]++}
       END {for (i=1; i<=n; i++) printf "  %-10s opens %3d  closes %3d  statements %4d\n", order[i],
            c[order[i],"open"], c[order[i],"close"], c[order[i],"sql"]}' "$1"
}
echo "old host ($old):"
counts "$tmp/old.module"
echo "new host ($build, --workers 2, --keep-open both databases):"
counts "$tmp/new.module"
if diff -u --label old --label new "$tmp/old.module" "$tmp/new.module"; then
  echo "statements unchanged"
else
  echo "statements differ"
  exit 1
fi
