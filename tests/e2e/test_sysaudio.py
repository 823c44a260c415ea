"""sysaudio end to end: the real binary against a real private sound server.

The server kind and the binary come from the environment (SYSAUDIO_E2E_SERVER,
SYSAUDIO_BINARY); run_e2e.py sets both."""

import os
import signal
import socket
import subprocess
import tempfile
import time
import unittest

import pcm
from soundservers import SERVERS, wait_until
from sysaudio_process import Sysaudio

BINARY = os.environ.get("SYSAUDIO_BINARY", "")
SERVER = SERVERS[os.environ.get("SYSAUDIO_E2E_SERVER", "pulseaudio")]

FAILED_TO_START = "SystemAudioCapturer failed to start: "
NO_DISPLAY = "SystemAudioCapturer: no display found\n"
STOPPED = "SystemAudioCapturer stopped: "
BYTES_PER_SECOND = 2 * pcm.OUTPUT_RATE

# A frequency whose period is no whole number of samples or fragments, so that audio lost or
# repeated anywhere shows as a jump in phase.
TONE_HZ = 1031.0
TONE_AMPLITUDE = 0.5


def libpulse_path():
    """Where the dynamic linker finds libpulse.so.0, or None."""
    listing = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout
    for line in listing.splitlines():
        name, _, path = line.strip().partition(" => ")
        if name.startswith("libpulse.so.0 ") and "x86-64" in name:
            return os.path.realpath(path)
    return None


class ProgramTestCase(unittest.TestCase):
    """Runs the program against `self.server` and checks how it ends."""

    def launch(self, env=None, collect_stdout=True, prefix=()):
        program = Sysaudio(BINARY, env or self.server.env(), collect_stdout, prefix)
        self.addCleanup(program.kill)
        return program

    def assertEndsCleanly(self, program, signum):
        self.assertEqual(program.end_with(signum), 0, f"status after {signum.name}")

    def assertAliveAndIdle(self, program, seconds=1.5):
        before = program.cpu_seconds()
        time.sleep(seconds)
        self.assertTrue(program.alive(), "the program ended on its own")
        # Idle: no loop spinning. Generous, so a loaded machine does not make it fail.
        self.assertLess(program.cpu_seconds() - before, 0.5 * seconds)


class ServerTestCase(ProgramTestCase):
    """One private server for the tests of a class; stopped by pid whatever they do."""

    sinks = ("speakers",)
    default_sink = None

    @classmethod
    def setUpClass(cls):
        cls.server = SERVER()
        cls.addClassCleanup(cls.server.stop)
        cls.server.start(sinks=cls.sinks, default=cls.default_sink)


