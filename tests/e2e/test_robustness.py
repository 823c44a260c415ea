"""sysaudio left running: the default output switched or removed under it, sinks suspended, a
reader that stalls. The real binary against a private server with two null sinks."""

import os
import shutil
import signal
import statistics
import tempfile
import threading
import time
import unittest

import pcm
from soundservers import wait_until
from test_sysaudio import BYTES_PER_SECOND, SERVER, ProgramTestCase

OLD_HZ = 440.0
NEW_HZ = 1031.0
MICROPHONE_HZ = 700
AMPLITUDE = 0.5
LOUD = 0.05  # a tone's level in a 10 ms block, well above leakage and far below AMPLITUDE
BLOCK_MS = 10


def write_tone(directory, name, seconds, frequency):
    path = os.path.join(directory, name)
    pcm.write_stereo_wav(path, [(seconds, frequency, AMPLITUDE, AMPLITUDE)])
    return path


def loud_blocks(samples, frequency):
    return [n for n, level in enumerate(pcm.tone_levels(samples, frequency)) if level > LOUD]


def longest_run(flags):
    longest = current = 0
    for flag in flags:
        current = current + 1 if flag else 0
        longest = max(longest, current)
    return longest


class TwoSinkTestCase(ProgramTestCase):
    """A fresh server per test (tests take sinks away), both sinks kept rendering in small
    steps like real devices, and tone files of their own."""

    sinks = ("speakers", "headphones")

    def setUp(self):
        self.server = SERVER()
        self.addCleanup(self.server.stop)
        self.server.start(sinks=self.sinks, default=self.sinks[0])
        for sink in self.sinks:
            self.server.keep_awake(sink)
        self.clips = tempfile.mkdtemp(prefix="sysaudio-e2e-clips-")
        self.addCleanup(shutil.rmtree, self.clips, True)

    def switch_default(self, sink):
        self.server.set_default_sink(sink)
        wait_until(lambda: self.server.default_sink() == sink, 10, what=f"{sink} as default")

    def assertNoDiagnostics(self, program):
        self.assertEqual(program.stderr(), b"", "a diagnostic line (stopped, failed) appeared")


