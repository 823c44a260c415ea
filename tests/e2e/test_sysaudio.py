# sysaudio end to end: the real binary against a real private sound server (or none). The
# server kind and the binary come from the environment (SYSAUDIO_E2E_SERVER, SYSAUDIO_BINARY);
# run_e2e.py sets both.

import os
import re
import shutil
import signal
import socket
import subprocess
import time
import unittest

import pcm
from soundservers import SERVERS, parec_argv, spawn, wait_until, write
from sysaudio_process import Sysaudio

BINARY = os.environ.get("SYSAUDIO_BINARY", "")
SERVER = SERVERS[os.environ.get("SYSAUDIO_E2E_SERVER", "pulseaudio")]
# Sanitized builds run several times slower: their timing is printed, not judged, and their
# allocators keep freed memory on purpose.
SANITIZED = bool(os.environ.get("SYSAUDIO_SANITIZED"))
FAILED_TO_START = "SystemAudioCapturer failed to start: "
NOT_LOADED = FAILED_TO_START + 'Error Domain=PulseAudio Code=-1 "'
STOPPED = "SystemAudioCapturer stopped: "
REFUSED = 'Domain=PulseAudio Code=6 "Connection refused"'
BYTES_PER_SECOND = 2 * pcm.OUTPUT_RATE
SIGNALS = (signal.SIGINT, signal.SIGTERM)
# A frequency whose period is no whole number of samples or fragments, so that audio lost or
# repeated anywhere shows as a jump in phase.
TONE_HZ = 1031.0


class ProgramTestCase(unittest.TestCase):
    # A fresh private server per test (tests take sinks and servers away), its sinks kept
    # rendering in small steps like real devices; None: the server is never started.
    sinks = ("speakers",)
    default_sink = None
    keep_awake = True

    def setUp(self):
        self.server = SERVER()
        self.addCleanup(self.server.stop)
        if self.sinks is not None:
            self.server.start(sinks=self.sinks, default=self.default_sink)
            for sink in self.sinks if self.keep_awake else ():
                self.server.keep_awake(sink)

    def launch(self, env=None, collect_stdout=True, **output):
        program = Sysaudio(BINARY, env or self.server.env(), collect_stdout, **output)
        self.addCleanup(program.kill)
        return program

    def record_with_parec(self, name, *source):
        # A recorder of the server's own, in the program's output format: answers its file's
        # path and the process, which SIGINT ends.
        path = f"{self.server.dir}/{name}.raw"
        with open(path, "wb") as out:
            return path, spawn(parec_argv(*source), self.server.env(), stdout=out,
                               stderr=subprocess.DEVNULL)

    def recorded(self, program):
        # What the program's record streams take, as the server says: the sink whose monitor,
        # or one of whose inputs, each is on (pipewire-pulse lists a stream attached to an
        # input on no source, the input as its target), or the name of any other source.
        sinks = {s["index"]: s["name"] for s in self.server.listing("sinks")}
        inputs = {str(i["index"]): sinks.get(i["sink"]) for i in self.server.listing("sink-inputs")}
        return {inputs.get(properties.get("target.object"), "?") if source is None
                else source.removesuffix(".monitor")
                for source, properties in self.server.recorded_sources(program.pid)}

    def assertEndsCleanly(self, program, signum=signal.SIGTERM, quiet=True):
        # Status 0 after `signum`, no diagnostic line if `quiet`; answers the samples.
        self.assertEqual(program.end_with(signum), 0, f"status after {signum.name}")
        if quiet:
            self.assertEqual(program.stderr(), b"", "a diagnostic line appeared")
        return pcm.samples_from_s16le(program.stdout())

    def assertToldOnceAndIdle(self, program, start, detail="", audio_before=False):
        # One diagnostic line starting with `start`, no audio unless `audio_before`, and the
        # program left waiting for a signal without spinning.
        program.wait_for_stderr("\n", timeout=30)
        before = program.cpu_seconds()
        time.sleep(1.5)
        self.assertIsNone(program.process.poll(), "the program ended on its own")
        # Generous, so a loaded machine does not make it fail; a spinning loop takes it all.
        self.assertLess(program.cpu_seconds() - before, 0.75)
        err = program.stderr().decode()
        self.assertTrue(err.startswith(start) and err.count("\n") == 1 and detail in err, err)
        if not audio_before:
            self.assertEqual(program.stdout(), b"")


