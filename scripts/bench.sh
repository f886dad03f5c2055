#!/usr/bin/env bash
# Runs every benchmark of a build folder (default: build) and prints its figures.
set -euo pipefail
dir=${1:-build}
for bench in "$dir"/bench/bench_*; do
  [ -x "$bench" ] || continue
  echo "=== $(basename "$bench") ==="
  "$bench"
done
