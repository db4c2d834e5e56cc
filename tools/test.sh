#!/usr/bin/env bash
# Sets up, builds and runs every Morvika test: first the README's run command in its
# Release configuration (it must build and print the version), then the whole suite on that
# same build with the tests added, then an AddressSanitizer + UndefinedBehaviorSanitizer
# build (clang) running the in-process tests again and every fuzz target briefly on its seed
# corpus, and a ThreadSanitizer build of the threaded services' tests.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash tools/setup.sh

# shellcheck source=tools/test-services.sh
source tools/test-services.sh
start_test_services
trap stop_test_services EXIT

JOBS=${MORVIKA_JOBS:-$(nproc)}

echo "== one format: every source as .clang-format writes it =="
bash tools/format.sh --check

echo "== what users build: the README's run command, in its Release configuration =="
bash tools/run.sh --version | tee "$MORVIKA_TEST_RUNTIME/run-version.txt"
version=$(tail -n 1 "$MORVIKA_TEST_RUNTIME/run-version.txt")
case "$version" in
  "morvika "[0-9]*) ;;
  *) echo "test.sh: 'bash tools/run.sh --version' printed '$version'" >&2; exit 1 ;;
esac

echo "== the whole suite, on the Release build users run with the tests added =="
# The program's objects are the run command's, built once: adding the tests changes no flag.
cmake -S . -B build/release -DMORVIKA_TESTS=ON
cmake --build build/release -j "$JOBS"
(cd build/release && ctest --output-on-failure -j "$JOBS" --timeout 600)

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build: the in-process tests and the fuzz targets =="
# Every decoder's test and fuzz target runs here; the tests of whole instances, of the sound
# server and of widgets that decode nothing and start no threads (labels e2e, pulse, widgets)
# ran above and are left out to keep the command short, and so is the program itself:
# morvika_checked builds only what CTest runs.
CC=clang CXX=clang++ cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMORVIKA_SANITIZE=address,undefined -DMORVIKA_FUZZ=ON -DMORVIKA_FUZZ_SECONDS=10 -DMORVIKA_BENCH=OFF \
  -DMORVIKA_WHOLE_PROGRAM_TESTS=OFF -DMORVIKA_WIDGET_TESTS=OFF
cmake --build build/asan -j "$JOBS" --target morvika_checked
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:${ASAN_OPTIONS:-}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}
export LSAN_OPTIONS=suppressions=$ROOT/tools/lsan.supp:${LSAN_OPTIONS:-}
(cd build/asan && ctest --output-on-failure -j "$JOBS" --timeout 900)

echo "== ThreadSanitizer build of the peer session service and sound object tests =="
CC=clang CXX=clang++ cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMORVIKA_SANITIZE=thread -DMORVIKA_BENCH=OFF
cmake --build build/tsan -j "$JOBS" --target peer_frame_test peer_session_test peer_process_test voice_test
# voice_test: the capture and playback objects' sound threads on the virtual sound backend.
(cd build/tsan && ctest --output-on-failure -j "$JOBS" --timeout 900 \
  -R '^(Peer(Frame|Session|Robustness|Process|Load)|CaptureTest|PlayTest|SoundBase|Capture(Failures|Geometry)|AutoResetEvent|VoiceJoinBuffer|DeviceList|VoiceCodec)\.')
