# sysaudio left running: the default output switched, suspended or removed under it, and a
# reader that stalls. The real binary against a private server with null sinks.

import time

import numpy as np

import pcm
from soundservers import wait_until
from test_sysaudio import BYTES_PER_SECOND, SANITIZED, SERVER, TONE_HZ, ProgramTestCase


class DeviceFollowingTest(ProgramTestCase):
    # The default output changes, sleeps or goes away: capture follows the default by itself,
    # without a "stopped:" line, never onto a microphone, and keeps pace with the wall clock.
    sinks = ("speakers", "headphones")

    def follow_sink_loss(self, removed, next_sink):
        if SERVER.name == "pulseaudio":
            # PulseAudio rescues a recording whose source goes away onto the default source:
            # make that a loud microphone, which must never be recorded.
            self.server.add_microphone("microphone")
        program = self.launch()
        program.wait_for_output()
        self.assertEqual(wait_until(lambda: self.recorded(program), 10, what="the recording"),
                         ["speakers.monitor"])
        for sink in removed:
            self.server.remove_sink(sink)
        # Silence goes on at the output rate, whether or not there is anything to record.
        seen, before, until = set(), len(program.stdout()), time.monotonic() + 2.0
        while time.monotonic() < until:
            seen |= set(self.recorded(program))
            time.sleep(0.05)
        self.assertNotIn("microphone", seen, "the server moved the recording to the microphone")
        self.assertGreater(len(program.stdout()) - before, 1.5 * BYTES_PER_SECOND,
                           "output stopped when the recorded sink went")
        if next_sink not in self.sinks:
            self.server.add_sinks((next_sink,))
            self.server.keep_awake(next_sink)
            time.sleep(0.5)
        wait_until(lambda: self.server.default_sink() == next_sink, 10, what="the new default")
        self.server.play(pcm.write_tone(self.server.dir, 1.0, TONE_HZ), next_sink)
        time.sleep(0.5)
        samples = self.assertEndsCleanly(program)
        # The one tone played after, at its length, and nothing else (the microphone neither).
        tones = pcm.tones(samples)
        self.assertEqual(len(tones), 1, f"expected the one tone played after, found {tones}")
        self.assertAlmostEqual(pcm.loud_seconds(tones[0]), 1.0, delta=0.06)
        outside = np.concatenate((samples[:max(tones[0][0][0] - 160, 0)],
                                  samples[tones[0][-1][1] + 160:]))
        self.assertLess(max(abs(outside), default=0.0), 1e-3, "recorded something not played")

    def test_switch_then_suspend_and_resume(self):
        program = self.launch()
        program.wait_for_output()
        start_bytes, start_at = len(program.stdout()), time.monotonic()
        players = [self.server.play(pcm.write_tone(self.server.dir, 3.0, hz), sink, wait=False)
                   for hz, sink in ((440.0, "speakers"), (TONE_HZ, "headphones"))]
        time.sleep(1.5)
        self.server.set_default_sink("headphones")
        for player in players:
            player.wait(timeout=30)
        # A suspended sink sends nothing at all: silence must fill the time.
        self.server.pactl("suspend-sink", "headphones", "1")
        time.sleep(3.0)
        self.server.pactl("suspend-sink", "headphones", "0")
        time.sleep(1.0)
        resumed_at = len(program.stdout())
        self.server.play(pcm.write_tone(self.server.dir, 1.0, TONE_HZ), "headphones")
        time.sleep(0.5)
        end_bytes, end_at = len(program.stdout()), time.monotonic()
        samples = self.assertEndsCleanly(program)

        old_blocks, new_blocks = (pcm.loud_blocks(samples, hz) for hz in (440.0, TONE_HZ))
        self.assertGreater(len(new_blocks), 100, "the new default was not recorded")
        before = old_blocks[old_blocks < new_blocks[0]]
        self.assertGreater(len(before), 80, "the old default was not recorded")
        # PulseAudio moves a player along with the default sink, PipeWire does not: either
        # way the gap is the stretch without either tone between the old sink's audio and the
        # new one's.
        sounding = np.union1d(old_blocks, new_blocks)
        sounding = sounding[(sounding >= before[0]) & (sounding <= new_blocks[0])]
        gap_ms = 10 * int(np.max(np.diff(sounding) - 1, initial=0))
        drift_ms = 1000 * ((end_bytes - start_bytes) / BYTES_PER_SECOND - (end_at - start_at))
        print(f"\n    switch gap {gap_ms} ms; output {drift_ms:+.0f} ms off the clock", flush=True)
        # The target is 100 ms; this bound only keeps a loaded machine from failing it.
        self.assertLess(gap_ms, 1000)
        self.assertLess(abs(drift_ms), 250, "output off the wall clock's pace")
        with self.subTest("audio again once the sink is resumed"):
            if not self.server.resumes_monitor_after_suspend:
                self.skipTest(f"{SERVER.name} records nothing from a monitor once its sink was "
                              "suspended and resumed (parec neither)")
            after = pcm.samples_from_s16le(program.stdout()[resumed_at:])
            self.assertGreater(len(pcm.loud_blocks(after, TONE_HZ)), 80)

    # On PulseAudio a microphone is the default source at the moment the recorded sink goes.
    def test_recorded_sink_unloaded(self):
        self.follow_sink_loss(("speakers",), "headphones")

    def test_no_sink_left_then_one_appears(self):
        self.follow_sink_loss(self.sinks, "later")