class DeviceFollowingTest(TwoSinkTestCase):
    """The default output changes or goes away: capture moves to the new default by itself,
    without a "stopped:" line, and never onto a microphone."""

    def test_default_switch_mid_stream(self):
        old = write_tone(self.clips, "old.wav", 4.0, OLD_HZ)
        new = write_tone(self.clips, "new.wav", 4.0, NEW_HZ)
        program = self.launch()
        program.wait_for_output()
        players = [self.server.play_in_background(old, "speakers"),
                   self.server.play_in_background(new, "headphones")]
        time.sleep(1.5)
        self.switch_default("headphones")
        for player in players:
            player.wait(timeout=30)
        time.sleep(0.3)
        self.assertEndsCleanly(program, signal.SIGINT)
        self.assertNoDiagnostics(program)

        samples = pcm.samples_from_s16le(program.stdout())
        old_blocks = loud_blocks(samples, OLD_HZ)
        new_blocks = loud_blocks(samples, NEW_HZ)
        self.assertGreater(len(new_blocks) * BLOCK_MS, 1500,
                           "the new default's audio did not come out after the switch")
        before = [n for n in old_blocks if n < min(new_blocks)]
        self.assertGreater(len(before) * BLOCK_MS, 1000, "the old default was not recorded")
        # PulseAudio moves a player along with the default sink (the old tone then comes on
        # from the new sink too), PipeWire does not: either way the gap is the stretch without
        # either tone between the old sink's audio and the new one's.
        sounding = set(old_blocks) | set(new_blocks)
        gap_ms = BLOCK_MS * longest_run(n not in sounding
                                        for n in range(min(before), min(new_blocks)))
        print(f"\n    switch gap ({SERVER.name}): {gap_ms} ms between the old sink's last "
              "audio and the new one's first", flush=True)
        # The target is 100 ms; this bound only keeps a loaded machine from failing it.
        self.assertLess(gap_ms, 1000)

    def test_recorded_sink_unloaded(self):
        microphone = hasattr(self.server, "add_microphone")
        if microphone:
            # PulseAudio would rescue an orphaned recording onto the default source: make that
            # a loud microphone, which must never be heard.
            self.server.add_microphone("microphone", frequency=MICROPHONE_HZ)
        new = write_tone(self.clips, "new.wav", 1.0, NEW_HZ)
        program = self.launch()
        program.wait_for_output()
        self.server.remove_sink("speakers")
        wait_until(lambda: self.server.default_sink() == "headphones", 10,
                   what="headphones as the default")
        time.sleep(1.0)
        self.server.play(new, "headphones")
        time.sleep(0.5)
        self.assertTrue(program.alive())
        self.assertEndsCleanly(program, signal.SIGTERM)
        self.assertNoDiagnostics(program)

        samples = pcm.samples_from_s16le(program.stdout())
        runs = pcm.loud_runs(samples)
        self.assertEqual(len(runs), 1, f"expected the one tone played after, found {runs}")
        start, end = runs[0]
        # The tone played, not the microphone (levels, not zero crossings: a player's dropout
        # must not decide which source this was).
        tone = samples[start + 800:end - 800]
        self.assertGreater(statistics.median(pcm.tone_levels(tone, NEW_HZ)), 0.3)
        self.assertLess(statistics.median(pcm.tone_levels(tone, MICROPHONE_HZ)), 0.1)
        outside = samples[:max(start - 160, 0)] + samples[end + 160:]
        self.assertLess(max((abs(s) for s in outside), default=0.0), 1e-3,
                        "recorded something not played (a microphone?)")
        if not microphone:
            self.skipTest(f"{SERVER.name} has no sine source to stand for a microphone; the "
                          "capture after the removal was checked")

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
        tone = write_tone(self.clips, "later.wav", 1.0, NEW_HZ)
        time.sleep(0.5)
        self.server.play(tone, "later")
        time.sleep(0.5)
        self.assertEndsCleanly(program, signal.SIGTERM)
        self.assertNoDiagnostics(program)
        samples = pcm.samples_from_s16le(program.stdout())
        self.assertGreater(len(loud_blocks(samples, NEW_HZ)) * BLOCK_MS, 800,
                           "the sink that appeared later was not recorded")


class PaceTest(TwoSinkTestCase):
    """Bytes on standard output keep pace with the wall clock through a switch of output and
    a suspended sink, which sends nothing at all."""

    def test_output_keeps_wall_clock_pace(self):
        program = self.launch()
        program.wait_for_output()
        time.sleep(1.0)
        start_bytes, start_at = len(program.stdout()), time.monotonic()
        time.sleep(4.0)
        self.switch_default("headphones")
        time.sleep(4.0)
        self.server.suspend("headphones", True)
        time.sleep(5.0)
        self.server.suspend("headphones", False)
        time.sleep(4.0)
        resumed_at = len(program.stdout())
        self.server.play(write_tone(self.clips, "after.wav", 1.0, NEW_HZ), "headphones")
        time.sleep(0.5)
        end_bytes, end_at = len(program.stdout()), time.monotonic()
        self.assertEndsCleanly(program, signal.SIGTERM)
        self.assertNoDiagnostics(program)
        after = pcm.samples_from_s16le(program.stdout()[resumed_at:])
        if self.server.resumes_monitor_after_suspend:
            self.assertGreater(len(loud_blocks(after, NEW_HZ)) * BLOCK_MS, 800,
                               "no audio from the sink once it was resumed")

        expected = BYTES_PER_SECOND * (end_at - start_at)
        error = (end_bytes - start_bytes) / expected - 1
        print(f"\n    pace ({SERVER.name}): {end_bytes - start_bytes} bytes in "
              f"{end_at - start_at:.3f} s, {100 * error:+.3f} % against the wall clock",
              flush=True)
        self.assertLess(abs(error), 0.01)
        if not self.server.resumes_monitor_after_suspend:
            self.skipTest(f"pace checked; {SERVER.name} records no audio from a monitor after "
                          "its sink was suspended and resumed (parec neither)")


