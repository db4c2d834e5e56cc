#!/usr/bin/env bash
# Sets up, builds and runs Morvika. Extra arguments go to the program (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DMORVIKA_TESTS=OFF -DMORVIKA_BENCH=OFF
cmake --build build/release
exec build/release/app/morvika "$@"
