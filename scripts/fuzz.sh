#!/usr/bin/env bash
# fuzz.sh [seconds]: builds the libFuzzer targets (clang, in build-fuzz) and runs each for
# the given time (default 30) on a copy of its committed corpus. Fails on any crash; the
# crashing input is left in build-fuzz/artifacts/<target>/ to be added to the corpus.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-30}"
dir="${DRV_FUZZ_BUILD_DIR:-$root/build-fuzz}"
cxx="${CXX_FUZZ:-$(command -v clang++-14 || command -v clang++)}"

cmake -S "$root/fuzz" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"

status=0
for target in line_protocol frames ini spool; do
  work="$dir/corpus/$target"
  artifacts="$dir/artifacts/$target"
  rm -rf "$work" "$artifacts"
  mkdir -p "$work" "$artifacts"
  cp -r "$root/fuzz/corpus/$target/." "$work/"
  echo "== fuzz_$target for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$dir/fuzz_$target" -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$artifacts/" -print_final_stats=1 "$work" >"$dir/fuzz_$target.log" 2>&1; then
    echo "fuzz_$target FAILED; see $dir/fuzz_$target.log and $artifacts/"
    tail -40 "$dir/fuzz_$target.log"
    status=1
  else
    grep -E "stat::number_of_executed_units|cov:" "$dir/fuzz_$target.log" | tail -2 || true
  fi
done
exit "$status"
