#!/usr/bin/env bash
# Sets up, builds and runs every Morvika test: first the README's run command in its
# Release configuration (it must build and print the version), then the whole suite on that
# same build with the tests added, then an AddressSanitizer + UndefinedBehaviorSanitizer
# build (clang) running the in-process tests again and every fuzz target briefly on its seed
# corpus, and a ThreadSanitizer build of the threaded services' tests. The sanitizer builds
# compile at the lowest CPU priority while the suites before them run, which mostly wait.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD

bash tools/setup.sh

# shellcheck source=tools/test-services.sh
source tools/test-services.sh
start_test_services
background=()
stop_background() {
  for pid in "${background[@]}"; do kill -- -"$pid" 2>/dev/null || true; done
}
trap 'stop_background; stop_test_services' EXIT

JOBS=${MORVIKA_JOBS:-$(nproc)}

echo "== one format: every source as .clang-format writes it =="
bash tools/format.sh --check

echo "== every interface text has its English translation =="
python3 tools/check_translations.py

echo "== objects travel with messages only through the payload helper =="
python3 tools/check_casts.py

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

# The sanitizer builds start in the background at the lowest CPU priority, each into its own
# log, while the suite before them runs: they take only the CPU that the tests leave idle (most
# of the Release suite waits on real time), and the load limit keeps them from making the
# machine look overcommitted to the tests that check the load before judging sound. When the
# suite is done, the low-priority build stops and the rest is built at full speed.
if chrt -i 0 true 2>/dev/null; then idle=(chrt -i 0 nice -n 19); else idle=(nice -n 19); fi
declare -A build_pid build_configure build_args
start_build() { # NAME CONFIGURE-ARGS... -- BUILD-ARGS...
  local name=$1 configure=()
  shift
  while [ $# -gt 0 ] && [ "$1" != -- ]; do configure+=("$1"); shift; done
  shift
  build_configure[$name]="${configure[*]}"
  build_args[$name]="$*"
  rm -f "$MORVIKA_TEST_RUNTIME/$name-configured"
  set -m
  ( CC=clang CXX=clang++ "${idle[@]}" cmake -S . -B "build/$name" -G Ninja "${configure[@]}" &&
      touch "$MORVIKA_TEST_RUNTIME/$name-configured" &&
      "${idle[@]}" cmake --build "build/$name" -j "$JOBS" "$@" -- -l $((JOBS + 1))
  ) < /dev/null > "$MORVIKA_TEST_RUNTIME/$name-build.log" 2>&1 &
  set +m
  build_pid[$name]=$!
  background+=("$!")
}
finish_build() { # NAME
  local name=$1
  local -a configure args
  read -r -a configure <<< "${build_configure[$name]}"
  read -r -a args <<< "${build_args[$name]}"
  # Stopping ninja loses at most the objects it was compiling; the build resumes from there.
  kill -TERM -- -"${build_pid[$name]}" 2>/dev/null || true
  wait "${build_pid[$name]}" || true
  cat "$MORVIKA_TEST_RUNTIME/$name-build.log"
  if [ ! -f "$MORVIKA_TEST_RUNTIME/$name-configured" ]; then
    CC=clang CXX=clang++ cmake -S . -B "build/$name" -G Ninja "${configure[@]}"
  fi
  cmake --build "build/$name" -j "$JOBS" "${args[@]}"
}

# Every decoder's test and fuzz target runs in the AddressSanitizer build; the tests of whole
# instances, of the sound server and of widgets that decode nothing and start no threads
# (labels e2e, pulse, widgets) run only in the Release suite, and the program itself is not
# built: morvika_checked builds only what CTest runs.
start_build asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMORVIKA_SANITIZE=address,undefined -DMORVIKA_FUZZ=ON -DMORVIKA_BENCH=OFF \
  -DMORVIKA_WHOLE_PROGRAM_TESTS=OFF -DMORVIKA_WIDGET_TESTS=OFF -- --target morvika_checked

(cd build/release && ctest --output-on-failure -j "$JOBS" --timeout 600)

echo "== the Debian package: lintian, installed with apt-get, desktop entry and AppStream data, removed again =="
bash tools/package-check.sh

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build: the in-process tests and the fuzz targets =="
finish_build asan
# voice_test: the capture and playback objects' sound threads on the virtual sound backend;
# winmsg_test: window messages posted and sent from other threads.
start_build tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMORVIKA_SANITIZE=thread -DMORVIKA_BENCH=OFF \
  -- --target peer_frame_test peer_writer_test peer_session_test peer_process_test voice_test winmsg_test
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0:${ASAN_OPTIONS:-}
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}
export LSAN_OPTIONS=suppressions=$ROOT/tools/lsan.supp:${LSAN_OPTIONS:-}
(cd build/asan && ctest --output-on-failure -j "$JOBS" --timeout 900)

echo "== ThreadSanitizer build of the peer session service, sound object and window message tests =="
finish_build tsan
(cd build/tsan && ctest --output-on-failure -j "$JOBS" --timeout 900 \
  -R '^(Peer(Frame|Writer|Session|Robustness|Process|Load)|CaptureTest|PlayTest|SoundBase|Capture(Failures|Geometry)|AutoResetEvent|VoiceJoinBuffer|DeviceList|VoiceCodec|WinMsgTest)\.')
