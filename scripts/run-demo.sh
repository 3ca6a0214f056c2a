#!/usr/bin/env bash
# Builds the dev preset, starts the host with the push and inventory modules on 127.0.0.1:5000,
# registers a small demo fleet, pushes its batches (from examples/demo-batch.json), prints what
# was stored, enrolls this machine through the join line flx-admin prints, and prints the inventory page's URL and
# an operator token; then serves until Ctrl-C.
#   scripts/run-demo.sh          serve until Ctrl-C
#   scripts/run-demo.sh --once   push, print and stop
set -euo pipefail
cd "$(dirname "$0")/.."

once=0
case "${1:-}" in
  "") ;;
  --once) once=1 ;;
  -h | --help)
    sed -n '2,5p' "$0" | sed 's/^# \{0,1\}//'
    exit 0
    ;;
  *)
    echo "run-demo: unknown argument '$1': use --once or nothing" >&2
    exit 2
    ;;
esac

listen_host=127.0.0.1
# FLX_DEMO_PORT moves the demo off 5000 when several checkouts run it side by side.
listen_port=${FLX_DEMO_PORT:-5000}
url="http://$listen_host:$listen_port"
sn=2150PDN004711
build=build/dev
bin=$build/bin
host_log=$build/demo-host.log
host_pid=
history_log=$build/demo-history.log
history_pid=

stop_host() {
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
    kill -TERM "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
  fi
  host_pid=
  # The history writer goes with the host; notes it has not taken yet wait for its next start.
  if [ -n "$history_pid" ] && kill -0 "$history_pid" 2>/dev/null; then
    kill -TERM "$history_pid" 2>/dev/null || true
    wait "$history_pid" 2>/dev/null || true
  fi
  history_pid=
}
trap stop_host EXIT
trap 'echo; echo "run-demo: stopping the host"; stop_host; exit 0' INT TERM

port_taken() {
  (exec 3<>"/dev/tcp/$listen_host/$listen_port") 2>/dev/null
}

echo "== installing dependencies and building ($build)"
./scripts/install-deps.sh
cmake --preset dev >/dev/null
cmake --build "$build" --target flx-admin flx-push flx-agent flx-webapi-host flx_module flx_inventory flx_enroll flx-history

echo "== initialising the root"
"$bin/flx-admin" init
# The page is installed beside the modules, where the host serves it from.
root=$(pwd)/.flx/root
www=$root/var/packages/FLX/target/webapi/www
mkdir -p "$www"
install -m 0644 web/index.html web/inventory.css web/inventory*.js "$www/"

if port_taken; then
  echo "run-demo: $listen_host:$listen_port is already in use: stop the other server (or an earlier run-demo) and try again" >&2
  exit 1
fi

echo "== starting the host on $listen_host:$listen_port (log: $host_log)"
# With no other flag the host serves the product: both modules, both databases held open, one
# worker per core; --listen puts its private nginx in front, made from deploy/nginx/.
"$bin/flx-webapi-host" --listen "$listen_host:$listen_port" --log-stderr >"$host_log" 2>&1 &
host_pid=$!
for _ in $(seq 1 100); do
  if ! kill -0 "$host_pid" 2>/dev/null; then
    echo "run-demo: the host did not start; its log says:" >&2
    tail -n 5 "$host_log" >&2
    exit 1
  fi
  curl -s -o /dev/null "$url/webapi/entry.cgi" && break
  sleep 0.1
done
curl -s -o /dev/null "$url/webapi/entry.cgi" || {
  echo "run-demo: the host does not answer on $url; see $host_log" >&2
  exit 1
}

