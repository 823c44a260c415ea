"""What the sound server shows of sysaudio's recording, read back from the server: the
properties a mixer lists it by, and the source it records, which is never a microphone."""

import json
import os
import re
import signal
import time
import unittest

import pcm
from soundservers import SERVERS, wait_until
from sysaudio_process import Sysaudio

HERE = os.path.dirname(os.path.abspath(__file__))
BINARY = os.environ.get("SYSAUDIO_BINARY", "")
SERVER = SERVERS[os.environ.get("SYSAUDIO_E2E_SERVER", "pulseaudio")]
MICROPHONE_HZ = 700
LOUD = 0.05  # a tone's level in a 10 ms block, far above leakage


def project_version():
    with open(os.path.join(HERE, "..", "..", "CMakeLists.txt")) as cmake:
        return re.search(r"project\(sysaudio VERSION (\S+)", cmake.read()).group(1)


class ServerView:
    """The server's own account of the program's recordings (`pactl --format=json`)."""

    def __init__(self, server, pid):
        self.server = server
        self.pid = str(pid)

    def _list(self, kind):
        return json.loads(self.server.pactl("--format=json", "list", kind))

    def recordings(self):
        """(source name, properties) of each recording stream the program has."""
        sources = {s["index"]: s["name"] for s in self._list("sources")}
        return [(sources.get(o["source"]), o["properties"]) for o in self._list("source-outputs")
                if o["properties"].get("application.process.id") == self.pid]

    def sources_recorded(self):
        return {source for source, _ in self.recordings()}


class OwnServerTestCase(unittest.TestCase):
    """A fresh private server per test, and the program run against it."""

    sinks = ("speakers",)

    def setUp(self):
        self.server = SERVER()
        self.addCleanup(self.server.stop)
        self.server.start(sinks=self.sinks)
        for sink in self.sinks:
            self.server.keep_awake(sink)

    def launch(self):
        program = Sysaudio(BINARY, self.server.env())
        self.addCleanup(program.kill)
        return program

    def assertEndsCleanly(self, program):
        self.assertEqual(program.end_with(signal.SIGTERM), 0, "status after SIGTERM")


class StreamIdentityTest(OwnServerTestCase):

    def test_properties_name_the_program_and_what_it_records(self):
        program = self.launch()
        program.wait_for_output()
        view = ServerView(self.server, program.pid)
        recordings = wait_until(view.recordings, 10, what="the recording on the server")
        self.assertEndsCleanly(program)

        self.assertEqual(len(recordings), 1, recordings)
        source, properties = recordings[0]
        self.assertEqual(source, "speakers.monitor")
        sinks = json.loads(self.server.pactl("--format=json", "list", "sinks"))
        description = next(s["description"] for s in sinks if s["name"] == "speakers")
        expected = {
            "application.name": "sysaudio",
            "application.id": "sysaudio",
            "application.version": project_version(),
            "application.icon_name": "audio-card",
            "media.name": f"Monitor of {description}",
        }
        self.assertEqual({key: properties.get(key) for key in expected}, expected)
        # A role can make the server process the audio ("phone": echo cancellation).
        self.assertNotIn("media.role", properties)


class MicrophoneTest(OwnServerTestCase):
    """PulseAudio rescues a recording whose source goes away onto the default source: here a
    loud microphone, with no other sink to follow."""

    def test_recorded_sink_goes_while_a_microphone_is_the_default_source(self):
        if not hasattr(self.server, "add_microphone"):
            self.skipTest(f"{SERVER.name} has no sine source to stand for a microphone")
        self.server.add_microphone("microphone", frequency=MICROPHONE_HZ)
        program = self.launch()
        program.wait_for_output()
        view = ServerView(self.server, program.pid)
        self.assertEqual(wait_until(view.sources_recorded, 10, what="the recording"),
                         {"speakers.monitor"})

        self.server.remove_sink("speakers")
        seen = set()
        deadline = time.monotonic() + 2.0
        while time.monotonic() < deadline:
            seen |= view.sources_recorded()
            time.sleep(0.05)
        self.assertTrue(program.alive())
        self.assertEndsCleanly(program)

        self.assertNotIn("microphone", seen, "the server moved the recording to the microphone")
        samples = pcm.samples_from_s16le(program.stdout())
        loudest = max(pcm.tone_levels(samples, MICROPHONE_HZ), default=0.0)
        self.assertLess(loudest, LOUD, "the microphone was recorded")
