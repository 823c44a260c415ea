# Outputs whose clocks run apart: what plays on one is brought to the pace of the other,
# smoothly, rather than left to run ahead of it for hours.

import os
import threading
import time
import unittest

import numpy as np

import pcm
from test_sysaudio import SERVER, ProgramTestCase

PPM = 300  # a crystal at the far end of what real sound cards show


class DriftingClockTest(ProgramTestCase):
    # PulseAudio's pipe sink renders exactly as fast as its fifo is read: two of them, one read
    # at the real rate and one at 1.0003 times it, are two outputs whose clocks run 300 ppm
    # apart (the null sink's own clock is left out: PulseAudio renders it a few hundred ppm off
    # the system clock, depending on its chunk sizes). The first output to play sets the pace.
    # Clicks a second apart on the fast one's clock come 0.9997 s apart on the other's, and so
    # must they in the output once the program has learnt the two clocks: left at their own
    # pace, they would stay a second apart, the fast output running ahead by 1 ms every 3.3 s.
    keep_awake = False
    SECONDS, LEARNT_AFTER = 80, 45

    def pipe_sink(self, name, ppm, stop):
        fifo = os.path.join(self.server.dir, f"{name}.fifo")
        self.server.pactl("load-module", "module-pipe-sink", f"sink_name={name}", f"file={fifo}",
                          "format=s16le", "rate=48000", "channels=2")
        reader = threading.Thread(target=self.drain, args=(fifo, ppm, stop), daemon=True)
        reader.start()

    @staticmethod
    def drain(fifo, ppm, stop):
        # 48 kHz stereo s16 read at the clock's rate, paced by the monotonic clock.
        rate, taken, start = 48000 * 4 * (1 + ppm * 1e-6), 0, time.monotonic()
        with open(fifo, "rb", buffering=0) as pipe:
            while not stop.is_set():
                due = int((time.monotonic() - start) * rate) // 4 * 4
                while taken < due:
                    taken += len(pipe.read(min(due - taken, 65536)))
                time.sleep(0.005)

    def test_clicks_keep_the_first_outputs_pace(self):
        if SERVER.name != "pulseaudio":
            raise unittest.SkipTest("PipeWire's pipe sink runs on the graph's clock")
        stop = threading.Event()
        self.addCleanup(stop.set)
        self.pipe_sink("exact", 0, stop)
        self.pipe_sink("fast", PPM, stop)
        rate = 48000
        clicks = np.zeros(rate * (self.SECONDS + 5))
        burst = np.hanning(96) * np.sin(2 * np.pi * 3000 * np.arange(96) / rate)
        for second in range(self.SECONDS + 5):
            clicks[second * rate:second * rate + 96] = 0.5 * burst
        program = self.launch()
        program.wait_for_output()
        self.server.keep_awake("exact")  # silence, the first output to play
        time.sleep(2.0)
        self.server.play(pcm.write_wav(f"{self.server.dir}/clicks.wav",
                                       np.outer(clicks, [1, 1])), "fast", wait=False)
        time.sleep(self.SECONDS)
        samples = self.assertEndsCleanly(program)
        envelope = np.abs(samples) > 0.1
        starts = np.flatnonzero(envelope[1:] & ~envelope[:-1]) + 1
        starts = starts[np.diff(np.concatenate(([-pcm.OUTPUT_RATE], starts))) > pcm.OUTPUT_RATE / 2]
        at = starts / pcm.OUTPUT_RATE
        learnt = at[at > at[0] + self.LEARNT_AFTER]
        self.assertGreater(len(learnt), 20, f"clicks found at {at}")
        slope, offset = np.polyfit(np.arange(len(learnt)), learnt, 1)
        residual_ms = 1000 * np.max(np.abs(learnt - (offset + slope * np.arange(len(learnt)))))
        apart_ppm = (1 / slope - 1) * 1e6
        print(f"\n    clicks of the fast output {apart_ppm:+.0f} ppm apart from the output's clock "
              f"once learnt; off a straight line by at most {residual_ms:.2f} ms", flush=True)
        self.assertAlmostEqual(apart_ppm, PPM, delta=50)
        self.assertLess(residual_ms, 2.0, "a click out of step: audio dropped or repeated")
