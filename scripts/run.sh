#!/usr/bin/env bash
# `make run`: register the component and the PIM server in the user's registry, then run the main job.
set -euo pipefail
build=${1:-build}
cd "$(dirname "$0")/.."
bin=$build/bin
lib=$build/lib
if [ -x "$bin/regsvr" ]; then
  "$bin/regsvr" "$lib/libpimserver.so"
  "$bin/regsvr" "$lib/libVYN_PIM_OUTLOOK.so"
fi
if [ -x "$bin/pimctl" ]; then
  exec "$bin/pimctl" demo
fi
echo "pimctl is not built yet"
