# An output whose clock runs apart from the system's: what plays on it is brought to the wall
# clock's pace, smoothly, rather than left to run ahead of every other output for hours.

import os
import threading
import time
import unittest

import numpy as np

import pcm
from test_sysaudio import SERVER, ProgramTestCase

PPM = 300  # a crystal at the far end of what real sound cards show


class DriftingClockTest(ProgramTestCase):
    # PulseAudio's pipe sink renders exactly as fast as its fifo is read: read at 1.0003 times
    # the real rate, it is an output whose clock runs 300 ppm fast. Clicks a second apart on
    # its clock come 0.9997 s apart on the wall clock, and so must they in the output, once the
    # program has learnt that clock: left at the sink's pace, they would stay a second apart
    # and the output fall behind the speakers by 1 ms every 3.3 s.
    SECONDS, LEARNT_AFTER = 80, 45

    def drain(self, fifo, stop):
        # 48 kHz stereo s16 read at the fast clock's rate, paced by the monotonic clock.
        rate, taken, start = 48000 * 4 * (1 + PPM * 1e-6), 0, time.monotonic()
        with open(fifo, "rb", buffering=0) as pipe:
            while not stop.is_set():
                due = int((time.monotonic() - start) * rate) // 4 * 4
                while taken < due:
                    taken += len(pipe.read(min(due - taken, 65536)))
                time.sleep(0.005)

    def test_clicks_keep_the_wall_clocks_pace(self):
        if SERVER.name != "pulseaudio":
            raise unittest.SkipTest("PipeWire's pipe sink runs on the graph's clock")
        fifo = os.path.join(self.server.dir, "fast.fifo")
        self.server.pactl("load-module", "module-pipe-sink", "sink_name=fast", f"file={fifo}",
                          "format=s16le", "rate=48000", "channels=2")
        stop = threading.Event()
        reader = threading.Thread(target=self.drain, args=(fifo, stop), daemon=True)
        reader.start()
        self.addCleanup(stop.set)
        rate = 48000
        clicks = np.zeros(rate * (self.SECONDS + 5))
        burst = np.hanning(96) * np.sin(2 * np.pi * 3000 * np.arange(96) / rate)
        for second in range(self.SECONDS + 5):
            clicks[second * rate:second * rate + 96] = 0.5 * burst
        program = self.launch()
        program.wait_for_output()
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
