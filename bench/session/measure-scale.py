#!/usr/bin/env python3
"""What a session costs as it grows: a host and 1 to 15 members as whole instances on this
machine, every one talking (speech in a loop into its microphone) and sending the test picture
at the default 4 per second, joined one after another.

For each N (host included) it reports, over --seconds after the last join: the CPU (per cent of
one core, utime + stime from /proc) and peak RSS (VmHWM) of the host and of the median and worst
member, the sound server's CPU, the bytes per second the host sends and receives on its session
connections (the sockets' own counters), and how long the Nth member's join took. Then the other
talkers stop (the pictures go on) and one member's speech is judged, --voice-runs times, as
another member hears it (two hops through the host; with N = 2 the host's speech at the member):
correlation after one global alignment, slips and gaps, mouth-to-ear.

  bench/session/measure-scale.py --binary build/release/app/morvika [--n 2,4,8,16] [--seconds 30]

Without PULSE_SERVER it starts a private PulseAudio daemon (tools/test-services.sh, with shared
memory) for its run.
Run it in a network namespace of its own when other instances may use the ports.
"""
import argparse
import importlib.util
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import wave

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def _load_voice_bench():
    spec = importlib.util.spec_from_file_location("measure_voice", os.path.join(ROOT, "bench", "voice",
                                                                                "measure-voice.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


mv = _load_voice_bench()
RATE = mv.RATE
HZ = os.sysconf("SC_CLK_TCK")
JOINED = "ログイン完了"


def with_sound_server():
    """Runs this script again under a private sound server when none is given."""
    if os.environ.get("PULSE_SERVER"):
        return
    # With shared memory, as a desktop's sound server has it: without, every stream's sound is
    # copied through the server's socket, which costs each instance and the server more.
    script = ('cd "$1"; shift; export MORVIKA_PULSE_SHM=yes; source tools/test-services.sh; '
              'start_test_services >&2 || exit 1; '
              'trap stop_test_services EXIT; python3 "$@"; rc=$?; exit $rc')
    os.execvp("bash", ["bash", "-c", script, "bash", ROOT, os.path.abspath(sys.argv[0]), *sys.argv[1:]])


def instance_environment(binary, work):
    """The frame dump element from the binary's build, one plug-in registry for every instance,
    and no system bus (no announcements on the machine's own LAN)."""
    filters = os.path.join(os.path.dirname(os.path.dirname(binary)), "filter")
    os.environ["GST_PLUGIN_PATH_1_0"] = filters
    os.environ["GST_REGISTRY_1_0"] = os.path.join(work, "registry.bin")
    os.environ["GST_REGISTRY_FORK"] = "no"
    os.environ["DBUS_SYSTEM_BUS_ADDRESS"] = "unix:path=" + os.path.join(work, "no-system-bus")
    # The registry is built here, so that the first instance's peak RSS is not the scan's.
    subprocess.run(["gst-inspect-1.0", "oskeljpegdump"], capture_output=True)


def proc_status(pid):
    """VmHWM and VmRSS in MB, threads and open descriptors of a process."""
    fields = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            fields[key] = value.split()
    return {"hwm_mb": int(fields["VmHWM"][0]) / 1024, "rss_mb": int(fields["VmRSS"][0]) / 1024,
            "threads": int(fields["Threads"][0]), "fds": len(os.listdir(f"/proc/{pid}/fd"))}


def socket_bytes(port):
    """Bytes sent and received on the established TCP connections with local port `port`."""
    out = subprocess.run(["ss", "-tinH", "state", "established", f"( sport = :{port} )"],
                         capture_output=True, text=True).stdout
    sent = sum(int(v) for v in re.findall(r"\bbytes_sent:(\d+)", out))
    received = sum(int(v) for v in re.findall(r"\bbytes_received:(\d+)", out))
    return sent, received


def looped_speech(work, seconds, text):
    """A wave file of espeak-ng speech repeated to last `seconds`."""
    once = os.path.join(work, "speech-once.wav")
    subprocess.run(["espeak-ng", "-v", "en", "-s", "150", "-w", once, text], check=True)
    with wave.open(once, "rb") as w:
        params, frames = w.getparams(), w.readframes(w.getnframes())
    repeats = int(seconds * params.framerate / max(1, params.nframes)) + 1
    path = os.path.join(work, "speech-loop.wav")
    with wave.open(path, "wb") as w:
        w.setparams(params)
        w.writeframes(frames * repeats)
    return path


class Room:
    """The sinks of a session bench: one shared microphone and one shared speaker for most
    instances, and a microphone and a speaker of their own for the talker and the listener whose
    voice is judged. Silence is played into every sink from the start (an idle null sink renders
    ahead when a stream starts, and a recording from its monitor gets nothing for a while)."""

    def __init__(self, tag):
        self.sinks = mv.Sinks()
        self.mic, self.out, self.talker_mic, self.listener_out = (
            self.sinks.load(f"{tag}_{p}") for p in ("mic", "out", "tmic", "lout"))
        self.keepers = [subprocess.Popen(["pacat", "--playback", "-d", sink, f"--rate={RATE}", "--channels=1",
                                          "--format=s16le", "--raw", "/dev/zero"])
                        for sink in (self.mic, self.out, self.talker_mic, self.listener_out)]
        self.loops = []
        time.sleep(1.0)

    def devices(self, role):
        """(capture description, sound sink) for "talker", "listener" or anyone else."""
        mic = self.talker_mic if role == "talker" else self.mic
        out = self.listener_out if role == "listener" else self.out
        return mv.source_description(mic + ".monitor"), out

    def talk(self, speech):
        self.loops = [subprocess.Popen(["paplay", "-d", sink, speech]) for sink in (self.mic, self.talker_mic)]

    def hush(self):
        for loop in self.loops:
            loop.terminate()
            loop.wait()
        self.loops = []

    def close(self):
        self.hush()
        for keeper in self.keepers:
            keeper.terminate()
            keeper.wait()
        self.sinks.close()


def start_instance(args, work, name, port, room, role, accept=False):
    capture, sound = room.devices(role)
    inst = mv.Instance(args.binary, os.path.join(work, name), port, name, capture, sound, accept=accept,
                       camera="videotestsrc")
    inst.name, inst.port = name, port
    return inst


def joined_count(inst):
    return inst.log().count(JOINED)


def state(inst):
    inst.send("state")
    line = inst.wait("ok view=")
    return dict(kv.split("=", 1) for kv in line[3:].split() if "=" in kv)


def join(host, member, n, timeout=60):
    """Joins member to host's session; seconds until the member is logged in and both it and
    the host hold all n users."""
    before = joined_count(member)
    t0 = time.monotonic()
    member.send(f"connect 127.0.0.1:{host.port} - -")
    member.wait("ok")
    mv.wait_until(lambda: joined_count(member) > before, timeout, f"{member.name}'s login")
    mv.wait_until(lambda: int(state(member)["windows"]) >= n and int(state(host)["users"]) >= n, timeout,
                  f"{n} users at {member.name} and the host")
    return time.monotonic() - t0


def judge_voice(args, work, room, talker, listener):
    """The talker's speech as the listener plays it, from the recordings of the talker's
    microphone and the listener's speaker."""
    speech = os.path.join(work, "judged.wav")
    subprocess.run(["espeak-ng", "-v", "en", "-s", "150", "-w", speech, mv.SPEECH], check=True)
    mouth = mv.TimedRecorder(room.talker_mic + ".monitor")
    ear = mv.TimedRecorder(room.listener_out + ".monitor")
    time.sleep(1.5)
    subprocess.run(["paplay", "-d", room.talker_mic, speech], check=True, timeout=120)
    time.sleep(2.0)
    mouth.stop()
    ear.stop()
    figures = mv.compare(args, work, mouth, ear)
    if "lag_samples" not in figures:
        return {"error": figures.get("error", "no comparison")}
    return {"correlation": float(figures["correlation"]), "slips": int(figures["slips"]),
            "gaps": int(figures["gaps"]), "below": f"{figures['windows_below_0.9']}/{figures['voiced_windows']}",
            "mouth_to_ear_ms": (ear.offset - mouth.offset + int(figures["lag_samples"]) / RATE) * 1000}


def run(args, n, port):
    work = tempfile.mkdtemp(prefix=f"morvika-scale-{n}-")
    room = Room(f"mvsc{os.getpid()}n{n}")
    instances = []
    try:
        # With N = 2 the host talks to its one member; else the first member talks to the second.
        roles = ["talker" if n == 2 else "", "listener" if n == 2 else "talker"] + ["listener"] + [""] * (n - 3)
        host = start_instance(args, work, "host", port, room, roles[0], accept=True)
        instances.append(host)
        host.wait("event ready")
        for i in range(1, n):
            instances.append(start_instance(args, work, f"m{i:02d}", port + i, room, roles[i]))
        for inst in instances[1:]:
            inst.wait("event ready")
        room.talk(looped_speech(work, 120 + 10 * n + args.seconds, "Every member talks at once in this "
                                "session, and keeps talking for a while. " * 3))
        joins = [join(host, member, i + 1) for i, member in enumerate(instances[1:], start=1)]
        server = int(os.environ.get("MORVIKA_PULSE_PID", "0"))
        watched = [inst.proc.pid for inst in instances] + ([server] if server else [])
        ticks = {pid: mv.cpu_ticks(pid) for pid in watched}
        sent, received = socket_bytes(port)
        t0 = time.monotonic()
        time.sleep(args.seconds)
        elapsed = time.monotonic() - t0
        cpu = {pid: 100 * (mv.cpu_ticks(pid) - ticks[pid]) / HZ / elapsed for pid in watched}
        sent2, received2 = socket_bytes(port)
        stats = {inst.proc.pid: proc_status(inst.proc.pid) for inst in instances}
        for inst in instances:
            if inst.proc.poll() is not None:
                raise RuntimeError(f"{inst.name} ended on its own ({inst.proc.returncode})")
        room.hush()
        time.sleep(2.0)
        talker, listener = (instances[0], instances[1]) if n == 2 else (instances[1], instances[2])
        voices = []
        for _ in range(args.voice_runs):
            try:
                voices.append(judge_voice(args, work, room, talker, listener))
            except (subprocess.SubprocessError, RuntimeError) as e:
                # Under the load of sixteen the sound server itself may be ended (its real-time
                # budget): the other figures stand.
                alive = not server or os.path.exists(f"/proc/{server}")
                voices.append({"error": f"not judged ({e.__class__.__name__}"
                                        f"{'' if alive else ', the sound server ended'})"})
        judged = [v for v in voices if "error" not in v]
        voice = min(judged, key=lambda v: v["correlation"]) if judged else voices[0]
        members = instances[1:]
        member_cpu = sorted(cpu[m.proc.pid] for m in members)
        member_hwm = sorted(stats[m.proc.pid]["hwm_mb"] for m in members)
        errors = sum(line.count("ERROR ") for line in (inst.log() for inst in instances))
        return {"n": n, "host_cpu": cpu[host.proc.pid], "host_mb": stats[host.proc.pid]["hwm_mb"],
                "member_cpu_median": statistics.median(member_cpu), "member_cpu_worst": member_cpu[-1],
                "member_mb_median": statistics.median(member_hwm), "member_mb_worst": member_hwm[-1],
                "server_cpu": cpu.get(server, float("nan")),
                "send_bps": (sent2 - sent) / elapsed, "recv_bps": (received2 - received) / elapsed,
                "last_join_s": joins[-1], "joins": joins, "voice": voice, "errors": errors, "work": work,
                "hops": 1 if n == 2 else 2, "voices": voices}
    finally:
        for inst in instances:
            inst.quit()
        room.close()
        if not args.keep:
            shutil.rmtree(work, ignore_errors=True)


def print_result(r):
    v = r["voice"]
    voice = (f"corr {v['correlation']:.3f}, slips {v['slips']}, gaps {v['gaps']}, windows below 0.9 {v['below']}, "
             f"mouth-to-ear {v['mouth_to_ear_ms']:.0f} ms ({r['hops']} hop{'s' if r['hops'] > 1 else ''})"
             if "error" not in v else f"voice: {v['error']}")
    if len(r["voices"]) > 1:
        voice += " (the worst of: " + ", ".join(
            f"{x['correlation']:.3f} {x['slips']}/{x['gaps']} {x['mouth_to_ear_ms']:.0f} ms" if "error" not in x
            else x["error"] for x in r["voices"]) + ")"
    print(f"N={r['n']}: host {r['host_cpu']:.1f} % {r['host_mb']:.0f} MB; members median {r['member_cpu_median']:.1f} % "
          f"{r['member_mb_median']:.0f} MB, worst {r['member_cpu_worst']:.1f} % {r['member_mb_worst']:.0f} MB; "
          f"sound server {r['server_cpu']:.1f} %; host sends {r['send_bps'] / 1000:.1f} kB/s "
          f"({r['send_bps'] * 8 / 1e6:.2f} Mbit/s), receives {r['recv_bps'] / 1000:.1f} kB/s; "
          f"join {r['n']} took {r['last_join_s']:.2f} s (all: {' '.join('%.2f' % j for j in r['joins'])}); "
          f"{voice}; ERROR lines in the logs: {r['errors']}", flush=True)


def print_table(results):
    print("\n| N | host CPU % | host MB | member CPU % median / worst | member MB median / worst | "
          "sound server CPU % | host sends kB/s (Mbit/s) | host receives kB/s | Nth join s | "
          "voice corr | slips / gaps | mouth-to-ear ms |")
    print("|---|---|---|---|---|---|---|---|---|---|---|---|")
    for r in results:
        v = r["voice"]
        vc = (f"{v['correlation']:.3f} | {v['slips']} / {v['gaps']} | {v['mouth_to_ear_ms']:.0f}"
              if "error" not in v else "- | - | -")
        print(f"| {r['n']} | {r['host_cpu']:.1f} | {r['host_mb']:.0f} | {r['member_cpu_median']:.1f} / "
              f"{r['member_cpu_worst']:.1f} | {r['member_mb_median']:.0f} / {r['member_mb_worst']:.0f} | "
              f"{r['server_cpu']:.1f} | {r['send_bps'] / 1000:.0f} ({r['send_bps'] * 8 / 1e6:.2f}) | "
              f"{r['recv_bps'] / 1000:.0f} | {r['last_join_s']:.2f} | {vc} |")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True, help="the morvika program")
    parser.add_argument("--compare", help="the voice_compare program (default: next to the binary's build)")
    parser.add_argument("--n", default="2,4,8,16", help="session sizes, host included (2 to 16)")
    parser.add_argument("--seconds", type=float, default=30, help="the measured stretch after the last join")
    parser.add_argument("--port", type=int, default=28150, help="first port; each size takes the next N")
    parser.add_argument("--voice-runs", type=int, default=2, help="speeches judged per size (the worst is shown)")
    parser.add_argument("--keep", action="store_true", help="keep the profiles and recordings (paths printed)")
    args = parser.parse_args()
    with_sound_server()
    args.binary = os.path.abspath(args.binary)
    if not args.compare:
        args.compare = os.path.join(os.path.dirname(os.path.dirname(args.binary)), "bench", "voice", "voice_compare")
    registry = tempfile.mkdtemp(prefix="morvika-scale-gst-")
    instance_environment(args.binary, registry)
    sizes = [int(s) for s in args.n.split(",")]
    if any(not 2 <= s <= 16 for s in sizes):
        sys.exit("measure-scale: sizes from 2 to 16")
    results, port = [], args.port
    for n in sizes:
        r = run(args, n, port)
        print_result(r)
        if args.keep:
            print(f"  kept: {r['work']}")
        results.append(r)
        port += n
    print_table(results)
    shutil.rmtree(registry, ignore_errors=True)


if __name__ == "__main__":
    main()