class CapturedAudioTest(ServerTestCase):
    """What a played sound becomes on standard output."""

    # The default sink is not the server's first one: the program must take the default.
    sinks = ("elsewhere", "speakers")
    default_sink = "speakers"

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.server.keep_awake("speakers")
        cls.clips = tempfile.mkdtemp(prefix="sysaudio-e2e-clips-")
        cls.tones = os.path.join(cls.clips, "tones.wav")
        # Both channels, a pause, then the left channel alone.
        pcm.write_stereo_wav(cls.tones, [
            (1.0, TONE_HZ, TONE_AMPLITUDE, TONE_AMPLITUDE),
            (0.5, 0, 0, 0),
            (1.0, TONE_HZ, TONE_AMPLITUDE, 0),
        ])
        cls.elsewhere = os.path.join(cls.clips, "elsewhere.wav")
        pcm.write_stereo_wav(cls.elsewhere, [(0.6, 440.0, 0.5, 0.5)])

    @classmethod
    def tearDownClass(cls):
        for name in os.listdir(cls.clips):
            os.unlink(os.path.join(cls.clips, name))
        os.rmdir(cls.clips)
        super().tearDownClass()

    def capture_while(self, play):
        program = self.launch()
        program.wait_for_output()
        started = time.monotonic()
        play()
        time.sleep(0.5)
        self.assertEndsCleanly(program, signal.SIGINT)
        return program, time.monotonic() - started

    def test_tones_come_out_as_headerless_16k_mono_s16le(self):
        program, _ = self.capture_while(lambda: self.server.play(self.tones, "speakers"))
        out = program.stdout()
        self.assertEqual(program.stderr(), b"")
        self.assertFalse(out.startswith(b"RIFF"), "a header in the stream")
        self.assertEqual(len(out) % 2, 0, "half a sample")

        samples = pcm.samples_from_s16le(out)
        tones = self.tones_in(samples)
        self.assertEqual(len(tones), 2, f"expected the two tones, found {tones}")
        for runs in tones:
            self.assertAlmostEqual(sum(end - start for start, end in runs) / pcm.OUTPUT_RATE, 1.0,
                                   delta=0.06, msg="a tone's length at 16 kHz")
        # The longest stretch of each tone, edges trimmed by 50 ms.
        both, left = ([samples[a + 800:b - 800]
                       for a, b in (max(runs, key=lambda r: r[1] - r[0]) for runs in tones)])

        with self.subTest("frequency and level"):
            self.assertAlmostEqual(self.frequency_of(both), TONE_HZ, delta=3.0)
            expected = pcm.dbfs(TONE_AMPLITUDE / 2 ** 0.5)
            self.assertAlmostEqual(pcm.dbfs(pcm.rms(both)), expected, delta=1.0)
        if SERVER.name == "pulseaudio":
            # Only here: PipeWire's pulse server without real-time scheduling now and then
            # cuts a gap into a playing tone by itself (parec, recording the same monitor at
            # the same time, shows the very same gap), which no check of ours can tell from a
            # gap of our own. Audio we lose or repeat there still shows in the tones' lengths.
            with self.subTest("continuous: no audio lost or repeated"):
                for tone in (both, left):
                    jump = pcm.largest_phase_jump(pcm.block_phases(tone, TONE_HZ))
                    self.assertLess(jump, 0.25, "phase jump (radians) inside a tone")
        with self.subTest("stereo averaged: one channel alone is 6 dB lower"):
            difference = pcm.dbfs(pcm.rms(both)) - pcm.dbfs(pcm.rms(left))
            self.assertAlmostEqual(difference, 6.02, delta=0.75)

    @staticmethod
    def tones_in(samples):
        """The loud runs, grouped into tones. On PipeWire a run broken by a short gap (under
        0.2 s; the pause between the tones is 0.5 s) is one tone: the server's own glitch,
        see above. Elsewhere every run is a tone of its own."""
        tones = []
        for run in pcm.loud_runs(samples):
            server_gap = tones and run[0] - tones[-1][-1][1] < 0.2 * pcm.OUTPUT_RATE
            if SERVER.name == "pipewire" and server_gap:
                tones[-1].append(run)
            else:
                tones.append([run])
        return tones

    @staticmethod
    def frequency_of(tone):
        # Zero crossings count each crossing a PipeWire glitch adds (the low-level ringing of a
        # gap); the spectral peak does not move with it.
        if SERVER.name == "pipewire":
            return pcm.spectral_peak_frequency(tone[:8000], TONE_HZ - 200, TONE_HZ + 200)
        return pcm.zero_crossing_frequency(tone)

    def test_records_the_default_sink_only(self):
        program, elapsed = self.capture_while(lambda: self.server.play(self.elsewhere,
                                                                       "elsewhere"))
        samples = pcm.samples_from_s16le(program.stdout())
        self.assertEqual(program.stderr(), b"")
        self.assertLess(max((abs(s) for s in samples), default=1.0), 1e-3,
                        "sound from a sink that is not the default")
        # The silence is there all the same, at the output rate.
        self.assertGreater(len(samples), 0.5 * elapsed * pcm.OUTPUT_RATE)


