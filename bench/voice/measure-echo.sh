#!/usr/bin/env bash
# Echo cancellation against cancellation off, in the same run, several runs: the echo that
# comes back (dB lower with it on, dB below the far end's own speech), the near end's
# correlation alone and while both talk, the delay it adds and the CPU of the capture thread
# per second. Each run is the end-to-end case of tests/voice/voice_instances_test.cpp on a
# private PulseAudio daemon.
#   bench/voice/measure-echo.sh [BUILD_DIR] [RUNS]
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build/release}
RUNS=${2:-3}
# shellcheck source=tools/test-services.sh
source tools/test-services.sh
start_test_services
trap stop_test_services EXIT
for run in $(seq 1 "$RUNS"); do
  echo "== run $run"
  "$BUILD/tests/voice/voice_instances_test" \
    --gtest_filter=VoiceBetweenInstances.EchoOfTheFarEndIsCancelledAndTheNearEndHeardIntact 2>&1 |
    grep -E "^(echo over|capture thread|A alone|double talk)|OK \]|FAILED \]" || true
done
