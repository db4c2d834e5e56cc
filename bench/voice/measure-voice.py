#!/usr/bin/env python3
"""Mouth-to-ear latency and CPU of whole Morvika instances on the real sound server.

latency: instance A's microphone is a null sink into which tone bursts are played; instance B
(joined to A) plays A's voice into another null sink. Both sinks' monitors are recorded; each
recording's samples are put on this process's clock from the arrival times of its chunks, so
the delay of every burst from A's microphone to B's speaker is measured on one clock.

speech: speech (espeak-ng) is played into A's microphone; A's microphone and B's speaker (or,
with --alone, A's own speaker: the loopback of a lone user) are recorded. voice_compare aligns
B's recording once with A's microphone quantised as the codec does and reports the global
correlation, the voiced 31 ms windows below 0.9 and the worst one, the slips and gaps with their
times, and the mouth-to-ear delay. --busy N runs N busy processes alongside; --stall S stalls
the link between B and A for S seconds in the middle of the speech (B joins through a relay
that stops passing bytes on, then delivers what piled up at once) and reports the delay of
everything spoken from just before the stall to a second after its end that B plays; with
--stall-sender the stall is A's whole process stopped instead.

cpu: four instances (B, C, D joined to A), each microphone fed with speech in a loop, all
talking at once; the CPU time of every process (and of the sound server) over a stretch.

Needs PULSE_SERVER (bench/voice/measure-voice.sh starts a private daemon) and espeak-ng.
"""
import argparse
import array
import math
import os
import queue
import select
import signal
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time

RATE = 11025


def pactl(*args):
    return subprocess.run(["pactl", *args], check=True, capture_output=True, text=True).stdout.strip()


class Sinks:
    def __init__(self):
        self.modules = []

    def load(self, name):
        self.modules.append(pactl("load-module", "module-null-sink", f"sink_name={name}",
                                  f"sink_properties=device.description={name}"))
        return name

    def close(self):
        for module in self.modules:
            subprocess.run(["pactl", "unload-module", module], capture_output=True)


class Instance:
    def __init__(self, binary, profile, port, user, capture, sound, accept=False, connect=None, processing=True,
                 camera=None):
        os.makedirs(profile, exist_ok=True)
        # The devices in the settings file (texts are plain strings there); callers are
        # approved through the control channel, or, with accept, let in without asking
        # (the key is "接続の承諾", as Qt escapes it); camera names the camera ("videotestsrc": the
        # test picture).
        with open(os.path.join(profile, "Morvika.conf"), "w", encoding="utf-8") as conf:
            conf.write(f"[Device]\nCapture={capture}\nSound={sound}\nNonVoice=0\n")
            if not processing:
                conf.write("EchoCancel=0\nNoiseSuppress=0\n")
            conf.write("\n[MAIN]\nINIT=1\n")
            if accept:
                conf.write("%U63A5%U7D9A%U306E%U627F%U8AFE=0\n")
            if camera:
                conf.write(f"%U30AB%U30E1%U30E9={camera}\n")  # カメラ
        self.profile = profile
        self.lines = queue.Queue()
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        extra = ["--connect", connect] if connect else []
        self.proc = subprocess.Popen([binary, "--control", "--profile", profile, "--port", str(port), *extra],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=open(os.path.join(profile, "stderr.txt"), "w"), text=True, env=env)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))

    def send(self, line):
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()

    def wait(self, prefix, timeout=60):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                line = self.lines.get(timeout=max(0.01, end - time.monotonic()))
            except queue.Empty:
                break
            if line.startswith(prefix):
                return line
        raise RuntimeError(f"{self.profile}: no '{prefix}' within {timeout} s")

    def approve_next(self):
        self.wait("event approval")
        self.send("approve accept")

    def wait_log(self, text, timeout=60):
        wait_until(lambda: text in self.log(), timeout, f"'{text}' in {self.profile}'s log")

    def users(self):
        self.send("state")
        line = self.wait("ok view=")
        return int(line.split("users=")[1].split()[0])

    def log(self):
        with open(os.path.join(self.profile, "HalvoLogFile.txt"), encoding="utf-8", errors="replace") as f:
            return f.read()

    def quit(self):
        try:
            self.send("quit")
            self.proc.wait(timeout=30)
        except Exception:
            self.proc.kill()
            self.proc.wait()


