# Sourced by tools/test.sh: starts the real services the tests need and stops them again.
# Widgets run on Qt's offscreen platform; a private PulseAudio daemon with null sinks
# serves the sound tests.

start_test_services() {
  export QT_QPA_PLATFORM=offscreen
  export MORVIKA_TEST_RUNTIME
  MORVIKA_TEST_RUNTIME=$(mktemp -d /tmp/morvika-test-XXXXXX)
  export XDG_RUNTIME_DIR=$MORVIKA_TEST_RUNTIME/runtime
  export XDG_CONFIG_HOME=$MORVIKA_TEST_RUNTIME/config
  export XDG_DATA_HOME=$MORVIKA_TEST_RUNTIME/data
  mkdir -p "$XDG_RUNTIME_DIR" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME"
  chmod 700 "$XDG_RUNTIME_DIR"
  if [ -f tools/pulse-test-daemon.sh ]; then
    # shellcheck source=/dev/null
    source tools/pulse-test-daemon.sh
    start_pulse_test_daemon
  fi
}

stop_test_services() {
  if declare -F stop_pulse_test_daemon >/dev/null; then
    stop_pulse_test_daemon || true
  fi
  if [ -n "${MORVIKA_TEST_RUNTIME:-}" ]; then
    rm -rf "$MORVIKA_TEST_RUNTIME"
  fi
}
