#!/usr/bin/env bash
# Sets up, builds and runs Morvika. Extra arguments go to the program (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVIKA_TESTS=OFF -DMORVIKA_BENCH=OFF
cmake --build build/release
if [ -x build/release/app/morvika ]; then
  exec build/release/app/morvika "$@"
fi
echo "Morvika's program is not built yet; these parts are:"
find build/release -name '*.a' -o -name '*.so' -o -type f -perm -u+x -name 'morvika*' | sort
