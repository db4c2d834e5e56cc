#!/bin/sh
# CPU per live video stream at the sender and the receiver, and the frames per second that
# arrive: two real instances on this machine (the sender with the test camera at 4 frames
# per second). Usage: bench/video/live_video_cpu.sh [build folder]
build=${1:-build/normal}
export QT_QPA_PLATFORM=offscreen MORVIKA_CPU_FIGURES=1
exec "$build/tests/video/live_video_test" --gtest_filter='LiveVideo.CpuFigures' | grep -F '[ figures ]'
