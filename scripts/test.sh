#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the normal build, then the
# AddressSanitizer/UndefinedBehaviorSanitizer build.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh

bash scripts/build.sh build
(cd build && ctest --output-on-failure --timeout 300 -j2)

bash scripts/build.sh build-asan -DDRV_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure --timeout 600 -j2)

bash scripts/fuzz.sh 30
