"""The recorders compared: sysaudio, and the two stock ways of getting 16 kHz mono s16le of a
sink's monitor on standard output, each at the lowest latency it can be asked for.

parec and ffmpeg ask the server for 16 kHz mono, so the server resamples for them; sysaudio
takes 48 kHz stereo float32 and resamples itself. Their CPU columns are not the whole cost,
which is why the table shows the server's share during each recording too."""
import shutil
from dataclasses import dataclass
from typing import Callable, List

OUT_RATE = 16000
BYTES_PER_SECOND = 2 * OUT_RATE

# pacat's smallest latency request: the server raises it to the least the source allows.
PAREC_LATENCY_MSEC = 1
# sysaudio's own fragment: parec asked for the same is the like-for-like row. A 1 ms request
# makes the server render in 1 ms periods for every client, so that row is for reference.
SYSAUDIO_FRAGMENT_MSEC = 10
# ffmpeg's pulse input asks for fragments of this many bytes (1 ms at 16 kHz s16 mono) and
# hands on each as a packet; the default is 50 ms.
FFMPEG_FRAGMENT_BYTES = 2 * OUT_RATE // 1000


@dataclass
class Recorder:
    name: str
    argv: Callable[[str], List[str]]  # from the monitor source's name
    binary: str

    def available(self):
        return shutil.which(self.binary) is not None


def sysaudio(binary, name="sysaudio"):
    # It finds the default sink itself: the one whose monitor the others record.
    return Recorder(name, lambda monitor: [binary], binary)


def parec(latency_msec=PAREC_LATENCY_MSEC, name="parec"):
    return Recorder(name, lambda monitor: [
        "parec", f"--device={monitor}", "--format=s16le", f"--rate={OUT_RATE}", "--channels=1",
        "--raw", f"--latency-msec={latency_msec:g}", "--stream-name=bench-parec"], "parec")


def parec_at_fragment(fragment_msec):
    return parec(fragment_msec, f"parec-{fragment_msec:g}ms")


def ffmpeg():
    return Recorder("ffmpeg", lambda monitor: [
        "ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-nostats",
        "-probesize", "32", "-analyzeduration", "0", "-fflags", "nobuffer",
        "-flags", "low_delay", "-f", "pulse", "-sample_rate", str(OUT_RATE), "-channels", "1",
        "-fragment_size", str(FFMPEG_FRAGMENT_BYTES), "-stream_name", "bench-ffmpeg",
        "-i", monitor, "-f", "s16le", "-acodec", "pcm_s16le", "-ar", str(OUT_RATE), "-ac", "1",
        "-flush_packets", "1", "-"], "ffmpeg")


def all_recorders(sysaudio_binary, fragment_msec=SYSAUDIO_FRAGMENT_MSEC, before_binary=None):
    before = [sysaudio(before_binary, "sysaudio-before")] if before_binary else []
    return [sysaudio(sysaudio_binary), *before, parec_at_fragment(fragment_msec), parec(),
            ffmpeg()]
