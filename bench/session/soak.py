#!/usr/bin/env python3
"""A long session with churn: a host and three members, all talking and sending the test
picture, for --minutes. The first member leaves and rejoins every --rejoin seconds; the second
is killed (SIGKILL) and started again every --kill seconds, and rejoins; the third stays.

Reports the host's RSS, open descriptors (by kind: a growing kind names the leak) and threads when all have joined, every --every
minutes and at the end; whether every rejoin succeeded; whether a process ended on its own; and
every error line of the logs (the program's "ERROR" lines and its standard error), each text
once with its count.

  bench/session/soak.py --binary build/release/app/morvika [--minutes 30]

Without PULSE_SERVER it starts a private PulseAudio daemon (tools/test-services.sh, with shared
memory) for its run.
"""
import argparse
import collections
import importlib.util
import os
import re
import shutil
import signal
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def _load_scale_bench():
    spec = importlib.util.spec_from_file_location("measure_scale", os.path.join(HERE, "measure-scale.py"))
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


ms = _load_scale_bench()
mv = ms.mv
ERROR_LINE = re.compile(r"^\d+ms (ERROR .*)$")
STDERR_ERROR = re.compile(r"error|critical|fail|assert|abort", re.IGNORECASE)


class Errors:
    """Every error line of every instance's logs, gathered before a restart empties them."""

    def __init__(self):
        self.counts = collections.Counter()

    def gather(self, inst):
        try:
            for line in inst.log().splitlines():
                m = ERROR_LINE.match(line.strip())
                if m:
                    self.counts[(inst.name, "log", m.group(1).strip())] += 1
        except OSError:
            pass
        try:
            with open(os.path.join(inst.profile, "stderr.txt"), encoding="utf-8", errors="replace") as f:
                for line in f:
                    if STDERR_ERROR.search(line):
                        self.counts[(inst.name, "stderr", line.strip())] += 1
        except OSError:
            pass

    def report(self):
        if not self.counts:
            print("error lines: none")
            return
        print(f"error lines ({sum(self.counts.values())} in all, each text once):")
        for (name, where, text), count in sorted(self.counts.items()):
            print(f"  {name} {where} x{count}: {text}")


def _socket_states():
    """inode -> kind and state of every socket the kernel lists (TCP, UDP, unix)."""
    states = {}
    tcp = {"01": "established", "02": "syn-sent", "06": "time-wait", "07": "close", "08": "close-wait",
           "0A": "listen", "0B": "closing", "04": "fin-wait1", "05": "fin-wait2", "09": "last-ack"}
    for table in ("tcp", "tcp6", "udp", "udp6"):
        try:
            with open(f"/proc/net/{table}") as f:
                next(f)
                for line in f:
                    cols = line.split()
                    kind = table.rstrip("6")
                    states[cols[9]] = f"{kind} {tcp.get(cols[3], cols[3]) if kind == 'tcp' else ''}".strip()
        except OSError:
            pass
    for table, column in (("unix", 6), ("netlink", -1), ("raw", 9), ("raw6", 9), ("packet", 8)):
        try:
            with open(f"/proc/net/{table}") as f:
                next(f)
                for line in f:
                    cols = line.split()
                    if len(cols) > abs(column):
                        states[cols[column]] = table.rstrip("6")
        except OSError:
            pass
    return states


def descriptor_kinds(pid):
    """How many of the process's descriptors are of each kind: files by folder, sockets by
    protocol and state ("socket gone" for one no table lists: a closed TCP socket still open
    here), pipes, event and timer descriptors."""
    states = _socket_states()
    kinds = collections.Counter()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        try:
            target = os.readlink(f"/proc/{pid}/fd/{fd}")
        except OSError:
            continue
        m = re.match(r"socket:\[(\d+)\]", target)
        if m:
            kinds["socket " + states.get(m.group(1), "gone")] += 1
        elif target.startswith("/"):
            kinds[os.path.dirname(target)] += 1
        else:
            kinds[re.sub(r"[:\[].*", "", target)] += 1
    return kinds


def host_figures(host, started):
    s = ms.proc_status(host.proc.pid)
    kinds = ", ".join(f"{k} {v}" for k, v in sorted(descriptor_kinds(host.proc.pid).items()))
    return (f"{(time.monotonic() - started) / 60:5.1f} min: host RSS {s['rss_mb']:.1f} MB (peak {s['hwm_mb']:.1f}), "
            f"{s['fds']} descriptors ({kinds}), {s['threads']} threads")


