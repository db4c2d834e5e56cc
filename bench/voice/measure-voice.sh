#!/usr/bin/env bash
# How voice sounds (speech), mouth-to-ear latency and the CPU of four talking peers, on a
# private PulseAudio daemon.
#   bench/voice/measure-voice.sh [BUILD_DIR] [speech] [latency] [cpu] [options]  (--help)
set -euo pipefail
cd "$(dirname "$0")/../.."
BUILD=${1:-build}
shift || true
# shellcheck source=tools/test-services.sh
source tools/test-services.sh
start_test_services
trap stop_test_services EXIT
python3 bench/voice/measure-voice.py --binary "$BUILD/app/morvika" "$@"
