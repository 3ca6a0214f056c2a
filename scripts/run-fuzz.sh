#!/usr/bin/env bash
# Runs every target of the fuzz build for FLX_FUZZ_SECONDS seconds (default 20) on its seed
# corpus from tests/fuzz/corpus. A crash, leak, sanitizer report or slow input (over 10 s)
# fails the run. libFuzzer's own output goes to build/fuzz/fuzz-runs/<target>.log, new inputs
# to <target>-corpus beside it; this prints one line per target and the tail of a failing log.
set -uo pipefail
cd "$(dirname "$0")/.."
seconds=${FLX_FUZZ_SECONDS:-20}
bin=build/fuzz/bin
out=build/fuzz/fuzz-runs
mkdir -p "$out"
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

targets=("$bin"/*_fuzzer)
if [ ! -x "${targets[0]}" ]; then
  echo "run-fuzz: no fuzz targets in $bin; build them with 'cmake --build --preset fuzz'" >&2
  exit 2
fi

# "key: value" of libFuzzer's last status line ("#N DONE cov: 1 ft: 2 corp: 3/4b ...").
field() { sed -n "s/.* $1: \([^ ]*\).*/\1/p" <<<"$2"; }

passed=0 failed=0
for exe in "${targets[@]}"; do
  name=$(basename "$exe" _fuzzer)
  log=$out/$name.log
  mkdir -p "$out/$name-corpus"
  rm -f "$out/$name"-{crash,leak,timeout,oom,slow-unit}-*
  # The outer limit catches a hang that libFuzzer's own -timeout cannot see (its set-up).
  timeout -k 10 $((seconds + 120)) "$exe" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=4096 -print_final_stats=1 -dict=tests/fuzz/flx.dict \
    -artifact_prefix="$out/$name-" "$out/$name-corpus" "tests/fuzz/corpus/$name" >"$log" 2>&1
  rc=$?
  status=$(grep -E '^#[0-9]+[[:space:]]+(DONE|pulse|NEW|REDUCE|INITED)' "$log" | tail -n 1)
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  speed=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  stats="${runs:-?} runs, ${speed:-?} exec/s"
  [ -n "$status" ] && stats+=", cov $(field cov "$status") ft $(field ft "$status"), corpus $(field corp "$status")"
  if [ "$rc" -eq 0 ]; then
    passed=$((passed + 1))
    echo "fuzz $name: ok in ${seconds} s: $stats"
  else
    failed=$((failed + 1))
    echo "fuzz $name: FAILED (exit $rc): $stats"
    tail -n 20 "$log" | sed 's/^/    /'
    input=$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log" | tail -n 1)
    echo "fuzz $name: input ${input:-(none written)}; log $log; replay: $exe ${input:-INPUT}"
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