def wait_users(host, count, timeout=30):
    mv.wait_until(lambda: int(ms.state(host)["users"]) == count, timeout, f"{count} users at the host")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--binary", required=True, help="the morvika program")
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--every", type=float, default=5, help="minutes between the host's figures")
    parser.add_argument("--rejoin", type=float, default=30, help="seconds between the first member's rejoins")
    parser.add_argument("--kill", type=float, default=120, help="seconds between the second member's kills")
    parser.add_argument("--port", type=int, default=28200, help="the host's port; the members take the next three")
    parser.add_argument("--keep", action="store_true", help="keep the profiles (path printed)")
    args = parser.parse_args()
    ms.with_sound_server()
    args.binary = os.path.abspath(args.binary)
    work = tempfile.mkdtemp(prefix="morvika-soak-")
    ms.instance_environment(args.binary, work)
    room = ms.Room(f"mvsk{os.getpid()}")
    errors = Errors()
    instances = {}
    rejoins = {"leave": [0, 0], "kill": [0, 0]}  # attempts, successes
    died = []
    try:
        host = instances["host"] = ms.start_instance(args, work, "host", args.port, room, "", accept=True)
        host.wait("event ready")
        for i, name in enumerate(("leaver", "killed", "stayer"), start=1):
            instances[name] = ms.start_instance(args, work, name, args.port + i, room, "")
            instances[name].wait("event ready")
        room.talk(ms.looped_speech(work, args.minutes * 60 + 120, "Three friends and a host talk for half an "
                                   "hour while one comes and goes and another crashes now and then. " * 2))
        for n, name in enumerate(("leaver", "killed", "stayer"), start=2):
            ms.join(host, instances[name], n)
        started = time.monotonic()
        end = started + args.minutes * 60
        print(host_figures(host, started), flush=True)
        next_report = started + args.every * 60
        next_rejoin = started + args.rejoin
        next_kill = started + args.kill
        while time.monotonic() < end:
            now = time.monotonic()
            for name, inst in instances.items():
                if inst.proc.poll() is not None:
                    died.append(f"{name} ended on its own ({inst.proc.returncode}) at "
                                f"{(now - started) / 60:.1f} min")
                    raise RuntimeError(died[-1])
            if now >= next_report:
                print(host_figures(host, started), flush=True)
                next_report += args.every * 60
            if now >= next_rejoin:
                next_rejoin += args.rejoin
                rejoins["leave"][0] += 1
                leaver = instances["leaver"]
                try:
                    leaver.send("leave")
                    leaver.wait("ok")
                    wait_users(host, 3)
                    time.sleep(1.0)
                    ms.join(host, leaver, 4, timeout=30)
                    rejoins["leave"][1] += 1
                except RuntimeError as e:
                    print(f"{(now - started) / 60:.1f} min: rejoin after leaving failed: {e}", flush=True)
            if now >= next_kill:
                next_kill += args.kill
                rejoins["kill"][0] += 1
                killed = instances["killed"]
                errors.gather(killed)
                os.kill(killed.proc.pid, signal.SIGKILL)
                killed.proc.wait()
                try:
                    wait_users(host, 3)
                    again = instances["killed"] = ms.start_instance(args, work, "killed", args.port + 2, room, "")
                    again.wait("event ready")
                    ms.join(host, again, 4, timeout=30)
                    rejoins["kill"][1] += 1
                except RuntimeError as e:
                    print(f"{(now - started) / 60:.1f} min: rejoin after the kill failed: {e}", flush=True)
            time.sleep(0.2)
        print(host_figures(host, started), flush=True)
        host.send("camera")
        print(f"host's camera at the end: {host.wait('ok state=')}")
    finally:
        for inst in instances.values():
            errors.gather(inst)
            inst.quit()
        room.close()
        print(f"rejoins after leaving: {rejoins['leave'][1]} of {rejoins['leave'][0]} succeeded; "
              f"after kill -9: {rejoins['kill'][1]} of {rejoins['kill'][0]}")
        print("processes that ended on their own: " + ("; ".join(died) if died else "none"))
        errors.report()
        if args.keep:
            print(f"kept: {work}")
        else:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