# Registers device $1 (host name $2) with a fresh random push session and pushes batch $3; a
# fixed session id would let anyone push as a demo device. The session id stays in $sid.
push_device() {
  local dsn=$1 dhost=$2 batch=$3
  if ! "$bin/flx-admin" device show "$dsn" >/dev/null 2>&1; then
    "$bin/flx-admin" device add --sn "$dsn" --hostname "$dhost" >/dev/null
  fi
  sid=$("$bin/flx-admin" session add --sn "$dsn")
  "$bin/flx-push" --url "$url" --sid "$sid" --client-sn "$dsn" "$batch"
}

echo "== registering the demo fleet and pushing its batches (from examples/demo-batch.json)"
fleet_dir=$build/demo-fleet
python3 scripts/demo-fleet.py examples/demo-batch.json "$fleet_dir" >"$fleet_dir.txt"
while read -r dsn dhost batch; do
  printf '%s %-14s ' "$dsn" "$dhost"
  push_device "$dsn" "$dhost" "$batch"
  [ "$dsn" = "$sn" ] && sn_sid=$sid
done <"$fleet_dir.txt"
sid=$sn_sid

echo "== a few weeks of history for the demo fleet"
# The history has one writer: the seeding's own rounds first, then the writer that stays.
python3 scripts/demo-history.py "$bin" "$url" "$fleet_dir.txt"

echo "== starting the history writer (log: $history_log)"
"$bin/flx-history" --log-stderr >"$history_log" 2>&1 &
history_pid=$!

echo "== what the host stores for $sn"
"$bin/flx-admin" device show "$sn"

# This machine as a device of its own, enrolled as an operator enrolls one: the join line
# that flx-admin prints, run by the agent (its files go to .flx/root/etc/flx-agent/).
echo "== enrolling this machine through the join line"
join_line=$("$bin/flx-admin" enroll add --url "$url" --ttl 3600 --uses 1)
echo "  $join_line"
read -r -a join_args <<<"$join_line"
"$bin/flx-agent" "${join_args[@]:1}"
"$bin/flx-agent" --once
agent_sn=$(jq -r .sn "$root/etc/flx-agent/enrollment.json")
"$bin/flx-admin" device show "$agent_sn" | sed -n '/"device"/,/^  }/p'
"$bin/flx-admin" operator remove demo >/dev/null 2>&1 || true
token=$("$bin/flx-admin" operator add demo)

echo "== two groups in the demo fleet, an admin and a viewer of one group"
for g in head-office branches; do
  "$bin/flx-admin" group add "$g" >/dev/null 2>&1 || true
done
i=0
while read -r dsn _; do
  # Alternately, so that each group has devices of every kind.
  if [ $((i % 2)) = 0 ]; then g=head-office; else g=branches; fi
  "$bin/flx-admin" device group "$dsn" "$g"
  i=$((i + 1))
done <"$fleet_dir.txt"
"$bin/flx-admin" device group "$agent_sn" head-office
for op in demo-admin demo-viewer; do
  "$bin/flx-admin" operator remove "$op" >/dev/null 2>&1 || true
done
admin_token=$("$bin/flx-admin" operator add demo-admin --role admin)
viewer_token=$("$bin/flx-admin" operator add demo-viewer --role viewer --group branches)
"$bin/flx-admin" group list

echo
echo "Push more with:"
echo "  $bin/flx-push --url $url --sid $sid --client-sn $sn BATCH.json"
echo "  $bin/flx-agent --interval 300        # this machine, enrolled: renews its session itself"
echo "More devices join with a line of their own: $bin/flx-admin enroll add --url $url"
echo
echo "Inventory page: $url/inventory/"
echo "Metrics (Prometheus text, loopback clients or the operator token as a bearer token):"
echo "  $url/metrics"
echo "  scrape configuration and alert rules: deploy/prometheus/ (README, \"Metrics and alerts\")"
echo "Operator token: $token"
echo "Admin token (acts on every group): $admin_token"
echo "Viewer token (reads the group branches): $viewer_token"

if [ "$once" = 1 ]; then
  stop_host
  exit 0
fi
echo "Serving on $url until Ctrl-C."
wait "$host_pid" || true
