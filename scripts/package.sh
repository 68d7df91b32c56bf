#!/usr/bin/env bash
# package.sh [build-dir]: builds the programs (no tests) and makes the Debian package in the
# build folder (default build-package). Needs dpkg-dev for the library dependencies.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build-package}"
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDRV_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
(cd "$dir" && cpack -G DEB)
ls "$dir"/drvlarna_*.deb
