# Sourced by tools/test-services.sh (after it has set a private XDG_RUNTIME_DIR): starts a
# private PulseAudio daemon with null sinks for the sound tests and stops it again.
# Works as root on a fresh Debian 12 (the daemon only warns about running as root).
#
#   start_pulse_test_daemon   exports PULSE_SERVER and MORVIKA_PULSE_PID, fails loudly when
#                             the daemon does not answer within 20 seconds
#   stop_pulse_test_daemon    ends that daemon (by its process id); its files go with
#                             the private runtime folder

start_pulse_test_daemon() {
  if ! command -v pulseaudio >/dev/null || ! command -v pactl >/dev/null; then
    echo "pulse-test-daemon: pulseaudio and pactl are needed (bash tools/setup.sh)" >&2
    return 1
  fi
  local base=${XDG_RUNTIME_DIR:?XDG_RUNTIME_DIR must be set first}/pulse-test
  mkdir -p "$base/state" "$base/home"
  chmod 700 "$base" "$base/state"
  local socket=$base/native
  MORVIKA_PULSE_LOG=$base/daemon.log
  export MORVIKA_PULSE_LOG
  # No configuration files, no autospawn, no shared memory (not usable in every container)
  # unless MORVIKA_PULSE_SHM=yes asks for it, as a desktop's server has it; the sinks the tests
  # use are loaded explicitly.
  local disable_shm=yes
  [ "${MORVIKA_PULSE_SHM:-}" = yes ] && disable_shm=no
  HOME=$base/home PULSE_STATE_PATH=$base/state PULSE_RUNTIME_PATH=$base \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --disable-shm=$disable_shm --use-pid-file=no \
      --system=no --log-target=stderr --log-level=warning \
      -L "module-native-protocol-unix socket=$socket auth-anonymous=1" \
      -L "module-null-sink sink_name=morvika_test_a sink_properties=device.description=MorvikaTestA" \
      -L "module-null-sink sink_name=morvika_test_b sink_properties=device.description=MorvikaTestB" \
      -L "module-null-sink sink_name=morvika_test_c sink_properties=device.description=MorvikaTestC" \
      >"$MORVIKA_PULSE_LOG" 2>&1 &
  MORVIKA_PULSE_PID=$!
  export MORVIKA_PULSE_PID
  export PULSE_SERVER=unix:$socket
  local waited=0
  until pactl info >/dev/null 2>&1; do
    if ! kill -0 "$MORVIKA_PULSE_PID" 2>/dev/null; then
      echo "pulse-test-daemon: pulseaudio exited at start-up; its log:" >&2
      cat "$MORVIKA_PULSE_LOG" >&2
      return 1
    fi
    if [ "$waited" -ge 200 ]; then
      echo "pulse-test-daemon: pulseaudio did not answer on $PULSE_SERVER within 20 s; its log:" >&2
      cat "$MORVIKA_PULSE_LOG" >&2
      stop_pulse_test_daemon
      return 1
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  # The daemon moves every stream's sound through its main thread when shared memory is off;
  # on a loaded machine that thread, unlike the sinks' own, would wait behind the busy
  # processes and starve every stream. Where allowed it runs as the sinks' threads do.
  chrt -r -p 5 "$MORVIKA_PULSE_PID" >/dev/null 2>&1 || true
  pactl set-default-sink morvika_test_a >/dev/null
  pactl set-default-source morvika_test_a.monitor >/dev/null
  echo "pulse-test-daemon: PulseAudio (pid $MORVIKA_PULSE_PID) on $PULSE_SERVER"
}

stop_pulse_test_daemon() {
  if [ -n "${MORVIKA_PULSE_PID:-}" ] && kill -0 "$MORVIKA_PULSE_PID" 2>/dev/null; then
    kill "$MORVIKA_PULSE_PID" 2>/dev/null || true
    local waited=0
    while kill -0 "$MORVIKA_PULSE_PID" 2>/dev/null && [ "$waited" -lt 50 ]; do
      sleep 0.1
      waited=$((waited + 1))
    done
    kill -9 "$MORVIKA_PULSE_PID" 2>/dev/null || true
    wait "$MORVIKA_PULSE_PID" 2>/dev/null || true
  fi
  unset MORVIKA_PULSE_PID PULSE_SERVER
}
