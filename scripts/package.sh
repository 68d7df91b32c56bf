#!/usr/bin/env bash
# package.sh [build-dir]: builds the programs (no tests) and makes the Debian package in the
# build folder (default build-package). Installs what it needs (dpkg-dev works out the library dependencies).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="${1:-$root/build-package}"
bash "$root/scripts/setup.sh"
if ! dpkg-query -W -f='${Status}' dpkg-dev 2>/dev/null | grep -q "install ok installed"; then
  SUDO=""
  [[ $(id -u) -ne 0 ]] && SUDO="sudo"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends dpkg-dev >/dev/null
fi
cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDRV_BUILD_TESTS=OFF >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
(cd "$dir" && cpack -G DEB)
ls "$dir"/drvlarna_*.deb
