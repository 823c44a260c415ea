"""The converters under comparison, each as a command that reads 48 kHz stereo float32 on
standard input and writes 16 kHz mono s16le (or float32, for the alias check) on standard output."""
import dataclasses
import os
import subprocess
import tempfile

SOX_IN = ["-t", "raw", "-r", "48000", "-e", "floating-point", "-b", "32", "-c", "2", "-"]
# sox -D: no dither, so every row rounds the same way and the int16 floor is the same.
# remix 1v0.5,2v0.5: the average of the two channels, as the program does.
SOX_MONO = ["remix", "1v0.5,2v0.5"]
FFMPEG_IN = ["-hide_banner", "-loglevel", "error", "-nostdin", "-nostats",
             "-f", "f32le", "-ar", "48000", "-ac", "2", "-i", "pipe:0"]
FFMPEG_MONO = "pan=mono|c0=0.5*c0+0.5*c1"


@dataclasses.dataclass
class Peer:
    name: str
    command: object  # callable(float_output: bool, held_back_path or None) -> argv
    chunked: bool  # fed in 480-frame chunks, so held-back frames can be counted
    logs_held_back: bool = False  # writes its own held-back count after every chunk

    def argv(self, float_output=False, held_back=None):
        return self.command(float_output, held_back)


def _sox(rate_args):
    def command(float_output, _held_back):
        out = ["-e", "floating-point", "-b", "32"] if float_output else ["-e", "signed-integer",
                                                                          "-b", "16"]
        return ["sox", "-D", "-V1"] + SOX_IN + ["-t", "raw", "-c", "1"] + out + ["-"] + \
            SOX_MONO + ["rate"] + rate_args + ["16000"]
    return command


def _ffmpeg(resample):
    def command(float_output, _held_back):
        out = ["-f", "f32le", "-c:a", "pcm_f32le"] if float_output else ["-f", "s16le", "-c:a",
                                                                        "pcm_s16le"]
        return ["ffmpeg"] + FFMPEG_IN + ["-af", FFMPEG_MONO + "," + resample] + out + ["pipe:1"]
    return command


def _library(binary, recipe):
    def command(float_output, held_back):
        argv = [binary] + recipe + (["--float"] if float_output else [])
        return argv + (["--held-back", held_back] if held_back else [])
    return command


def all_peers(build_dir):
    sample_path = os.path.join(build_dir, "tools", "sample-path")
    library = os.path.join(build_dir, "bench", "resampler-peer")
    peers = [Peer("sample-path", lambda f, h: [sample_path, "--frames", "480"], True)]
    peers += [Peer("sox rate", _sox([]), False), Peer("sox rate -v", _sox(["-v"]), False)]
    peers += [Peer("ffmpeg swr", _ffmpeg("aresample=16000"), False),
              Peer("ffmpeg soxr", _ffmpeg("aresample=16000:resampler=soxr"), False)]
    peers += [Peer(f"speexdsp q{q}", _library(library, ["speex", str(q)]), True, True)
              for q in (6, 7, 8)]
    peers.append(Peer("libsoxr HQ", _library(library, ["soxr-hq"]), True, True))
    return peers


def can_write_float(peer):
    return peer.name != "sample-path"


# sample-path only writes s16, but it stays linear above full scale until that last rounding,
# so 40 dB more input lifts its aliases 40 dB above the int16 floor without changing the ratio.
ALIAS_LIFT_DB = 40.0


def run(argv, input_path, output_path=None):
    """Runs one conversion; returns user+sys CPU seconds of the child. Raises on failure."""
    with open(input_path, "rb") as source:
        sink = open(output_path, "wb") if output_path else subprocess.DEVNULL
        # A file, not a pipe, for diagnostics: nothing reads them until the child has ended.
        with tempfile.TemporaryFile() as errors:
            try:
                child = subprocess.Popen(argv, stdin=source, stdout=sink, stderr=errors)
                _, status, usage = os.wait4(child.pid, 0)
                child.returncode = os.waitstatus_to_exitcode(status)
            finally:
                if output_path:
                    sink.close()
            errors.seek(0)
            text = errors.read().decode(errors="replace").strip()
    if child.returncode != 0:
        raise RuntimeError(f"{' '.join(argv)} failed ({child.returncode}): {text}")
    return usage.ru_utime + usage.ru_stime