class CapturedAudioTest(ProgramTestCase):
    # Two outputs, the default not the server's first: every one is recorded.
    sinks, default_sink = ("elsewhere", "speakers"), "speakers"

    def test_tones_come_out_as_headerless_16k_mono_s16le(self):
        # Both channels, a pause, then the left channel alone.
        clip = pcm.write_stereo_wav(os.path.join(self.server.dir, "clip.wav"), [
            (1.0, TONE_HZ, 0.5, 0.5), (0.5, 0, 0, 0), (1.0, TONE_HZ, 0.5, 0)])
        program = self.launch()
        program.wait_for_output()
        # The silent players that keep each sink awake, each recorded.
        where = wait_until(lambda: self.recorded(program) == set(self.sinks) and
                           self.recorded(program), 10, what="the recordings on the server")
        properties = self.server.recorded_sources(program.pid)[0][1]
        self.server.play(clip, "speakers")
        time.sleep(0.5)
        samples = self.assertEndsCleanly(program, signal.SIGINT)
        out = program.stdout()
        self.assertFalse(out.startswith(b"RIFF") or len(out) % 2, "a header or half a sample")
        tones = pcm.tones(samples)  # a loaded server's short gaps do not split a tone
        self.assertEqual(len(tones), 2, f"expected the two tones, found {tones}")
        for runs in tones:
            self.assertAlmostEqual(pcm.loud_seconds(runs), 1.0, delta=0.06, msg="length")
        # The longest stretch of each tone, edges trimmed by 50 ms.
        both, left = ([samples[a + 800:b - 800]
                       for a, b in (max(runs, key=lambda r: r[1] - r[0]) for runs in tones)])
        self.assertAlmostEqual(pcm.peak_frequency(both), TONE_HZ, delta=3.0)
        self.assertAlmostEqual(pcm.dbfs_rms(both), -9.03, delta=1.0)  # a sine at half scale
        # Stereo averaged: one channel alone is 6 dB lower.
        self.assertAlmostEqual(pcm.dbfs_rms(both) - pcm.dbfs_rms(left), 6.02, delta=0.75)
        # Continuous: no audio lost or repeated inside a run. PipeWire 0.3.65's graph now and
        # then shifts a playing stream's phase by itself (parec, recording the same monitor,
        # shows the same); audio we lose or repeat there still shows in the tones' lengths.
        for a, b in (run for runs in tones for run in runs if run[1] - run[0] > 3200):
            if SERVER.name != "pipewire":
                self.assertLess(pcm.largest_phase_jump(samples[a + 800:b - 800], TONE_HZ), 0.25)
        # What the server shows: every sink recorded, and the properties mixers list the
        # recordings by.
        with open(os.path.join(os.path.dirname(__file__), "../../CMakeLists.txt")) as cmake:
            version = re.search(r"project\(sysaudio VERSION (\S+)", cmake.read()).group(1)
        expected = {"application.name": "sysaudio", "application.id": "sysaudio",
                    "application.version": version, "application.icon_name": "audio-card"}
        self.assertEqual(where, {"elsewhere", "speakers"})
        self.assertEqual({key: properties.get(key) for key in expected}, expected)
        # One stream per input, named after it.
        self.assertRegex(properties.get("media.name"), r"^Input \d+$")
        # A role can make the server process the audio ("phone": echo cancellation).
        self.assertNotIn("media.role", properties)