class StallRelay:
    """A TCP relay to one port that can hold back every byte for a while, as a stalled link
    does; on resuming it hands on at once whatever piled up in either direction."""

    def __init__(self, target_port):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(4)
        self.port = self.listener.getsockname()[1]
        self.target_port = target_port
        self.flowing = threading.Event()
        self.flowing.set()
        self.closed = False
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while not self.closed:
            try:
                near, _ = self.listener.accept()
            except OSError:
                return
            far = socket.create_connection(("127.0.0.1", self.target_port))
            for s in (near, far):
                s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
            threading.Thread(target=self._pump, args=(near, far), daemon=True).start()

    def _pump(self, near, far):
        peer = {near: far, far: near}
        try:
            while not self.closed:
                self.flowing.wait()
                ready, _, _ = select.select([near, far], [], [], 0.05)
                if not self.flowing.is_set():
                    continue
                for s in ready:
                    data = s.recv(65536)
                    if not data:
                        return
                    peer[s].sendall(data)
        except OSError:
            return
        finally:
            near.close()
            far.close()

    def close(self):
        self.closed = True
        self.flowing.set()
        self.listener.close()


def wait_until(cond, timeout, what):
    end = time.monotonic() + timeout
    while not cond():
        if time.monotonic() > end:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.05)


def source_description(monitor):
    out = pactl("list", "sources")
    name = None
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("Name:"):
            name = line.split(":", 1)[1].strip()
        elif line.startswith("Description:") and name == monitor:
            return line.split(":", 1)[1].strip()
    raise RuntimeError(f"no source {monitor}")


class TimedRecorder:
    """parec of one source; every sample index is mapped to this process's clock."""

    def __init__(self, source):
        self.proc = subprocess.Popen(["parec", "-d", source, f"--rate={RATE}", "--channels=1", "--format=s16le",
                                      "--raw", "--latency-msec=5"], stdout=subprocess.PIPE)
        self.samples = array.array("h")
        self.offset = None  # min over chunks of (arrival time - time of the chunk's last sample)
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        pending = b""
        while True:
            chunk = self.proc.stdout.read1(4096)
            if not chunk:
                return
            now = time.monotonic()
            pending += chunk
            whole = len(pending) // 2 * 2
            self.samples.frombytes(pending[:whole])
            pending = pending[whole:]
            offset = now - len(self.samples) / RATE
            self.offset = offset if self.offset is None else min(self.offset, offset)

    def time_of(self, index):
        return self.offset + index / RATE

    def stop(self):
        self.proc.terminate()
        self.proc.wait()
        self.thread.join(timeout=5)


def onsets(samples, threshold, quiet):
    """Indices where the level first exceeds threshold after at least `quiet` samples below it."""
    out, last_loud = [], -quiet
    for i, s in enumerate(samples):
        if abs(s) > threshold:
            if i - last_loud >= quiet:
                out.append(i)
            last_loud = i
    return out


def percentile(values, p):
    v = sorted(values)
    k = (len(v) - 1) * p / 100
    lo, hi = math.floor(k), math.ceil(k)
    return v[lo] + (v[hi] - v[lo]) * (k - lo)


def write_raw(path, samples):
    with open(path, "wb") as f:
        f.write(array.array("h", samples).tobytes())


def summarise(delays, label):
    print(f"{label}: {len(delays)} bursts; ms: min %.0f p50 %.0f p90 %.0f p95 %.0f max %.0f mean %.0f" % (
        min(delays), percentile(delays, 50), percentile(delays, 90), percentile(delays, 95), max(delays),
        sum(delays) / len(delays)))


