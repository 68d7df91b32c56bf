#!/usr/bin/env bash
# Installs what is missing, checks that every include points down the rooms' arrows, builds,
# and runs every test: the normal build, the AddressSanitizer/UndefinedBehaviorSanitizer
# build, the ThreadSanitizer build (core only, tests labelled `threads`), then the fuzzers.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bash scripts/setup.sh

python3 scripts/check_includes.py "$root"

bash scripts/build.sh build
(cd build && ctest --output-on-failure --timeout 300 -j2)

bash scripts/build.sh build-asan -DDRV_SANITIZE=ON
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
   ctest --output-on-failure --timeout 600 -j2)

# Qt is not instrumented, so it stays out of this build.
bash scripts/build.sh build-tsan -DDRV_TSAN=ON -DDRV_BUILD_QT=OFF
(cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
   ctest -L threads --output-on-failure --timeout 600 -j2)

bash scripts/fuzz.sh 30
