#!/usr/bin/env bash
# run_all.sh [--quick] [--build DIR] [--only NAMES] [--markdown FILE]
# Runs every benchmark against the built program and prints one table with the machine.
# The build should be a Release one: bash scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${DRV_BENCH_BUILD:-$root/build-release}"
args=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --build) build="$2"; shift 2 ;;
    --build=*) build="${1#--build=}"; shift ;;
    *) args+=("$1"); shift ;;
  esac
done
for exe in src/drvlarna tools/msgserver/msgserver bench/drv_bench; do
  if [[ ! -x "$build/$exe" ]]; then
    echo "run_all.sh: $build/$exe is missing; build it first (cmake --build $build --target drvlarna msgserver drv_bench)" >&2
    exit 2
  fi
done
type="$(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)"
[[ "$type" == "Release" ]] || echo "run_all.sh: note: $build is a '$type' build, not Release" >&2
exec python3 "$root/bench/system_bench.py" --build "$build" "${args[@]}"
