#!/usr/bin/env bash
# Builds the Debian package build/package/morvika_<version>_<arch>.deb from the Release build
# that the README's run command makes (build/release), and prints its path.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVIKA_TESTS=OFF -DMORVIKA_BENCH=OFF >/dev/null
cmake --build build/release
rm -f build/package/morvika_*.deb
(cd build/release && cpack -B "$PWD/../package" >/dev/null)
ls build/package/morvika_*.deb
