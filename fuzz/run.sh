#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz and runs each one.
#   fuzz/run.sh smoke [TARGET...]      a few seconds each (what `make test` runs)
#   fuzz/run.sh SECONDS [TARGET...]    that long each
# TARGET is a name without "fuzz_" (filter, dates, ...); all when none is given. Each run starts
# from the seed corpus fuzz/corpus/<target>/ (copied: the seeds stay as they are) with the
# dictionary fuzz/<target>.dict when there is one. A crash, leak or hang fails the run; its input
# is kept in $FUZZ_ARTIFACTS (default build-fuzz/artifacts) and the log's end is shown. Logs are
# kept in $FUZZ_LOGS when that is set.
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-smoke}
shift || true
if [ "$mode" = smoke ]; then seconds=${FUZZ_SMOKE_SECONDS:-3}; else seconds=$mode; fi
all=(registry_script filter dates regfile typelib ics_import vcf_import)
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=("${all[@]}")
build=${FUZZ_BUILD:-build-fuzz}
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found, skipped"
  exit 0
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIM_BUILD_FUZZ=ON -DPIM_SANITIZE=ON -DPIM_BUILD_BENCH=OFF >/dev/null
fi
if ! cmake --build "$build" --target fuzz_targets -j "${JOBS:-2}" >"${TMPDIR:-/tmp}/pim-fuzz-build-$$.log" 2>&1; then
  tail -30 "${TMPDIR:-/tmp}/pim-fuzz-build-$$.log"
  exit 1
fi
rm -f "${TMPDIR:-/tmp}/pim-fuzz-build-$$.log"
artifacts=${FUZZ_ARTIFACTS:-$build/artifacts}
mkdir -p "$artifacts"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
status=0
for t in "${targets[@]}"; do
  if [ ! -d "fuzz/corpus/$t" ]; then
    echo "fuzz: no target $t (one of: ${all[*]})"
    exit 2
  fi
  rm -rf "$work/corpus" && mkdir "$work/corpus"
  cp fuzz/corpus/"$t"/* "$work/corpus/"
  dict=()
  [ -f "fuzz/$t.dict" ] && dict=(-dict="fuzz/$t.dict")
  log=${FUZZ_LOGS:-$work}/$t.log
  echo "fuzz: fuzz_$t for ${seconds}s"
  # Each target makes its own scratch folder (registry, stores) under TMPDIR or /dev/shm and removes it.
  if ASAN_OPTIONS=detect_leaks=1 "$build/bin/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=8192 -print_final_stats=1 -artifact_prefix="$artifacts/$t-" "${dict[@]}" "$work/corpus" \
      2>"$log"; then
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$log" | sed "s/^/  /" || true
  else
    tail -50 "$log"
    echo "fuzz: fuzz_$t FAILED (input kept under $artifacts)"
    status=1
  fi
done
exit $status
