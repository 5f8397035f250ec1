#!/usr/bin/env bash
# Builds the fuzz targets with clang in build-fuzz and runs each one.
#   fuzz/run.sh smoke      a few seconds each (what `make test` runs)
#   fuzz/run.sh SECONDS    that long each
set -euo pipefail
cd "$(dirname "$0")/.."
mode=${1:-smoke}
if [ "$mode" = smoke ]; then seconds=5; else seconds=$mode; fi
build=${FUZZ_BUILD:-build-fuzz}
if ! command -v clang++ >/dev/null; then
  echo "fuzz: clang++ not found, skipped"
  exit 0
fi
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPIM_BUILD_FUZZ=ON -DPIM_SANITIZE=ON -DPIM_BUILD_BENCH=OFF >/dev/null
fi
if ! cmake --build "$build" --target fuzz_registry_script -j "${JOBS:-2}" >"${TMPDIR:-/tmp}/pim-fuzz-build.log" 2>&1; then
  tail -30 "${TMPDIR:-/tmp}/pim-fuzz-build.log"
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus"
cp fuzz/corpus/registry_script/* "$work/corpus/"
# A scratch registry on tmpfs when there is one: every write is saved.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then reg=$(mktemp -p /dev/shm pim-fuzz-XXXXXX.reg); else reg=$work/registry.reg; fi
trap 'rm -rf "$work" "$reg"' EXIT
echo "fuzz: fuzz_registry_script for ${seconds}s"
PIM_REGISTRY=$reg ASAN_OPTIONS=detect_leaks=1 "$build/bin/fuzz_registry_script" \
  -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 -print_final_stats=1 \
  -dict=fuzz/registry_script.dict "$work/corpus" 2>"$work/log" || { tail -50 "$work/log"; exit 1; }
grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$work/log" || true
