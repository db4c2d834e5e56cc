#!/usr/bin/env bash
# Renders docs/screenshots/*.png: the main window of a session of three, the chat window and
# the approval dialog, drawn by real morvika instances on a virtual X server with Japanese
# fonts (packages xvfb, xauth, fonts-noto-cjk from tools/setup.sh).
#   bash tools/screenshots.sh [BUILD_DIR]      (default: build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=${1:-build}

if [ ! -f "$BUILD/build.ninja" ]; then
  cmake -S . -B "$BUILD" -G Ninja -DMORVIKA_BENCH=OFF
fi
cmake --build "$BUILD" --target morvika morvika-screenshots
mkdir -p docs/screenshots

runtime=$(mktemp -d /tmp/morvika-shots-XXXXXX)
trap 'rm -rf "$runtime"' EXIT
mkdir -m 700 "$runtime/runtime"
export XDG_RUNTIME_DIR=$runtime/runtime
export XDG_CONFIG_HOME=$runtime/config
unset QT_QPA_PLATFORM
export QT_QPA_PLATFORM=xcb

xvfb-run --auto-servernum --server-args="-screen 0 1280x800x24 -nolisten tcp" \
  "$BUILD/tests/e2e/morvika-screenshots" "$PWD/docs/screenshots"
ls -l docs/screenshots
