"""sysaudio left running: the default output switched, suspended or removed under it, and a
reader that stalls. The real binary against a private server with null sinks."""

import os
import signal
import tempfile
import threading
import time

import numpy as np

import pcm
from soundservers import wait_until
from test_sysaudio import BYTES_PER_SECOND, SERVER, ProgramTestCase

OLD_HZ = 440.0
NEW_HZ = 1031.0
MICROPHONE_HZ = 700
LOUD = 0.05  # a tone's level in a 10 ms block, well above leakage and far below the tones'
BLOCK_MS = 10


def loud_blocks(samples, frequency):
    return np.flatnonzero(pcm.tone_levels(samples, frequency) > LOUD)


class TwoSinkTestCase(ProgramTestCase):
    """A fresh server per test (tests take sinks away), its sinks kept rendering in small steps
    like real devices."""

    sinks = ("speakers", "headphones")

    def setUp(self):
        self.server = SERVER()
        self.addCleanup(self.server.stop)
        self.server.start(sinks=self.sinks, default=self.sinks[0])
        for sink in self.sinks:
            self.server.keep_awake(sink)
        clips = tempfile.TemporaryDirectory(prefix="sysaudio-e2e-clips-")
        self.addCleanup(clips.cleanup)
        self.clips = clips.name

    def tone(self, name, seconds, frequency):
        path = os.path.join(self.clips, name)
        pcm.write_stereo_wav(path, [(seconds, frequency, 0.5, 0.5)])
        return path

    def switch_default(self, sink):
        self.server.set_default_sink(sink)
        wait_until(lambda: self.server.default_sink() == sink, 10, what=f"{sink} as default")

    def end_without_diagnostics(self, program):
        self.assertEndsCleanly(program, signal.SIGTERM)
        self.assertEqual(program.stderr(), b"", "a diagnostic line (stopped, failed) appeared")
        return pcm.samples_from_s16le(program.stdout())


