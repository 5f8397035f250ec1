#!/bin/sh
# Instructions per warm week query, through the component and directly on the object model, each
# counted by callgrind over the benchmark's own timed loop (the warm-up calls before it are left
# out), and their ratio. Then the component's text flame graph (bench/flame.sh).
#
#   bench/callgrind-period.sh [BUILD_DIR [APPOINTMENTS [OUT_DIR]]]     # build, 10000, a temporary directory
set -eu
build=${1:-build}
size=${2:-10000}
out=${3:-$(mktemp -d)}
here=$(cd "$(dirname "$0")" && pwd)
command -v valgrind >/dev/null || { echo "valgrind is missing (scripts/bootstrap.sh installs it)" >&2; exit 1; }
[ -x "$build/bin/bench_period" ] || { echo "no $build/bin/bench_period: build first" >&2; exit 1; }
mkdir -p "$out"
rm -f "$out"/cg.out*
valgrind --tool=callgrind --callgrind-out-file="$out/cg.out" \
  --toggle-collect='*ComponentQuery*' --toggle-collect='*DirectQuery*' \
  --zero-before='benchmark::State::StartKeepRunning*' --dump-before='benchmark::State::FinishKeepRunning*' \
  "$build/bin/bench_period" --benchmark_filter="/$size\$" --benchmark_min_time=0.3 >"$out/bench.log" 2>&1
comp=""
direct=""
for f in "$out"/cg.out.*; do
  if grep -q ComponentQuery "$f"; then comp="$comp,$f"; elif grep -q DirectQuery "$f"; then direct="$direct,$f"; fi
done
[ -n "$comp" ] && [ -n "$direct" ] || { echo "no timed loop was profiled; see $out/bench.log" >&2; exit 1; }
c=$("$here/flame.sh" "${comp#,}" ComponentQuery 1 | head -1)
d=$("$here/flame.sh" "${direct#,}" DirectQuery 1 | head -1)
echo "$c"
echo "$d"
ci=$(echo "$c" | sed 's/.*, \([0-9]*\) Ir a call/\1/')
di=$(echo "$d" | sed 's/.*, \([0-9]*\) Ir a call/\1/')
awk -v c="$ci" -v d="$di" 'BEGIN { printf "component / object model: %.3f\n", c / d }'
echo
"$here/flame.sh" "${comp#,}" ComponentQuery 25 7
