#!/usr/bin/env bash
# Runs one libFuzzer target for a long run: tools/fuzz.sh TARGET SECONDS [libFuzzer options...]
# Builds the target in the test command's AddressSanitizer + UndefinedBehaviorSanitizer
# configuration (build/asan, clang), fuzzes a scratch copy of its committed seeds in
# fuzz/corpus/TARGET and keeps what the run found in build/asan/fuzz/long/TARGET/corpus.
# A crash leaves its input in build/asan/fuzz/long/TARGET/artifacts and fails the run.
# To fold new finds into the committed seeds, keeping only inputs that add coverage:
#   build/asan/fuzz/TARGET -set_cover_merge=1 fuzz/corpus/TARGET build/asan/fuzz/long/TARGET/corpus
set -euo pipefail
cd "$(dirname "$0")/.."

if [ $# -lt 2 ]; then
  echo "usage: tools/fuzz.sh TARGET SECONDS [libFuzzer options...]" >&2
  exit 2
fi
target=$1 seconds=$2
shift 2
if [ ! -f "fuzz/$target.cpp" ]; then
  echo "fuzz.sh: no fuzz target '$target' (targets: $(cd fuzz && ls ./*_fuzz.cpp | sed 's|./||; s|\.cpp||' | tr '\n' ' '))" >&2
  exit 2
fi

export ASAN_OPTIONS=detect_leaks=1:${ASAN_OPTIONS:-}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:${LSAN_OPTIONS:-}

if [ ! -f build/asan/CMakeCache.txt ]; then
  CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DMORVIKA_SANITIZE=address,undefined -DMORVIKA_FUZZ=ON -DMORVIKA_BENCH=OFF
fi
cmake --build build/asan --target "$target"

work=build/asan/fuzz/long/$target
mkdir -p "$work/corpus" "$work/artifacts"
cp -n fuzz/corpus/"$target"/* "$work/corpus/" 2>/dev/null || true
exec build/asan/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -artifact_prefix="$work/artifacts/" -print_final_stats=1 "$@" "$work/corpus"
