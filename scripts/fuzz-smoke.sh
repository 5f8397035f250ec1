#!/usr/bin/env bash
# A short run of each fuzz target, when clang and the targets are there.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -x fuzz/run.sh ]; then
  fuzz/run.sh smoke
else
  echo "fuzz: no targets yet"
fi