class SlowReaderTest(ProgramTestCase):
    # A reader that stops reading for ten seconds, then drains: nothing is lost, and the
    # program's memory stays bounded meanwhile.
    STALL_SECONDS, TONE_SECONDS = 10.0, 14.0

    def test_stalled_reader_loses_nothing(self):
        program = self.launch()
        program.wait_for_output()
        first_at = time.monotonic()
        player = self.server.play(pcm.write_tone(self.server.dir, self.TONE_SECONDS, TONE_HZ),
                                  "speakers", wait=False)
        time.sleep(2.0)
        program.reading.clear()
        baseline = peak = program.status("VmRSS")
        stalled_until = time.monotonic() + self.STALL_SECONDS
        while time.monotonic() < stalled_until:
            peak = max(peak, program.status("VmRSS"))
            time.sleep(0.2)
        program.reading.set()
        player.wait(timeout=30)
        time.sleep(1.0)
        elapsed, byte_count = time.monotonic() - first_at, len(program.stdout())
        drained = program.status("VmRSS")
        self.assertEndsCleanly(program)

        samples = pcm.samples_from_s16le(program.stdout())
        runs = pcm.loud_runs(samples)
        tone_seconds = pcm.loud_seconds(runs)
        gaps = [round((b[0] - a[1]) / pcm.OUTPUT_RATE, 3) for a, b in zip(runs, runs[1:])]
        print(f"\n    tone {tone_seconds:.3f} s in {len(runs)} runs (gaps {gaps} s); VmRSS KiB "
              f"{baseline} before the stall, peak {peak}, {drained} drained", flush=True)
        # Loss or repeat shows in the tone's length, each run's edges within a 10 ms block.
        # Gaps are not judged: a server held up by a loaded machine beyond the program's
        # half second makes it fill silence, and the late audio follows it, whole (seen: the
        # tone 14.03 s long in three runs, 0.9 s apart).
        # PipeWire 0.3.65 matches the player's rate to the graph and stretches a 14 s tone by up
        # to 100 ms (measured 14.010-14.100 s over twenty runs, with and without the reading
        # thread running the program's output; PulseAudio 14.010 every time).
        stretch = 0.1 if SERVER.name == "pipewire" else 0.0
        self.assertAlmostEqual(tone_seconds, self.TONE_SECONDS,
                               delta=0.01 + stretch + 0.02 * len(runs))
        # Level with the clock, beyond it only by the silence filled into those gaps.
        ahead = byte_count / BYTES_PER_SECOND - elapsed
        self.assertLess(abs(ahead - sum(gaps) / 2), sum(gaps) / 2 + 0.02 * elapsed)
        # Ten seconds held for the reader is about 4 MB at the capture format.
        self.assertLess(peak - baseline, 32 * 1024, "memory grew beyond the backlog's bound")
        if not SANITIZED:  # whose allocator keeps freed memory on purpose
            self.assertLess(drained - baseline, 1536, "a drained backlog's memory kept")
        # Continuous: no audio lost or repeated. PipeWire 0.3.65's graph now and then shifts a
        # playing stream's phase while the tone keeps its full length, which catches loss there.
        for start, end in (run for run in runs if run[1] - run[0] > 3200):
            if SERVER.name != "pipewire":
                self.assertLess(pcm.largest_phase_jump(samples[start + 800:end - 800], TONE_HZ),
                                0.25, "audio lost or repeated inside the tone")