class DeviceFollowingTest(TwoSinkTestCase):
    """The default output changes, sleeps or goes away: capture follows the default by itself,
    without a "stopped:" line, never onto a microphone, and keeps pace with the wall clock."""

    def test_switch_then_suspend_and_resume(self):
        old, new = self.tone("old.wav", 3.0, OLD_HZ), self.tone("new.wav", 3.0, NEW_HZ)
        program = self.launch()
        program.wait_for_output()
        start_bytes, start_at = len(program.stdout()), time.monotonic()
        players = [self.server.play_in_background(old, "speakers"),
                   self.server.play_in_background(new, "headphones")]
        time.sleep(1.5)
        self.switch_default("headphones")
        for player in players:
            player.wait(timeout=30)
        # A suspended sink sends nothing at all: silence must fill the time.
        self.server.suspend("headphones", True)
        time.sleep(3.0)
        self.server.suspend("headphones", False)
        time.sleep(1.0)
        resumed_at = len(program.stdout())
        self.server.play(self.tone("after.wav", 1.0, NEW_HZ), "headphones")
        time.sleep(0.5)
        end_bytes, end_at = len(program.stdout()), time.monotonic()
        samples = self.end_without_diagnostics(program)

        old_blocks, new_blocks = loud_blocks(samples, OLD_HZ), loud_blocks(samples, NEW_HZ)
        self.assertGreater(len(new_blocks) * BLOCK_MS, 1000, "the new default was not recorded")
        before = old_blocks[old_blocks < new_blocks[0]]
        self.assertGreater(len(before) * BLOCK_MS, 800, "the old default was not recorded")
        # PulseAudio moves a player along with the default sink, PipeWire does not: either
        # way the gap is the stretch without either tone between the old sink's audio and the
        # new one's.
        sounding = np.zeros(len(samples) // pcm.BLOCK, dtype=int)
        sounding[np.concatenate((old_blocks, new_blocks))] = 1
        quiet = np.concatenate(([0], 1 - sounding[before[0]:new_blocks[0]], [0]))
        edges = np.flatnonzero(np.diff(quiet))
        gap_ms = BLOCK_MS * int(np.max(edges[1::2] - edges[::2], initial=0))
        drift_ms = 1000 * ((end_bytes - start_bytes) / BYTES_PER_SECOND - (end_at - start_at))
        print(f"\n    {SERVER.name}: switch gap {gap_ms} ms; output {drift_ms:+.0f} ms against "
              f"the wall clock over {end_at - start_at:.1f} s", flush=True)
        # The target is 100 ms; this bound only keeps a loaded machine from failing it.
        self.assertLess(gap_ms, 1000)
        self.assertLess(abs(drift_ms), 250, "output off the wall clock's pace")
        with self.subTest("audio again once the sink is resumed"):
            if not self.server.resumes_monitor_after_suspend:
                self.skipTest(f"{SERVER.name} records nothing from a monitor once its sink was "
                              "suspended and resumed (parec neither)")
            after = pcm.samples_from_s16le(program.stdout()[resumed_at:])
            self.assertGreater(len(loud_blocks(after, NEW_HZ)) * BLOCK_MS, 800)

    def test_recorded_sink_unloaded(self):
        microphone = hasattr(self.server, "add_microphone")
        if microphone:
            # PulseAudio would rescue an orphaned recording onto the default source: make that
            # a loud microphone, which must never be heard.
            self.server.add_microphone("microphone", frequency=MICROPHONE_HZ)
        program = self.launch()
        program.wait_for_output()
        self.server.remove_sink("speakers")
        wait_until(lambda: self.server.default_sink() == "headphones", 10,
                   what="headphones as the default")
        time.sleep(1.0)
        self.server.play(self.tone("new.wav", 1.0, NEW_HZ), "headphones")
        time.sleep(0.5)
        samples = self.end_without_diagnostics(program)
        tones = pcm.tones(samples)
        self.assertEqual(len(tones), 1, f"expected the one tone played after, found {tones}")
        self.assertAlmostEqual(pcm.loud_seconds(tones[0]), 1.0, delta=0.06)
        start, end = max(tones[0], key=lambda run: run[1] - run[0])
        # The tone played, not the microphone (levels, not zero crossings: a player's dropout
        # must not decide which source this was), and nothing else.
        tone = samples[start + 800:end - 800]
        self.assertGreater(np.median(pcm.tone_levels(tone, NEW_HZ)), 0.3)
        self.assertLess(np.median(pcm.tone_levels(tone, MICROPHONE_HZ)), 0.1)
        outside = np.concatenate((samples[:max(tones[0][0][0] - 160, 0)],
                                  samples[tones[0][-1][1] + 160:]))
        self.assertLess(max(abs(outside), default=0.0), 1e-3, "recorded something not played")
        with self.subTest("a microphone as the default source"):
            if not microphone:
                self.skipTest(f"{SERVER.name} has no sine source to stand for a microphone")

    def test_no_sink_left_then_one_appears(self):
        program = self.launch()
        program.wait_for_output()
        for sink in self.sinks:
            self.server.remove_sink(sink)
        # Silence goes on at the output rate while there is nothing to record.
        before = len(program.stdout())
        time.sleep(2.0)
        self.assertGreater(len(program.stdout()) - before, 1.5 * BYTES_PER_SECOND,
                           "output stopped while the server had no sink")
        self.server.add_sink("later")
        wait_until(lambda: "later" in self.server.sinks(), 10, what="the new sink")
        self.switch_default("later")
        self.server.keep_awake("later")
        time.sleep(0.5)
        self.server.play(self.tone("later.wav", 1.0, NEW_HZ), "later")
        time.sleep(0.5)
        samples = self.end_without_diagnostics(program)
        self.assertGreater(len(loud_blocks(samples, NEW_HZ)) * BLOCK_MS, 800,
                           "the sink that appeared later was not recorded")


class SlowReaderTest(TwoSinkTestCase):
    """A reader that stops reading for ten seconds, then drains: nothing is lost, and the
    program's memory stays bounded meanwhile."""

    sinks = ("speakers",)
    STALL_SECONDS = 10.0
    TONE_SECONDS = 14.0

    @staticmethod
    def resident_kib(pid):
        with open(f"/proc/{pid}/status") as status:
            return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))

    def test_stalled_reader_loses_nothing(self):
        tone = self.tone("long.wav", self.TONE_SECONDS, NEW_HZ)
        program = self.launch(collect_stdout=False)
        received = bytearray()
        reading = threading.Event()
        reading.set()

        def read():
            while chunk := (reading.wait() and program.process.stdout.read1(65536)):
                received.extend(chunk)

        threading.Thread(target=read, daemon=True).start()
        wait_until(lambda: len(received) >= 3200, 20, what="audio on stdout")
        first_at = time.monotonic()
        player = self.server.play_in_background(tone, "speakers")
        time.sleep(2.0)
        reading.clear()
        baseline = peak = self.resident_kib(program.pid)
        stalled_until = time.monotonic() + self.STALL_SECONDS
        while time.monotonic() < stalled_until:
            peak = max(peak, self.resident_kib(program.pid))
            time.sleep(0.2)
        reading.set()
        player.wait(timeout=30)
        time.sleep(1.0)
        elapsed, byte_count = time.monotonic() - first_at, len(received)
        drained = self.resident_kib(program.pid)
        self.assertEqual(program.end_with(signal.SIGTERM), 0)
        self.assertEqual(program.stderr(), b"")

        samples = pcm.samples_from_s16le(bytes(received))
        runs = pcm.loud_runs(samples)
        tone_seconds = pcm.loud_seconds(runs)
        gaps = [round((b[0] - a[1]) / pcm.OUTPUT_RATE, 3) for a, b in zip(runs, runs[1:])]
        print(f"\n    stalled reader ({SERVER.name}): tone {self.TONE_SECONDS:.3f} s played, "
              f"{tone_seconds:.3f} s received in {len(runs)} runs (gaps {gaps} s); {byte_count} "
              f"bytes in {elapsed:.2f} s (clock: {BYTES_PER_SECOND * elapsed:.0f}); VmRSS "
              f"{baseline} KiB before the stall, peak {peak} KiB, {drained} KiB once drained",
              flush=True)
        # Loss or repeat shows in the tone's length, each run's edges within a 10 ms block.
        # Gaps are not judged: a server held up by a loaded machine beyond the program's
        # half second makes it fill silence, and the late audio follows it, whole (seen: the
        # tone 14.03 s long in three runs, 0.9 s apart).
        self.assertAlmostEqual(tone_seconds, self.TONE_SECONDS, delta=0.01 + 0.02 * len(runs))
        # Level with the clock, beyond it only by the silence filled into those gaps.
        ahead = byte_count / BYTES_PER_SECOND - elapsed
        self.assertLess(abs(ahead - sum(gaps) / 2), sum(gaps) / 2 + 0.02 * elapsed)
        # Ten seconds held for the reader is about 4 MB at the capture format.
        self.assertLess(peak - baseline, 32 * 1024, "memory grew beyond the backlog's bound")
        with self.subTest("a drained backlog's memory handed back"):
            # A sanitizer's allocator keeps freed memory on purpose.
            if os.environ.get("SYSAUDIO_SANITIZED"):
                self.skipTest("memory return not judged under a sanitizer's allocator")
            self.assertLess(drained - baseline, 1536)
        with self.subTest("continuous: no audio lost or repeated"):
            # PipeWire 0.3.65's graph now and then shifts a playing stream's phase while the
            # tone keeps its full length; the length above catches loss there.
            if SERVER.name == "pipewire":
                self.skipTest("phase continuity not judged on pipewire (the server's own shifts)")
            jump = max(pcm.largest_phase_jump(samples[start + 800:end - 800], NEW_HZ)
                       for start, end in runs if end - start > 3200)
            self.assertLess(jump, 0.25, "audio lost or repeated inside the tone")
