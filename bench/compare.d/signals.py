"""Test signals for bench/compare: one quality signal made of segments, and a CPU load signal.

Everything is 48 kHz interleaved stereo float32 with both channels equal, so a peer that sums
instead of averaging shows up as +6 dB in the passband column.
"""
import dataclasses

import numpy as np

IN_RATE = 48000
OUT_RATE = 16000
CHUNK = 480
TONE_LEVEL = 10 ** (-1 / 20)  # -1 dBFS
TONE_PHASE = 0.3  # radians at a segment's first frame
FADE_S = 0.005  # raised-cosine edges keep a segment's start from splattering into its neighbours
CLICK_CUTOFF_HZ = 5000.0  # the click stays well inside every peer's passband
CLICK_HALF_S = 0.003
THD_FREQ = 997.0  # "1 kHz", off the output grid so rounding noise does not fold onto harmonics


@dataclasses.dataclass
class Segment:
    kind: str  # "click", "passband", "alias" or "long"
    freq: float
    start: int  # input frame
    length: int  # input frames

    @property
    def click_frame(self):
        return self.start + self.length // 4


@dataclasses.dataclass
class Layout:
    segments: list
    frames: int


def click_shape(t):
    """A band-limited click: a Blackman-windowed sinc, as a function of time in seconds."""
    x = np.clip(t / CLICK_HALF_S, -1.0, 1.0)
    window = 0.42 + 0.5 * np.cos(np.pi * x) + 0.08 * np.cos(2 * np.pi * x)
    window = np.where(np.abs(t) < CLICK_HALF_S, window, 0.0)
    return 0.5 * np.sinc(2 * CLICK_CUTOFF_HZ * t) * window


def alias_step_hz(quick):
    return 250 if quick else 25


def quality_layout(quick):
    tone_s = 0.15 if quick else 0.25
    long_s = 3.0 if quick else 10.0
    plan = [("click", 0.0, 0.4)]
    plan += [("passband", float(f), tone_s) for f in range(100, 7001, 100)]
    plan += [("alias", float(f), tone_s) for f in range(8500, 20001, alias_step_hz(quick))]
    plan += [("long", THD_FREQ, long_s)]
    segments = []
    position = int(0.1 * IN_RATE)  # lead-in silence
    for kind, freq, seconds in plan:
        length = int(round(seconds * IN_RATE / CHUNK)) * CHUNK
        segments.append(Segment(kind, freq, position, length))
        position += length
    return Layout(segments, position + int(0.1 * IN_RATE))


def _tone(segment):
    t = np.arange(segment.length) / IN_RATE
    tone = TONE_LEVEL * np.sin(2 * np.pi * segment.freq * t + TONE_PHASE)
    fade = int(FADE_S * IN_RATE)
    ramp = 0.5 - 0.5 * np.cos(np.pi * np.arange(fade) / fade)
    tone[:fade] *= ramp
    tone[-fade:] *= ramp[::-1]
    return tone


def quality_signal(layout):
    mono = np.zeros(layout.frames)
    for segment in layout.segments:
        span = slice(segment.start, segment.start + segment.length)
        if segment.kind == "click":
            t = (np.arange(segment.length) + segment.start - segment.click_frame) / IN_RATE
            mono[span] = click_shape(t)
        else:
            mono[span] = _tone(segment)
    return np.repeat(mono.astype(np.float32), 2)


def _speech_like_piece(seconds, rng):
    """Noise with a speech-like spectrum (falling 6 dB/octave above 500 Hz, little below 100
    Hz) under a syllable-rate envelope with pauses, at about -20 dBFS."""
    n = int(seconds * IN_RATE)
    spectrum = np.fft.rfft(rng.standard_normal(n))
    f = np.fft.rfftfreq(n, 1 / IN_RATE)
    shape = (f / 100) ** 2 / (1 + (f / 100) ** 2) / np.sqrt(1 + (f / 500) ** 2)
    voice = np.fft.irfft(spectrum * shape, n)
    t = np.arange(n) / IN_RATE
    syllables = np.sin(2 * np.pi * 4.0 * t) ** 2
    phrases = (np.sin(2 * np.pi * 0.3 * t) > -0.6).astype(float)
    voice *= syllables * phrases
    voice *= 0.1 / np.sqrt(np.mean(voice**2))
    right = 0.8 * voice + 0.2 * np.roll(voice, 371)
    return np.stack([voice, right], axis=1).astype(np.float32).reshape(-1)


def write_cpu_signal(path, seconds):
    """Writes `seconds` of speech-like stereo audio, repeating a 30 s piece to save time."""
    piece = _speech_like_piece(min(30.0, seconds), np.random.default_rng(7))
    frames_left = int(seconds * IN_RATE)
    with open(path, "wb") as out:
        while frames_left > 0:
            take = min(frames_left, piece.size // 2)
            out.write(piece[: take * 2].tobytes())
            frames_left -= take
