"""Reading the program's output and making test sounds, with the standard library only."""

import array
import cmath
import math
import struct
import sys
import wave

OUTPUT_RATE = 16000


def samples_from_s16le(data):
    """The program's output as a list of floats in [-1, 1)."""
    values = array.array("h")
    values.frombytes(data[: len(data) - len(data) % 2])
    if sys.byteorder != "little":
        values.byteswap()
    return [v / 32768.0 for v in values]


def write_stereo_wav(path, segments, rate=48000):
    """Writes 16-bit stereo; each segment is (seconds, frequency, left_amplitude,
    right_amplitude), silence when the amplitudes are 0."""
    frames = bytearray()
    for seconds, frequency, left, right in segments:
        for n in range(int(seconds * rate)):
            value = math.sin(2 * math.pi * frequency * n / rate)
            frames += struct.pack("<hh", round(32767 * left * value), round(32767 * right * value))
    with wave.open(path, "wb") as out:
        out.setnchannels(2)
        out.setsampwidth(2)
        out.setframerate(rate)
        out.writeframes(bytes(frames))


def rms(samples):
    return math.sqrt(sum(s * s for s in samples) / len(samples)) if samples else 0.0


def dbfs(value):
    return 20 * math.log10(value) if value > 0 else -math.inf


def loud_runs(samples, threshold_dbfs=-30.0, window=160):
    """The stretches (start, end) in samples whose 10 ms windows are above the threshold."""
    runs, start = [], None
    for at in range(0, len(samples) - window + 1, window):
        loud = dbfs(rms(samples[at:at + window])) > threshold_dbfs
        if loud and start is None:
            start = at
        elif not loud and start is not None:
            runs.append((start, at))
            start = None
    if start is not None:
        runs.append((start, len(samples) - len(samples) % window))
    return runs


def zero_crossing_frequency(samples, rate=OUTPUT_RATE):
    rising = [n for n in range(1, len(samples)) if samples[n - 1] < 0 <= samples[n]]
    if len(rising) < 2:
        return 0.0
    return (len(rising) - 1) * rate / (rising[-1] - rising[0])


def spectral_peak_frequency(samples, low, high, rate=OUTPUT_RATE):
    """The frequency in [low, high] with the most energy, to a tenth of a hertz: unlike zero
    crossings, a gap or a click in a tone does not move it."""
    def energy(frequency):
        step = -2j * math.pi * frequency / rate
        return abs(sum(s * cmath.exp(step * n) for n, s in enumerate(samples)))

    best = max((low + 5.0 * k for k in range(int((high - low) / 5.0) + 1)), key=energy)
    return max((best - 5.0 + 0.1 * k for k in range(101)), key=energy)


def block_phases(samples, frequency, block=160, rate=OUTPUT_RATE):
    """The phase of `frequency` in each block, measured against one clock running from the
    first sample: constant while the tone runs on without a gap or a repeat."""
    phases = []
    step = 2 * math.pi * frequency / rate
    for at in range(0, len(samples) - block + 1, block):
        total = sum(samples[n] * cmath.exp(-1j * step * n) for n in range(at, at + block))
        phases.append(cmath.phase(total))
    return phases


def largest_phase_jump(phases):
    jumps = [abs(cmath.phase(cmath.exp(1j * (b - a)))) for a, b in zip(phases, phases[1:])]
    return max(jumps, default=0.0)


def tone_levels(samples, frequency, block=160, rate=OUTPUT_RATE):
    """The amplitude of `frequency` in each block of `block` samples (a single-bin DFT)."""
    step = 2 * math.pi * frequency / rate
    basis = [cmath.exp(-1j * step * n) for n in range(block)]
    levels = []
    for at in range(0, len(samples) - block + 1, block):
        total = sum(s * b for s, b in zip(samples[at:at + block], basis))
        levels.append(2 * abs(total) / block)
    return levels
