#!/usr/bin/env python3
"""Measures sysaudio against a private sound server: the delay from a click played to its
bytes on standard output, CPU use while capturing, and resident memory.

    scripts/measure.py [--server pulseaudio|pipewire] [--binary build/sysaudio] [--seconds 20]

The click delay includes the player's own buffering (pacat at 10 ms) and the server's mixing,
so it is an upper bound on what sysaudio adds."""

import argparse
import os
import statistics
import subprocess
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))

from soundservers import SERVERS, spawn  # noqa: E402
from sysaudio_process import Sysaudio  # noqa: E402

RATE = 48000
OUT_RATE = 16000


class ClickWatcher:
    """Notes when loud samples first appear on the program's output after each arming."""

    def __init__(self, program):
        self.program = program
        self.seen_bytes = 0
        self.event = threading.Event()
        self.arrival = None

    def watch(self, armed_at, timeout=3.0):
        self.seen_bytes = len(self.program.stdout())
        deadline = armed_at + timeout
        while time.monotonic() < deadline:
            data = self.program.stdout()
            fresh = data[self.seen_bytes - self.seen_bytes % 2:]
            for at in range(0, len(fresh) - 1, 2):
                if abs(int.from_bytes(fresh[at:at + 2], "little", signed=True)) > 8000:
                    return time.monotonic()
            self.seen_bytes = len(data)
            time.sleep(0.0005)
        return None


def click_delays(server, program, clicks):
    player = spawn(["pacat", "--playback", "--format=s16le", f"--rate={RATE}", "--channels=2",
                    "--latency-msec=10", "--device=speakers", "--stream-name=clicks"],
                   server.env(), stdin=subprocess.PIPE)
    time.sleep(1.0)
    # Longer than the player's prebuffer, so that it starts playing at once.
    burst = b"\xff\x7f\xff\x7f" * (RATE // 25)  # 40 ms at full scale
    watcher = ClickWatcher(program)
    delays = []
    for _ in range(clicks):
        program_bytes = len(program.stdout())
        watcher.seen_bytes = program_bytes
        sent = time.monotonic()
        player.stdin.write(burst)
        player.stdin.flush()
        arrived = watcher.watch(sent)
        if arrived is not None:
            delays.append(1000 * (arrived - sent))
        time.sleep(0.4)
    player.stdin.close()
    player.wait(timeout=10)
    return delays


def resident_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", default="pulseaudio", choices=sorted(SERVERS))
    parser.add_argument("--binary", default=os.path.join(REPO, "build", "sysaudio"))
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--clicks", type=int, default=15)
    args = parser.parse_args()

    server = SERVERS[args.server]()
    try:
        server.start(sinks=("speakers",))
        server.keep_awake("speakers")
        program = Sysaudio(os.path.abspath(args.binary), server.env())
        program.wait_for_output()

        delays = click_delays(server, program, args.clicks)
        if delays:
            print(f"click to stdout: median {statistics.median(delays):.1f} ms, "
                  f"min {min(delays):.1f} ms, max {max(delays):.1f} ms "
                  f"({len(delays)}/{args.clicks} clicks seen)")

        before_cpu, before = program.cpu_seconds(), time.monotonic()
        start_bytes = len(program.stdout())
        time.sleep(args.seconds)
        cpu, wall = program.cpu_seconds() - before_cpu, time.monotonic() - before
        produced = (len(program.stdout()) - start_bytes) / (2 * OUT_RATE)
        print(f"CPU while capturing: {100 * cpu / wall:.2f} % of one core over {wall:.1f} s "
              f"({produced:.2f} s of audio produced)")
        print(f"resident memory (VmRSS): {resident_kib(program.pid)} KiB")
        print(f"status after SIGINT: {program.end_with(__import__('signal').SIGINT)}")
    finally:
        server.stop()


if __name__ == "__main__":
    main()