class TerminationTest(ServerTestCase):
    """SIGINT and SIGTERM end the program with status 0 whatever it is doing."""

    def test_while_capturing(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signum.name):
                program = self.launch()
                program.wait_for_output()
                self.assertEndsCleanly(program, signum)
                self.assertEqual(program.stderr(), b"")

    def test_right_after_launch(self):
        for signum in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signum.name):
                program = self.launch()
                program.wait_for_handlers()
                self.assertEndsCleanly(program, signum)

    def test_closed_reader_ends_the_program(self):
        program = self.launch(collect_stdout=False)
        self.assertTrue(program.process.stdout.read(3200))
        program.close_stdout()
        # Ends by itself, promptly, at its next write.
        self.assertEqual(program.process.wait(timeout=10), -signal.SIGPIPE)


class StartFailureTest(ServerTestCase):
    """Nothing to capture: one diagnostic line, then the program waits for a signal. The
    server has no sinks; the tests that need no server at all point the program elsewhere."""

    sinks = ()

    def env_without_server(self, server_path):
        env = self.server.env()
        env["PULSE_SERVER"] = f"unix:{server_path}"
        return env

    def test_missing_server(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signum.name):
                missing = os.path.join(self.server.dir, "nobody-here")
                program = self.launch(self.env_without_server(missing))
                program.wait_for_stderr("\n")
                self.assertAliveAndIdle(program)
                err = program.stderr().decode()
                self.assertTrue(err.startswith(FAILED_TO_START), err)
                self.assertEqual(err.count("\n"), 1, err)
                self.assertIn('Domain=PulseAudio Code=6 "Connection refused"', err)
                self.assertEqual(program.stdout(), b"")
                self.assertEndsCleanly(program, signum)

    def test_server_that_never_answers(self):
        path = os.path.join(self.server.dir, "silent-server")
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(path)
        listener.listen(4)
        program = self.launch(self.env_without_server(path))
        program.wait_for_stderr("\n", timeout=30)
        err = program.stderr().decode()
        self.assertTrue(err.startswith(FAILED_TO_START), err)
        self.assertIn('"Timeout"', err)
        self.assertTrue(program.alive())
        self.assertEndsCleanly(program, signal.SIGTERM)

    def test_missing_client_library(self):
        # libpulse is loaded once the program runs, not by the program loader: a machine
        # without it gets the usual failure line, not a loader error and status 127.
        library = libpulse_path()
        if os.geteuid() != 0 or not library or subprocess.run(
                ["unshare", "-m", "true"], capture_output=True).returncode != 0:
            self.skipTest("needs root and mount namespaces to hide libpulse")
        hide = ["unshare", "-m", "sh", "-c", f'mount --bind /dev/null "{library}" && exec "$0"']
        program = self.launch(prefix=hide)
        program.wait_for_stderr("\n")
        self.assertAliveAndIdle(program)
        err = program.stderr().decode()
        self.assertEqual(err.count("\n"), 1, err)
        self.assertTrue(err.startswith(FAILED_TO_START + 'Error Domain=PulseAudio Code=-1 "'), err)
        self.assertIn("libpulse.so.0", err)
        self.assertEqual(program.stdout(), b"")
        self.assertEndsCleanly(program, signal.SIGTERM)

    def test_server_without_sinks(self):
        program = self.launch()
        program.wait_for_stderr("\n")
        self.assertAliveAndIdle(program)
        self.assertEqual(program.stderr().decode(), NO_DISPLAY)
        self.assertEqual(program.stdout(), b"")
        self.assertEndsCleanly(program, signal.SIGTERM)


class ServerLossTest(ProgramTestCase):
    """The server going away while capturing: one line, and nothing more. (A sink going away
    is not a loss: test_robustness.DeviceFollowingTest.)"""

    def setUp(self):
        # Each test takes its server down: a fresh one each time.
        self.server = SERVER()
        self.addCleanup(self.server.stop)
        self.server.start()

    def assertStoppedOnce(self, program):
        program.wait_for_stderr("\n")
        self.assertAliveAndIdle(program)
        err = program.stderr().decode()
        self.assertTrue(err.startswith(STOPPED), err)
        self.assertEqual(err.count("\n"), 1, err)
        self.assertIn("Domain=PulseAudio", err)

    def test_server_killed(self):
        program = self.launch()
        program.wait_for_output()
        self.server.kill()
        self.assertStoppedOnce(program)
        self.assertEndsCleanly(program, signal.SIGTERM)
