#!/usr/bin/env bash
# The packages as an operator uses them, in a throw-away Debian root: an overlay of this
# machine's root in new mount and process namespaces (and a network namespace of its own
# whenever the host runs), with apt resolving against Debian's archive. No systemd runs in it:
# the host starts as its unit's ExecStart line says, behind the system nginx as the package
# configures it. Installs the previous release's packages (built from its commit), fills them
# with a fleet (devices, sessions, operator tokens, pushes, history), upgrades to this tree's
# (every row must survive and the schemas be migrated), pushes this root's facts once with the
# agent and reads them back from the inventory, upgrades both to a higher version (stores,
# sessions, operator tokens and configuration edits must survive), removes, installs again (the
# site comes back), purges and lists every file left.
#   tests/package/install_test.sh        (as root; ./test.sh package)
set -euo pipefail

say() { echo "== $*"; }
fail() {
  echo "FAIL: $*" >&2
  exit 1
}

target=/var/packages/FLX/target
unit=/lib/systemd/system/flx-webapi-host.service

# --- inside the namespaces: helpers on the overlay root ---
in_root() {
  chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
    DEBIAN_FRONTEND=noninteractive "$@"
}
apt_root() {
  in_root apt-get -y -q -o Dpkg::Options::=--force-confdef -o Dpkg::Options::=--force-confold \
    -o Dpkg::Use-Pty=0 "$@"
}