class SlowReaderTest(TwoSinkTestCase):
    """A reader that stops reading for ten seconds, then drains: nothing is lost, and the
    program's memory stays bounded meanwhile."""

    sinks = ("speakers",)
    STALL_SECONDS = 10.0
    TONE_SECONDS = 14.0

    def resident_kib(self, pid):
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def test_stalled_reader_loses_nothing(self):
        tone = write_tone(self.clips, "long.wav", self.TONE_SECONDS, NEW_HZ)
        program = self.launch(collect_stdout=False)
        received = bytearray()
        reading = threading.Event()
        reading.set()
        done = threading.Event()

        def read():
            while not done.is_set():
                reading.wait()
                chunk = program.process.stdout.read1(65536)
                if not chunk:
                    return
                received.extend(chunk)

        reader = threading.Thread(target=read, daemon=True)
        reader.start()
        wait_until(lambda: len(received) >= 3200, 20, what="audio on stdout")
        first_at = time.monotonic()
        player = self.server.play_in_background(tone, "speakers")
        time.sleep(2.0)
        reading.clear()
        baseline = self.resident_kib(program.pid)
        peak = baseline
        stalled_until = time.monotonic() + self.STALL_SECONDS
        while time.monotonic() < stalled_until:
            peak = max(peak, self.resident_kib(program.pid))
            time.sleep(0.2)
        reading.set()
        player.wait(timeout=30)
        time.sleep(1.0)
        elapsed = time.monotonic() - first_at
        byte_count = len(received)
        drained = self.resident_kib(program.pid)
        self.assertEqual(program.end_with(signal.SIGTERM), 0)
        done.set()
        reader.join(timeout=10)
        self.assertEqual(program.stderr(), b"")

        samples = pcm.samples_from_s16le(bytes(received))
        runs = pcm.loud_runs(samples)
        self.assertEqual(len(runs), 1, f"the tone broke up: {runs}")
        start, end = runs[0]
        tone_seconds = (end - start) / pcm.OUTPUT_RATE
        print(f"\n    stalled reader ({SERVER.name}): tone {self.TONE_SECONDS:.3f} s played, "
              f"{tone_seconds:.3f} s received; {byte_count} bytes in {elapsed:.2f} s "
              f"(clock: {BYTES_PER_SECOND * elapsed:.0f}); VmRSS {baseline} KiB before the "
              f"stall, peak {peak} KiB, {drained} KiB once drained", flush=True)
        # Within two fragments (a 10 ms window at each edge of the detection).
        self.assertAlmostEqual(tone_seconds, self.TONE_SECONDS, delta=0.03)
        self.assertAlmostEqual(byte_count / (BYTES_PER_SECOND * elapsed), 1.0, delta=0.02)
        # Ten seconds held for the reader is about 4 MB at the capture format.
        self.assertLess(peak - baseline, 32 * 1024, "memory grew beyond the backlog's bound")
        # Once the backlog has drained, its pages go back: a stall must not set the size of
        # the rest of a long run. (A sanitizer's allocator keeps freed memory on purpose.)
        if not os.environ.get("SYSAUDIO_SANITIZED"):
            self.assertLess(drained - baseline, 1536, "a drained backlog's memory was kept")
        # PipeWire 0.3.65's graph now and then shifts a playing stream's phase while the tone
        # keeps its full length (seen here, once in several runs), so the phase is judged on
        # PulseAudio only; the tone's length above catches audio lost or repeated on both.
        if SERVER.name == "pipewire":
            return
        jump = pcm.largest_phase_jump(pcm.block_phases(samples[start + 800:end - 800], NEW_HZ))
        self.assertLess(jump, 0.25, "audio lost or repeated inside the tone")


if __name__ == "__main__":
    unittest.main()
