#!/usr/bin/env python3
"""Starts sysaudio against a private sound server many times and ends each run with
SIGINT or SIGTERM after a random delay (0-200 ms, or up to --max-delay-ms), start-up included.

    scripts/signal-storm.py [--binary build/sysaudio] [--server pulseaudio|pipewire]
                            [--runs 200] [--max-delay-ms 200] [--rng-seed N]
                            [--baseline OTHER_BINARY]

A run whose signal came once the handlers were installed (SigCgt in /proc/PID/status, read
just before signalling) must end with status 0; one signalled earlier meets the default
disposition and is counted apart. No run may crash, dump core or hang. Also reports how soon
after launch the handlers are in place (target: within 2 ms, median); with --baseline, the
launches alternate between the two binaries, so that load from elsewhere hits both alike. Exit status 1 on any fault."""

import argparse
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

from soundservers import SERVERS  # noqa: E402

HANGS_AFTER = 10.0  # seconds a signalled run may take to end
CAUGHT = (signal.SIGINT, signal.SIGTERM)


def caught_signals(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("SigCgt:"):
                    mask = int(line.split()[1], 16)
                    return all(mask & (1 << (s - 1)) for s in CAUGHT)
    except (FileNotFoundError, ProcessLookupError):
        pass
    return False


def wait_status(pid, timeout):
    """The raw wait status, or None when the process has not ended within `timeout`."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return status
        time.sleep(0.002)
    return None


def launch(binary, env, workdir):
    return subprocess.Popen([binary], env=env, cwd=workdir, stdin=subprocess.DEVNULL,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def handler_latency_ms(binary, env, workdir):
    """Launch to handlers in place, polled as fast as Python can."""
    started = time.monotonic()
    program = launch(binary, env, workdir)
    while not caught_signals(program.pid):
        if time.monotonic() - started > 5:
            break
    latency = 1000 * (time.monotonic() - started)
    program.send_signal(signal.SIGTERM)
    wait_status(program.pid, HANGS_AFTER)
    return latency


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--binary", default=os.path.join(REPO, "build", "sysaudio"))
    parser.add_argument("--server", default="pulseaudio", choices=sorted(SERVERS))
    parser.add_argument("--max-delay-ms", type=float, default=200.0)
    parser.add_argument("--runs", type=int, default=200)
    parser.add_argument("--latency-runs", type=int, default=50)
    parser.add_argument("--rng-seed", type=int, default=None)
    parser.add_argument("--baseline", help="another build whose handler latency to compare")
    args = parser.parse_args()
    args.binary = os.path.abspath(args.binary)
    measured = [args.binary] + ([os.path.abspath(args.baseline)] if args.baseline else [])
    rng = random.Random(args.rng_seed)

    server = SERVERS[args.server]()
    workdir = tempfile.mkdtemp(prefix="sysaudio-storm-")
    faults = []
    counts = {"runs": 0, "late": 0, "late_zero": 0, "early": 0, "early_zero": 0,
              "early_by_signal": 0}
    try:
        server.start(sinks=("speakers",))
        server.keep_awake("speakers")
        env = server.env()
        for run in range(args.runs):
            signum = rng.choice(CAUGHT)
            delay = rng.uniform(0.0, args.max_delay_ms / 1000)
            program = launch(args.binary, env, workdir)
            time.sleep(delay)
            handlers_in = caught_signals(program.pid)
            program.send_signal(signum)
            status = wait_status(program.pid, HANGS_AFTER)
            counts["runs"] += 1
            if status is None:
                faults.append(f"run {run}: hung after {signum.name} at {delay * 1000:.0f} ms")
                program.kill()
                program.wait()
                continue
            program.returncode = 0  # reaped above; keeps Popen from waiting again
            exited = os.WIFEXITED(status)
            code = os.WEXITSTATUS(status) if exited else None
            by = os.WTERMSIG(status) if os.WIFSIGNALED(status) else None
            if os.WIFSIGNALED(status) and os.WCOREDUMP(status):
                faults.append(f"run {run}: core dumped ({signal.Signals(by).name})")
            if handlers_in:
                counts["late"] += 1
                if exited and code == 0:
                    counts["late_zero"] += 1
                else:
                    faults.append(f"run {run}: {signum.name} at {delay * 1000:.0f} ms with "
                                  f"handlers in ended with status {code}, signal {by}")
            else:
                counts["early"] += 1
                if exited and code == 0:
                    counts["early_zero"] += 1  # the handlers came in just after the read
                elif by == signum:
                    counts["early_by_signal"] += 1
                else:
                    faults.append(f"run {run}: early {signum.name} ended with status {code}, "
                                  f"signal {by}")
        cores = [name for name in os.listdir(workdir) if name.startswith("core")]
        if cores:
            faults.append(f"core files left: {cores}")
        latencies = {binary: [] for binary in measured}
        for _ in range(args.latency_runs):
            for binary in measured:
                latencies[binary].append(handler_latency_ms(binary, env, workdir))
    finally:
        server.stop()
        for name in os.listdir(workdir):
            os.unlink(os.path.join(workdir, name))
        os.rmdir(workdir)

    print(f"runs: {counts['runs']}")
    print(f"  signalled with handlers in: {counts['late']}, ended with 0: {counts['late_zero']}")
    print(f"  signalled before the handlers: {counts['early']} "
          f"(default disposition: {counts['early_by_signal']}, "
          f"handlers in just after the read, status 0: {counts['early_zero']})")
    for binary, times in latencies.items():
        print(f"handler install after launch over {len(times)} launches of {binary}: "
              f"median {statistics.median(times):.1f} ms, max {max(times):.1f} ms "
              "(target: median within 2 ms)")
    for fault in faults:
        print(f"FAULT: {fault}")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