# The host's command line as the installed unit says: its Environment= and EnvironmentFile=
# settings expanded into its ExecStart= line (continuation lines joined).
host_command() {
  local text line var val
  text=$(sed -e ':a' -e '/\\$/N; s/\\\n/ /; ta' "$root$unit")
  declare -A env=()
  while IFS= read -r line; do
    case $line in
    Environment=*)
      for word in ${line#Environment=}; do env[${word%%=*}]=${word#*=}; done
      ;;
    EnvironmentFile=*)
      line=${line#EnvironmentFile=}
      line=${line#-}
      [ -f "$root$line" ] || continue
      while IFS='=' read -r var val; do
        case $var in '' | \#*) continue ;; esac
        env[$var]=$val
      done <"$root$line"
      ;;
    esac
  done <<<"$text"
  line=$(sed -n 's/^ExecStart=[-@+!:]*//p' <<<"$text")
  for var in "${!env[@]}"; do
    line=${line//\$\{$var\}/${env[$var]}}
    line=${line//\$$var/${env[$var]}}
  done
  echo "$line"
}

api() { # api METHOD-PARAMS... : the inventory's answer through the nginx front
  in_root curl -sS --cacert /etc/ssl/flx/flx-webapi.crt https://127.0.0.1/webapi/entry.cgi \
    --data-urlencode "api=KEVO.FLX.Inventory" --data-urlencode "version=1" "$@"
}

db() { # db registry|history SQL: one answer from the root's database
  in_root sqlite3 "$target/db/flx_$1.sqlite" "$2"
}

# One line per device (its `device show`, hashed), the sessions and tokens, and each history
# table's row count: what an upgrade must keep.
fleet_state() {
  local sn
  for sn in $(db registry "SELECT sn FROM devices ORDER BY sn"); do
    # The keys scripts rely on: a newer release may add keys of its own beside them.
    echo "device $sn $(in_root flx-admin device show "$sn" |
      jq -S '{device, applications, packages, info, cache, files}' | sha256sum | cut -c1-16)"
  done
  echo "sessions $(db registry "SELECT group_concat(sn || ':' || expiry) FROM (SELECT sn, expiry FROM sessions ORDER BY sid)" | sha256sum | cut -c1-16)"
  echo "tokens $(db registry "SELECT group_concat(name || ':' || token_hash) FROM (SELECT * FROM operators ORDER BY name)" | sha256sum | cut -c1-16)"
  for t in events samples summary state; do
    echo "history $t $(db history "SELECT count(*) FROM $t") $(db history "SELECT * FROM $t ORDER BY 1, 2" | sed 's/|[^|]*$//' | sha256sum | cut -c1-16)"
  done
}

# Runs in a network namespace of its own (the unit's fixed port and nginx's 443 are free there):
# starts the host and nginx, pushes once with the agent, reads the device back, stops both.
serve() {
  local phase=$1 version=$2 command host_pid answer sn token
  ip link set lo up
  command=$(host_command)
  say "$phase: starting the host: $command"
  # shellcheck disable=SC2086 # the unit's words, as systemd splits them
  (exec chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 $command \
    >"$work/host-$phase.log" 2>&1) &
  host_pid=$!
  in_root nginx -t -q || fail "nginx does not accept its configuration with the site"
  in_root nginx
  for _ in $(seq 100); do
    in_root curl -s -o /dev/null --cacert /etc/ssl/flx/flx-webapi.crt \
      https://127.0.0.1/webapi/entry.cgi && break
    kill -0 "$host_pid" 2>/dev/null || { cat "$work/host-$phase.log"; fail "the host exited"; }
    sleep 0.1
  done
  sn=$(cat "$work/sn")
  token=$(cat "$work/token")
  say "$phase: the agent pushes this root's facts (settings from /etc/flx-agent/agent.conf)"
  in_root flx-agent --once || fail "flx-agent could not push"
  answer=$(api --data-urlencode "method=get" --data-urlencode "sn=\"$sn\"" \
    --data-urlencode "_sid=$token")
  # The device's name and release, and the package just installed, as this root has them.
  local os
  os=$(. "$root/etc/os-release" && echo "$ID $VERSION_ID-")
  jq -e --arg host "$(hostname)" --arg os "$os" --arg version "$version" '.success and
      .data.device.hostname == $host and (.data.device.version | startswith($os)) and
      ([.. | objects | select(.pkg_id? == "flx-host") | .version] == [$version])' \
    <<<"$answer" >/dev/null || fail "$phase: the inventory does not show this root: ${answer:0:600}"
  say "$phase: the inventory shows $sn: host name, release and flx-host $version"
  # The page's own scripts and every module they import, followed from the served files: one
  # left out of the package, or served as another type than script, leaves the page blank.
  local page=https://127.0.0.1/inventory/ served script type i=0
  local -a queue
  mapfile -t queue < <(in_root curl -sSf --cacert /etc/ssl/flx/flx-webapi.crt "$page" |
    sed -n 's/.*<script[^>]* src="\([^"/][^"]*\)".*/\1/p')
  [ "${#queue[@]}" -gt 0 ] || fail "$phase: $page loads no script of its own"
  while [ "$i" -lt "${#queue[@]}" ]; do
    script=${queue[i]}
    i=$((i + 1))
    served=$(in_root curl -sSf --cacert /etc/ssl/flx/flx-webapi.crt -w '\n%{content_type}' \
      "$page$script") || fail "$phase: nginx does not serve $page$script"
    type=${served##*$'\n'}
    [[ $type == *javascript* ]] || fail "$phase: $page$script is served as $type"
    while IFS= read -r script; do
      [[ " ${queue[*]} " == *" $script "* ]] || queue+=("$script")
    done < <(sed -n 's/^import .* from "\.\/\([^"]*\)";$/\1/p' <<<"$served")
  done
  say "$phase: nginx serves the inventory page and its scripts (${#queue[@]})"
  in_root nginx -s quit 2>/dev/null
  kill -TERM "$host_pid"
  wait "$host_pid" || { cat "$work/host-$phase.log"; fail "the host did not stop cleanly"; }
}

inside() {
  work=$1 next=$2
  root=$work/root
  mount -t overlay overlay -o "lowerdir=/,upperdir=$work/upper,workdir=$work/work" "$root"
  mount -t proc proc "$root/proc"
  mount --rbind /dev "$root/dev"
  mount --make-rslave "$root/dev"
  mount -t tmpfs tmpfs "$root/tmp"
  # An empty /run: no systemd runs here, and the maintainer scripts must see that.
  mount -t tmpfs tmpfs "$root/run"
  mkdir -p "$root/run/lock"

  say "a clean root: no earlier FLX files, nginx left to apt to install"
  rm -rf "$root/var/packages" "$root/etc/flx-agent" "$root/etc.defaults" "$root/etc/ssl/flx"
  apt_root purge nginx nginx-common >/dev/null
  # Nothing from this machine's download cache: apt fetches what the packages need.
  apt_root clean
  apt_root update -qq >/dev/null
  find "$work/upper" -xdev | sed "s|^$work/upper||" | sort >"$work/before"
  touch "$work/mark"

  local host agent host_next agent_next host_prev agent_prev prev
  host=$(ls "$root"/flx-debs/flx-host_*.deb | grep -v "_$next" | grep -v "~prev" | sed "s|^$root||")
  agent=$(ls "$root"/flx-debs/flx-agent_*.deb | grep -v "_$next" | grep -v "~prev" | sed "s|^$root||")
  host_next=$(ls "$root"/flx-debs/flx-host_"$next"_*.deb | sed "s|^$root||")
  agent_next=$(ls "$root"/flx-debs/flx-agent_"$next"_*.deb | sed "s|^$root||")
  host_prev=$(ls "$root"/flx-debs/flx-host_*~prev_*.deb | sed "s|^$root||")
  agent_prev=$(ls "$root"/flx-debs/flx-agent_*~prev_*.deb | sed "s|^$root||")
  prev=$(dpkg-deb -f "$root$host_prev" Version)

  say "apt install $host_prev $agent_prev (the previous release)"
  apt_root install "$host_prev" "$agent_prev" >"$work/install.log" || { cat "$work/install.log"; fail "apt install"; }
  echo "   new: $(sed -n '/^The following NEW/,/^[^ ]/s/^  //p' "$work/install.log" | xargs)"
  echo "   from the archive: $(sed -n 's/^Get:[0-9]* https\?:[^ ]* [^ ]* [^ ]* \([^ ]*\) .*/\1/p' "$work/install.log" | xargs)"
  grep -E '^flx-' "$work/install.log" | sed 's/^/   /'
  grep -q "systemd is not running" "$work/install.log" || fail "the maintainer scripts did not say that systemd is not running"
  in_root id flx | grep -q '(flx)' || fail "no user flx"
  in_root id -nG www-data | grep -qw flx || fail "nginx's user www-data is not in group flx"
  [ "$(stat -c %a "$root$target/etc/push.key")" = 600 ] || fail "push.key is not 0600"
  [ "$(stat -c %a "$root/etc/flx-agent/session")" = 600 ] || fail "the session file is not 0600"
  [ -L "$root/etc/nginx/sites-enabled/flx-webapi.conf" ] || fail "the nginx site is not enabled"

  say "an operator sets up the agent and a fleet on the previous release"
  local sn
  sn="linux-$(hostname)"
  echo "$sn" >"$work/sn"
  in_root flx-admin device add --sn "$sn" >/dev/null
  in_root flx-admin session add --sn "$sn" >"$root/etc/flx-agent/session"
  in_root flx-admin operator add ops >"$work/token"
  in_root flx-admin operator add prometheus >/dev/null
  for i in $(seq 20); do
    in_root flx-admin device add --sn "FLEET$i" --hostname "fleet-$i" >/dev/null
    in_root flx-admin session add --sn "FLEET$i" --ttl 86400 >/dev/null
  done
  in_root install -m 0600 "$target/etc/push.key" /etc/flx-agent/push.key
  sed -i -e 's|^url=.*|url=https://127.0.0.1|' -e 's|^ca_file=.*|ca_file=/etc/ssl/flx/flx-webapi.crt|' \
    "$root/etc/flx-agent/agent.conf"
  echo "FLX_WORKERS=1" >>"$root/etc/default/flx-webapi-host"
  echo "# the operator's edit" >>"$root/etc/nginx/sites-available/flx-webapi.conf"
  unshare --net "$0" --serve "$work" previous "$prev"
  in_root "$target/bin/flx-history" --once --log-stderr || fail "the previous history writer failed"
  fleet_state >"$work/fleet-before"
  grep -q '^history state [1-9]' "$work/fleet-before" || fail "the previous release wrote no history"

  say "apt install $host $agent (upgrade from the previous release)"
  apt_root install "$host" "$agent" >"$work/upgrade-prev.log" || { cat "$work/upgrade-prev.log"; fail "upgrade"; }
  fleet_state >"$work/fleet-after"
  diff "$work/fleet-before" "$work/fleet-after" >&2 || fail "the upgrade changed the fleet's rows"
  [ "$(db registry 'PRAGMA user_version')" = 6 ] || fail "the registry's schema is not version 6"
  [ "$(db history 'PRAGMA user_version')" = 4 ] || fail "the history's schema was not migrated"
  [ "$(db history "SELECT count(*) FROM pragma_table_info('summary') WHERE name = 'push_interval'")" = 1 ] ||
    fail "the history's summary has no push_interval"
  [ -L "$root/etc/nginx/sites-enabled/flx-webapi-http.conf" ] || fail "the http site is not enabled"
  # The previous release's self-signed site certificate gave way to one signed by the host's CA,
  # whose hash join lines carry.
  in_root openssl verify -CAfile /etc/ssl/flx/ca.crt /etc/ssl/flx/flx-webapi.crt >/dev/null ||
    fail "the site's certificate is not signed by the host's CA"
  in_root flx-admin cert show | grep -q '^sha256:[0-9a-f]\{64\}$' || fail "cert show prints no CA hash"
  echo "   $(wc -l <"$work/fleet-after") devices, sessions, tokens and history tables unchanged; schemas migrated"
  in_root flx-admin check >"$work/check.log" || { cat "$work/check.log"; fail "flx-admin check finds faults after the upgrade"; }
  unshare --net "$0" --serve "$work" install "$(in_root dpkg-query -W -f '${Version}' flx-host)"

  say "apt install $host_next $agent_next (upgrade)"
  local key_sum stored
  key_sum=$(sha256sum <"$root$target/etc/push.key")
  stored=$(in_root flx-admin device show "$sn" | sha256sum)
  apt_root install "$host_next" "$agent_next" >"$work/upgrade.log" || { cat "$work/upgrade.log"; fail "upgrade"; }
  for p in flx-host flx-agent; do
    [ "$(in_root dpkg-query -W -f '${Version}' $p)" = "$next" ] || fail "$p was not upgraded to $next"
  done
  [ "$key_sum" = "$(sha256sum <"$root$target/etc/push.key")" ] || fail "the push key changed"
  # Everything both stores and the mirror folder hold of the device, unchanged.
  [ "$stored" = "$(in_root flx-admin device show "$sn" | sha256sum)" ] || fail "the stores changed"
  grep -q '^url=https://127.0.0.1$' "$root/etc/flx-agent/agent.conf" || fail "agent.conf edit lost"
  grep -q '^FLX_WORKERS=1$' "$root/etc/default/flx-webapi-host" || fail "host settings edit lost"
  grep -q "^# the operator's edit" "$root/etc/nginx/sites-available/flx-webapi.conf" || fail "site edit lost"
  # The same session pushes again and the same operator token reads: both survived.
  unshare --net "$0" --serve "$work" upgrade "$next"

  say "apt remove flx-host flx-agent"
  apt_root remove flx-host flx-agent >/dev/null
  for f in "$target/bin/flx-webapi-host" /usr/bin/flx-agent /usr/sbin/flx-admin; do
    [ ! -e "$root$f" ] || fail "$f is still there after remove"
  done
  for f in "$target/db/flx_db.sqlite" "$target/db/flx_registry.sqlite" "$target/etc/push.key" \
    /etc/flx-agent/agent.conf /etc/flx-agent/session /etc/default/flx-webapi-host; do
    [ -e "$root$f" ] || fail "$f is gone after remove"
  done
  [ ! -e "$root/etc/nginx/sites-enabled/flx-webapi.conf" ] || fail "the site stays enabled after remove"

  say "apt install $host_next (again, after the remove)"
  apt_root install "$host_next" >/dev/null || fail "install after remove"
  [ -L "$root/etc/nginx/sites-enabled/flx-webapi.conf" ] || fail "the site is not enabled again after a remove and an install"

  say "apt purge flx-host flx-agent (and nginx, which came with them)"
  apt_root purge flx-host flx-agent >"$work/purge.log"
  grep -q "no backup was made" "$work/purge.log" || fail "purge does not say that it made no backup"
  apt_root purge nginx nginx-common >/dev/null
  find "$work/upper" -xdev -newer "$work/mark" \( -type f -o -type l \) | sed "s|^$work/upper||" |
    sort >"$work/after-files"
  # Folders new in the overlay, not those of this machine's root copied up into it.
  find "$work/upper" -xdev -type d | sed "s|^$work/upper||" | sort | comm -13 "$work/before" - |
    while read -r d; do [ -e "$d" ] || echo "$d"; done >"$work/after-dirs"
  # What apt and dpkg keep of their own, and the logs, are not the packages' files.
  sort "$work/after-files" "$work/after-dirs" |
    grep -Ev '^/(var/lib/(dpkg|apt|ucf)|var/cache|var/log|flx-debs)(/|$)' >"$work/left" || true
  say "files left after purge:"
  sed 's/^/   /' "$work/left"
  # Policy keeps the system user and group: the account files, and their backups, changed.
  if grep -Ev '^/etc/(passwd|group|shadow|gshadow)-?$' "$work/left"; then
    fail "purge left the files above"
  fi
  say "PASS"
}

case "${1:-}" in
--inside)
  inside "$2" "$3"
  exit
  ;;
--serve)
  work=$2
  root=$work/root
  serve "$3" "$4"
  exit
  ;;
esac

# --- outside: build both package sets, then run the rest in the namespaces ---
[ "$(id -u)" -eq 0 ] || fail "run as root: the test makes namespaces and a chroot"
cd "$(dirname "$0")/../.."
next_patch=99
# The previous release: the commit this tree's release follows, built in a worktree of its own
# with a version below this tree's.
previous=${FLX_PREVIOUS_RELEASE:-aa0206b}
prev_src=$(mktemp -d /var/tmp/flx-previous.XXXXXX)
git worktree add --detach "$prev_src" "$previous" >/dev/null
trap 'git worktree remove --force "$prev_src"' EXIT
(cd "$prev_src" && scripts/package.sh --patch "0~prev" build/release-prev >/dev/null) ||
  fail "cannot build the previous release's packages from $previous"
scripts/package.sh
scripts/package.sh --patch "$next_patch" build/release-next
version=$(dpkg-deb -f build/release/packages/flx-host_*.deb Version)
next=${version%.*}.$next_patch
dpkg --compare-versions "$next" gt "$version" || fail "$next is not above $version"
prev=$(dpkg-deb -f "$prev_src"/build/release-prev/packages/flx-host_*.deb Version)
dpkg --compare-versions "$version" gt "$prev" || fail "$version is not above the previous $prev"

work=$(mktemp -d /var/tmp/flx-package-test.XXXXXX)
trap 'rm -rf "$work"; git worktree remove --force "$prev_src"' EXIT
mkdir -p "$work/upper/flx-debs" "$work/work" "$work/root"
cp build/release/packages/*.deb build/release-next/packages/*.deb \
  "$prev_src"/build/release-prev/packages/*.deb "$work/upper/flx-debs/"
start=$(date +%s)
unshare --mount --pid --fork --propagation private "$PWD/tests/package/install_test.sh" \
  --inside "$work" "$next"
echo "install test: $(($(date +%s) - start)) s in the throw-away root"