class TerminationTest(ProgramTestCase):
    def test_signals_right_after_launch_and_while_capturing(self):
        for signum, capturing in ((s, c) for s in SIGNALS for c in (False, True)):
            with self.subTest(signum.name, capturing=capturing):
                program = self.launch()
                program.wait_for_output() if capturing else program.wait_for_handlers()
                self.assertEndsCleanly(program, signum)

    def test_closed_reader_ends_the_program(self):
        program = self.launch(collect_stdout=False)
        self.assertTrue(program.process.stdout.read(3200))
        program.process.stdout.close()
        # Ends by itself, promptly, at its next write.
        self.assertEqual(program.process.wait(timeout=10), -signal.SIGPIPE)

    def test_terminal_as_standard_output(self):
        # Raw samples would garble the terminal: refused, whatever there is to record.
        terminal, program_side = os.openpty()
        self.addCleanup(os.close, terminal)
        program = self.launch(collect_stdout=False, stdout=program_side)
        os.close(program_side)
        self.assertToldOnceAndIdle(program, FAILED_TO_START, "standard output is a terminal")
        os.set_blocking(terminal, False)  # read while the program holds its side open
        self.assertRaises(BlockingIOError, os.read, terminal, 1)
        self.assertEndsCleanly(program, quiet=False)


class StartFailureTest(ProgramTestCase):
    sinks = ()

    def test_server_without_sinks(self):
        program = self.launch()
        self.assertToldOnceAndIdle(program, "SystemAudioCapturer: no display found\n")
        self.assertEndsCleanly(program, quiet=False)


class NoServerTest(ProgramTestCase):
    # The same on every machine, so it runs once, not per server.
    sinks = None

    def assertFailsToStart(self, start, detail, path="nobody-here", signum=signal.SIGTERM, **env):
        program = self.launch({**self.server.env(), **env,
                               "PULSE_SERVER": f"unix:{self.server.dir}/{path}"})
        self.assertToldOnceAndIdle(program, start, detail)
        self.assertEndsCleanly(program, signum, quiet=False)

    def test_missing_server(self):
        for signum in SIGNALS:
            with self.subTest(signum.name):
                self.assertFailsToStart(FAILED_TO_START, REFUSED, signum=signum)

    def test_server_that_never_answers(self):
        listener = socket.create_server(f"{self.server.dir}/silent-server", family=socket.AF_UNIX)
        self.addCleanup(listener.close)
        # A signal while the start still waits for the server ends the program at once.
        for signum in SIGNALS:
            with self.subTest(f"{signum.name} during the start"):
                program = self.launch({**self.server.env(),
                                       "PULSE_SERVER": f"unix:{self.server.dir}/silent-server"})
                program.wait_for_handlers()
                time.sleep(0.5)
                self.assertEndsCleanly(program, signum)
                self.assertEqual(program.stdout(), b"")
        # Left alone, the start gives up with one line.
        self.assertFailsToStart(FAILED_TO_START, '"Timeout"', path="silent-server")

    def test_client_library_missing_or_lacking_a_function(self):
        # libpulse is loaded once the program runs, not by the program loader, and every
        # function the program calls is looked up then: a library that cannot be loaded, or
        # one lacking a function first needed once audio flows, is the usual failure line at
        # the start, not a loader error and status 127.
        listing = subprocess.run(["ldconfig", "-p"], capture_output=True, text=True).stdout
        library = next((os.path.realpath(line.split(" => ")[1]) for line in listing.splitlines()
                        if line.strip().startswith("libpulse.so.0 ") and "x86-64" in line), None)
        hidden, compiler = "pa_stream_drop", shutil.which("cc")
        if not library or not compiler:
            self.skipTest("needs libpulse and a C compiler to build the stub")
        names = set(re.findall(r" T (\w+)", subprocess.run(
            ["nm", "-D", "--defined-only", library], check=True, capture_output=True,
            text=True).stdout))
        self.assertIn(hidden, names)
        empty, lacking = (os.path.join(self.server.dir, name) for name in ("empty", "lacking"))
        write(f"{empty}/libpulse.so.0", "")  # as the loader finds a missing or broken one
        # Never called: a program that looks every function up first stops before.
        write(source := f"{lacking}/stub.c",
              "".join(f"void {name}(void) {{}}\n" for name in sorted(names - {hidden})))
        subprocess.run(["cc", "-shared", "-fPIC", "-Wl,-soname,libpulse.so.0", "-o",
                        f"{lacking}/libpulse.so.0", source], check=True)
        for directory, detail in ((empty, "libpulse.so.0"), (lacking, hidden)):
            with self.subTest(detail):
                self.assertFailsToStart(NOT_LOADED, detail, LD_LIBRARY_PATH=directory)