def measure_latency(args, work, sinks):
    """Several sessions: the phase between A's capture blocks and B's playback blocks is set
    when a session starts, and the delay depends on it."""
    everything = []
    for session in range(args.sessions):
        # Fresh sinks each time: the device lists hold twenty entries.
        session_sinks = Sinks()
        busy = busy_processes(args.busy)
        try:
            delays = measure_latency_session(args, os.path.join(work, f"lat{session}"), session_sinks, session)
        finally:
            for proc in busy:
                proc.terminate()
                proc.wait()
            session_sinks.close()
        if delays:
            summarise(delays, f"latency session {session + 1}")
            everything += delays
    if everything:
        summarise(everything, "latency all sessions")
        buckets = {}
        for d in everything:
            buckets[int(d // 25) * 25] = buckets.get(int(d // 25) * 25, 0) + 1
        for lo in sorted(buckets):
            print(f"  {lo:4d}-{lo + 25:<4d} ms {buckets[lo]:4d} {'#' * min(80, buckets[lo])}")


def measure_latency_session(args, work, sinks, session):
    tag = f"mvxb{os.getpid()}s{session}"
    a_mic, a_out, b_mic, b_out = (sinks.load(f"{tag}_{p}") for p in ("amic", "aout", "bmic", "bout"))
    port = args.port + 20 + 2 * session
    # Silence into the microphones and B's speaker from the start: an idle null sink renders
    # ahead when a stream starts, which would hand A's capture a burst of blocks at once and
    # leave B a backlog, and B's capture from an idle one would hold up B's playback.
    keepers = [subprocess.Popen(["pacat", "--playback", "-d", sink, f"--rate={RATE}", "--channels=1",
                                 "--format=s16le", "--raw", "/dev/zero"]) for sink in (a_mic, b_mic, b_out)]
    time.sleep(1.0)
    a = Instance(args.binary, os.path.join(work, "a"), port, "Alice", source_description(a_mic + ".monitor"), a_out)
    b = Instance(args.binary, os.path.join(work, "b"), port + 1, "Bob", source_description(b_mic + ".monitor"), b_out)
    try:
        a.wait("event ready")
        b.wait("event ready")
        b.send(f"connect 127.0.0.1:{port} - -")
        a.approve_next()
        wait_until(lambda: a.users() >= 2 and b.users() >= 2, 60, "the join")
        mouth = TimedRecorder(a_mic + ".monitor")
        ear = TimedRecorder(b_out + ".monitor")
        time.sleep(1.0)
        # Bursts of 80 ms at 700 Hz, one per second at an uneven phase, so that the block
        # grid of the capture is sampled all round.
        period, bursts = RATE, args.bursts
        signal = []
        for n in range(bursts):
            gap = period + (n * 397) % (RATE // 4)
            burst = [int(12000 * math.sin(2 * math.pi * 700 * i / RATE)) for i in range(RATE * 80 // 1000)]
            signal += burst + [0] * (gap - len(burst))
        path = os.path.join(work, "bursts.raw")
        write_raw(path, signal)
        subprocess.run(["pacat", "--playback", "-d", a_mic, f"--rate={RATE}", "--channels=1", "--format=s16le",
                        "--raw", "--latency-msec=10", path], check=True, timeout=len(signal) / RATE + 60)
        time.sleep(1.5)
        mouth.stop()
        ear.stop()
        spoken = onsets(mouth.samples, 6000, RATE // 2)
        heard = onsets(ear.samples, 3000, RATE // 2)
        delays = []
        for s in spoken:
            t = mouth.time_of(s)
            later = [ear.time_of(h) - t for h in heard if 0 <= ear.time_of(h) - t < 0.9]
            if later:
                delays.append(later[0] * 1000)
        if len(delays) < len(spoken):
            print(f"latency: only {len(delays)} of {len(spoken)} bursts heard")
        return delays
    finally:
        a.quit()
        b.quit()
        for keeper in keepers:
            keeper.terminate()
            keeper.wait()


SPEECH = ("The quick brown fox jumps over the lazy dog. Seven friends talk across the city tonight, "
          "and every word should arrive whole.")


def busy_processes(count):
    return [subprocess.Popen(["yes"], stdout=subprocess.DEVNULL) for _ in range(count)]


def compare(args, work, mouth, ear):
    """voice_compare's figures as a dict, its lines printed."""
    mouth_raw, ear_raw = os.path.join(work, "mouth.raw"), os.path.join(work, "ear.raw")
    write_raw(mouth_raw, mouth.samples)
    write_raw(ear_raw, ear.samples)
    out = subprocess.run([args.compare, mouth_raw, ear_raw], capture_output=True, text=True).stdout
    figures = {}
    for line in out.splitlines():
        key, _, value = line.partition(" ")
        figures.setdefault(key, value)
        if key in ("slip", "gap"):
            print("  " + line)
    return figures


def stall_delays(args, work, mouth, ear, stalled, resumed, stall):
    """Delay of each loud stretch spoken from half a second before the stall (what was still on
    its way when the link stalled) to a second after its end that B plays: its own best lag in
    B's recording, looked for up to stall + 0.8 s beyond the whole's. What the overload rule
    dropped is not found and has no delay. The stretches are 124 ms long: a 31 ms stretch of
    speech often matches a like sound elsewhere at 0.9."""
    start = int((stalled - 0.5 - mouth.offset) * RATE)
    count = int((resumed - stalled + 1.5) * RATE)
    out = subprocess.run([args.compare, os.path.join(work, "mouth.raw"), os.path.join(work, "ear.raw"), "7",
                          str(start), str(count), str(int((stall + 0.8) * RATE)), "124"],
                         capture_output=True, text=True).stdout
    delays = []
    for line in out.splitlines():
        _, _, lag, corr = line.split()
        # Speech repeats its sounds: only a close match is taken for the same stretch.
        if float(corr) > 0.9:
            delays.append((ear.offset - mouth.offset + int(lag) / RATE) * 1000)
    return delays


def measure_speech(args, work):
    results = []
    for session in range(args.sessions):
        session_sinks = Sinks()
        busy = busy_processes(args.busy)
        try:
            results.append(measure_speech_session(args, os.path.join(work, f"sp{session}"), session_sinks, session))
        finally:
            for proc in busy:
                proc.terminate()
                proc.wait()
            session_sinks.close()
    delays = [r["mouth_to_ear_ms"] for r in results if "mouth_to_ear_ms" in r]
    if delays:
        summarise(delays, "speech mouth-to-ear")
    worst_stall = [max(r["stall_delays"]) for r in results if r.get("stall_delays")]
    if worst_stall:
        print("stall: worst delay of what was spoken from just before the stall to a second after it "
              "%.0f ms (max over sessions)" % max(worst_stall))


def measure_speech_session(args, work, sinks, session):
    os.makedirs(work, exist_ok=True)
    tag = f"mvxs{os.getpid()}s{session}"
    port = args.port + 40 + 2 * session
    relay = StallRelay(port) if args.stall and not args.stall_sender else None
    if args.bare:
        # As a user's machine may have it: three sinks (A's microphone, B's speaker, one idle
        # sink for the other two ends) and nothing else playing.
        a_mic, b_out, idle = (sinks.load(f"{tag}_{p}") for p in ("amic", "bout", "idle"))
        a_out, b_mic = idle, idle
        keepers = []
    else:
        a_mic, a_out, b_mic, b_out = (sinks.load(f"{tag}_{p}") for p in ("amic", "aout", "bmic", "bout"))
        # Silence into the microphones and into the speakers from the start: a null sink that
        # starts from idle renders ahead, and a recording from its monitor gets nothing for up
        # to two seconds (which holds up the recorder's own playback as long).
        keepers = [subprocess.Popen(["pacat", "--playback", "-d", sink, f"--rate={RATE}", "--channels=1",
                                     "--format=s16le", "--raw", "/dev/zero"])
                   for sink in (a_mic, a_out, b_mic, b_out)]
        time.sleep(1.0)
    spoken = os.path.join(work, "speech.wav")
    subprocess.run(["espeak-ng", "-v", "en", "-s", "150", "-w", spoken, SPEECH], check=True)
    target = f"127.0.0.1:{relay.port if relay else port}"
    # The bare set-up records the whole call, from before either instance starts.
    recorders = (TimedRecorder(a_mic + ".monitor"), TimedRecorder((b_out if not args.alone else a_out) + ".monitor")) \
        if args.bare else None
    a = Instance(args.binary, os.path.join(work, "a"), port, "Alice", source_description(a_mic + ".monitor"), a_out,
                 accept=args.bare, processing=not args.plain)
    b = None if args.alone else Instance(args.binary, os.path.join(work, "b"), port + 1, "Bob",
                                         source_description(b_mic + ".monitor"), b_out, accept=args.bare,
                                         connect=target if args.join_at_start else None, processing=not args.plain)
    try:
        a.wait("event ready")
        if b:
            b.wait("event ready")
            if not args.join_at_start:
                if args.bare:
                    time.sleep(3.0)
                b.send(f"connect {target} - -")
                if not args.bare:
                    a.approve_next()
            wait_until(lambda: a.users() >= 2 and b.users() >= 2, 60, "the join")
            b.wait_log("ログイン完了")
        if recorders:
            mouth, ear = recorders
            time.sleep(3.0)
        else:
            mouth = TimedRecorder(a_mic + ".monitor")
            ear = TimedRecorder((b_out if b else a_out) + ".monitor")
            time.sleep(1.5)
        player = subprocess.Popen(["paplay", "-d", a_mic, spoken])
        stalled = resumed = None
        if args.stall:
            time.sleep(1.5)
            stalled = time.monotonic()
            if relay:
                relay.flowing.clear()
            else:
                os.kill(a.proc.pid, signal.SIGSTOP)
            time.sleep(args.stall)
            if relay:
                relay.flowing.set()
            else:
                os.kill(a.proc.pid, signal.SIGCONT)
            resumed = time.monotonic()
        player.wait(timeout=120)
        time.sleep(2.0)
        mouth.stop()
        ear.stop()
        figures = compare(args, work, mouth, ear)
        if "lag_samples" not in figures:
            print(f"speech session {session + 1}: {figures.get('error', 'no comparison')}")
            return {}
        lag = int(figures["lag_samples"])
        delay = (ear.offset - mouth.offset + lag / RATE) * 1000
        print(f"speech session {session + 1}: correlation {float(figures['correlation']):.3f}, "
              f"voiced windows below 0.9: {figures['windows_below_0.9']} of {figures['voiced_windows']}, "
              f"worst window {figures['worst_window']}, slips {figures['slips']}, gaps {figures['gaps']}, "
              f"mouth-to-ear {delay:.0f} ms")
        if args.keep:
            start = mouth.offset + int(figures["speech_start_samples"]) / RATE
            print(f"  the speech starts at {start * 1000:.0f} ms of the monotonic clock (mouth), "
                  f"times above count from there")
        result = {"mouth_to_ear_ms": delay}
        if resumed is not None:
            result["stall_delays"] = stall_delays(args, work, mouth, ear, stalled, resumed, args.stall)
            if result["stall_delays"]:
                print("  from the stall on: delays %s ms" % " ".join("%.0f" % d for d in result["stall_delays"]))
        return result
    finally:
        a.quit()
        if b:
            b.quit()
        for keeper in keepers:
            keeper.terminate()
            keeper.wait()
        if relay:
            relay.close()


def cpu_ticks(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime + stime


def measure_cpu(args, work, sinks):
    speech = os.path.join(work, "speech.wav")
    subprocess.run(["espeak-ng", "-v", "en", "-s", "150", "-w", speech,
                    "Every peer talks at once in this measurement, and keeps talking for a while. " * 3], check=True)
    names = ["A", "B", "C", "D"]
    instances, talkers = [], []
    try:
        for i, name in enumerate(names):
            mic = sinks.load(f"mvxc{os.getpid()}_{name.lower()}mic")
            out = sinks.load(f"mvxc{os.getpid()}_{name.lower()}out")
            instances.append(Instance(args.binary, os.path.join(work, name), args.port + 10 + i, name,
                                      source_description(mic + ".monitor"), out))
            talkers.append(mic)
        for inst in instances:
            inst.wait("event ready")
        for n, inst in enumerate(instances[1:], start=2):
            # One at a time: the approval dialogs of callers that overlap would nest.
            inst.send(f"connect 127.0.0.1:{args.port + 10} - -")
            instances[0].approve_next()
            wait_until(lambda: instances[0].users() >= n, 60, f"join {n}")
        try:
            wait_until(lambda: instances[0].users() >= 4, 90, "three joins")
        except RuntimeError:
            for inst in instances:
                inst.send("state")
                print(inst.profile, inst.wait("ok view="), file=sys.stderr)
                print("\n".join(l for l in inst.log().splitlines() if "Connect" in l or "messagebox" in l or "ERROR" in l)[-2000:], file=sys.stderr)
            raise
        # The speech over and over, long enough for the whole measurement.
        import wave
        with wave.open(speech, "rb") as w:
            params, frames = w.getparams(), w.readframes(w.getnframes())
        repeats = int((args.seconds + 10) * params.framerate / max(1, params.nframes)) + 1
        long_speech = os.path.join(work, "long-speech.wav")
        with wave.open(long_speech, "wb") as w:
            w.setparams(params)
            w.writeframes(frames * repeats)
        loops = [subprocess.Popen(["paplay", "-d", mic, long_speech]) for mic in talkers]
        time.sleep(3)
        hz = os.sysconf("SC_CLK_TCK")
        pids = [inst.proc.pid for inst in instances]
        server = int(os.environ.get("MORVIKA_PULSE_PID", "0"))
        watched = pids + ([server] if server else [])
        start = {pid: cpu_ticks(pid) for pid in watched}
        t0 = time.monotonic()
        time.sleep(args.seconds)
        elapsed = time.monotonic() - t0
        used = {pid: (cpu_ticks(pid) - start[pid]) / hz for pid in watched}
        for loop in loops:
            loop.terminate()
            loop.wait()
        total = 0.0
        for name, pid in zip(names, pids):
            share = 100 * used[pid] / elapsed
            total += share
            print(f"cpu: instance {name} {share:.1f} % of one core")
        print(f"cpu: four instances together {total:.1f} % of one core over {elapsed:.0f} s")
        if server:
            print(f"cpu: sound server {100 * used[server] / elapsed:.1f} % of one core")
        print(f"cpu: voice messages played on A: {instances[0].log().count('音声を開始しました')} talk spurt starts")
    finally:
        for inst in instances:
            inst.quit()


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True, help="the morvika program")
    parser.add_argument("--port", type=int, default=27800)
    parser.add_argument("--bursts", type=int, default=20, help="bursts per latency session")
    parser.add_argument("--sessions", type=int, default=6, help="latency sessions")
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--compare", help="the voice_compare program (default: next to the binary's build)")
    parser.add_argument("--busy", type=int, default=0, help="busy processes alongside (speech, latency)")
    parser.add_argument("--alone", action="store_true", help="speech: A alone, its own loopback")
    parser.add_argument("--stall", type=float, default=0, help="speech: stall the link this many seconds mid-speech")
    parser.add_argument("--stall-sender", action="store_true", help="--stall stops A's process instead of the link")
    parser.add_argument("--bare", action="store_true",
                        help="speech: three sinks and no silence played into them, callers let in without asking")
    parser.add_argument("--plain", action="store_true", help="speech: echo cancellation and noise suppression off")
    parser.add_argument("--join-at-start", action="store_true", help="speech: B joins with --connect at its start")
    parser.add_argument("--keep", action="store_true", help="keep the recordings and profiles (path printed)")
    parser.add_argument("what", nargs="*", default=["latency", "cpu"])
    args = parser.parse_args()
    if not os.environ.get("PULSE_SERVER") and shutil.which("pactl") is None:
        sys.exit("measure-voice: no sound server")
    work = tempfile.mkdtemp(prefix="morvika-voice-bench-")
    sinks = Sinks()
    try:
        if "latency" in args.what:
            measure_latency(args, work, sinks)
        if "speech" in args.what:
            if not args.compare:
                args.compare = os.path.join(os.path.dirname(os.path.dirname(args.binary)), "bench", "voice",
                                            "voice_compare")
            measure_speech(args, work)
        if "cpu" in args.what:
            measure_cpu(args, work, sinks)
    finally:
        sinks.close()
        if args.keep:
            print(f"kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
