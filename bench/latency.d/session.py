"""One comparison: a private sound server, one click player (and steady players, if asked),
and each recorder in turn against the same monitor, so that their numbers differ by the
recorder and not the set-up."""
import os
import shlex
import subprocess
import sys
import time
from dataclasses import dataclass, field
from typing import List, Optional

from capture import RecorderProcess, cpu_seconds
from recorders import BYTES_PER_SECOND
from soundservers import QUIET, end_process, spawn

SINK = "speakers"
MONITOR = f"{SINK}.monitor"
SECOND_SINK = "headset"  # where the steady tones play with --spread
PLAYER_RATE = 48000
# The player's prebuffer is smaller than this, so it starts playing each burst at once.
BURST = b"\xff\x7f\xff\x7f" * (PLAYER_RATE // 25)  # 40 ms, full scale, stereo s16le
PLAYER_ARGV = ["pacat", "--playback", "--format=s16le", f"--rate={PLAYER_RATE}",
               "--channels=2", "--latency-msec=10", f"--device={SINK}",
               "--stream-name=bench-clicks"]
CLICK_TIMEOUT_S = 3.0
# Each further input: an endless tone, played as a media player would (40 ms buffer), quiet
# enough that only the clicks cross the click level: three of them at 0.05 of full scale stay
# below it, even where the server downmixes stereo to mono at +3 dB (PipeWire).
STEADY_AMPLITUDE = 0.05


def steady_player_argv(number, sink):
    tone = f"{STEADY_AMPLITUDE}*sin(2*PI*{300 + 100 * number}*t)"
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "lavfi", "-i",
            f"aevalsrc={tone}:s={PLAYER_RATE}:c=stereo",
            "-f", "pulse", "-buffer_duration", "40", "-device", sink,
            "-stream_name", f"bench-steady-{number}", "steady"]


@dataclass
class Plan:
    clicks: int
    click_gap_s: float  # after a click's arrival, before the next is played
    seconds: float  # of capture for CPU and memory


@dataclass
class Result:
    name: str
    command: str
    clicks_played: int = 0
    delays_ms: List[float] = field(default_factory=list)
    cpu_percent: Optional[float] = None
    server_cpu_percent: Optional[float] = None
    switches_per_s: Optional[float] = None  # the recorder's context switches (all threads)
    rss_kib: List[dict] = field(default_factory=list)  # VmRSS and its parts, each second
    audio_s: float = 0.0
    wall_s: float = 0.0
    error: Optional[str] = None


class Session:
    def __init__(self, server_class, inputs=1, keep_awake=True, spread=False):
        self.server_class = server_class
        self.inputs = inputs
        self.steady_sink = SECOND_SINK if spread else SINK
        self.keep_awake = keep_awake
        self.server = None
        self.player = None
        self.steady_players = []

    def start(self, attempts=2):
        """A loaded machine now and then fails a server's first pactl calls; a fresh server
        usually starts where the first did not."""
        for attempt in range(1, attempts + 1):
            self.server = self.server_class()
            try:
                self._start_server()
                return
            except (subprocess.SubprocessError, TimeoutError, OSError) as error:
                self.server.stop()
                if attempt == attempts:
                    raise RuntimeError(f"{self.server.name} did not start: {error}") from error
                print(f"latency: {self.server.name} did not start ({error}); trying once more",
                      file=sys.stderr)

    def _start_server(self):
        sinks = tuple(dict.fromkeys((SINK, self.steady_sink)))
        self.server.start(sinks=sinks, default=SINK)
        # Only the clicks' sink idles between clicks; the steady tones keep theirs busy. A silent
        # player in the second sink too would be one stream more than in one sink.
        if self.keep_awake:
            self.server.keep_awake(SINK)
        self.player = spawn(PLAYER_ARGV, self.server.env(), stdin=subprocess.PIPE,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.steady_players = [spawn(steady_player_argv(n, self.steady_sink), self.server.env(),
                                     **QUIET)
                               for n in range(1, self.inputs)]
        time.sleep(1.0)  # until its stream is connected and corked by underrun
        if any(player.poll() is not None for player in self.steady_players):
            raise RuntimeError("a steady player ended at its start")

    def stop(self):
        for player in [self.player, *self.steady_players]:
            end_process(player)
        self.player, self.steady_players = None, []
        if self.server is not None:
            self.server.stop()

    def measure(self, recorder, plan):
        argv = recorder.argv(MONITOR)
        result = Result(recorder.name, shlex.join(argv))
        process = RecorderProcess(argv, self.server.env())
        try:
            process.wait_for_output(BYTES_PER_SECOND // 10, timeout=20)
            time.sleep(0.5)  # past start-up, whatever the recorder does then
            self._time_clicks(process, plan, result)
            self._watch_resources(process, plan, result)
            if not process.alive():
                raise RuntimeError("exited early")
        except (RuntimeError, TimeoutError, OSError) as error:
            result.error = f"{error}; stderr: {process.stderr_tail()}"
        finally:
            process.stop()
        return result

    def _time_clicks(self, process, plan, result):
        for _ in range(plan.clicks):
            process.arm()
            sent = time.monotonic()
            self.player.stdin.write(BURST)
            self.player.stdin.flush()
            result.clicks_played += 1
            arrival = process.click_arrival(CLICK_TIMEOUT_S)
            if arrival is not None:
                result.delays_ms.append(1000.0 * (arrival - sent))
            time.sleep(plan.click_gap_s)

    def _server_cpu_seconds(self):
        total = 0.0
        for server_process in self.server.processes:
            if server_process.poll() is None:
                total += cpu_seconds(server_process.pid)
        return total

    def _watch_resources(self, process, plan, result):
        start_bytes = process.byte_count()
        start_cpu, start_server = process.cpu_seconds(), self._server_cpu_seconds()
        start_switches = process.context_switches()
        started = time.monotonic()
        result.rss_kib.append(process.resident_kib())
        for second in range(1, int(plan.seconds) + 1):
            time.sleep(max(0.0, started + second - time.monotonic()))
            if not process.alive():
                return
            result.rss_kib.append(process.resident_kib())
        time.sleep(max(0.0, started + plan.seconds - time.monotonic()))
        wall = time.monotonic() - started
        result.cpu_percent = 100.0 * (process.cpu_seconds() - start_cpu) / wall
        result.server_cpu_percent = 100.0 * (self._server_cpu_seconds() - start_server) / wall
        result.switches_per_s = (process.context_switches() - start_switches) / wall
        result.audio_s = (process.byte_count() - start_bytes) / BYTES_PER_SECOND
        result.wall_s = wall
