"""Figures of merit from a peer's output of the quality signal (see signals.py)."""
import math

import numpy as np

from signals import CLICK_HALF_S, IN_RATE, OUT_RATE, TONE_LEVEL, TONE_PHASE, click_shape

DECIMATION = IN_RATE // OUT_RATE
GUARD_S = 0.04  # skipped at both ends of a segment: filter transients and leftover delay
WINDOW = OUT_RATE // 100  # 10 ms
# A -1 dBFS tone against a sine of half an int16 step: aliases quieter than this round away.
S16_FLOOR_DB = 20 * math.log10(TONE_LEVEL * 32768 / 0.5)


def read_output(path, float_output=False):
    if float_output:
        return np.fromfile(path, dtype="<f4").astype(np.float64)
    return np.fromfile(path, dtype="<i2").astype(np.float64) / 32768.0


def click_delay(out, segment):
    """Seconds by which the click arrives late: the shift that best matches the output to the
    ideal click, first to the sample by correlation, then to 0.01 sample by a fine search."""
    centre = segment.click_frame / IN_RATE
    start = segment.start // DECIMATION
    region = out[start:(segment.start + segment.length) // DECIMATION]
    k = np.arange(region.size)
    t = (k + start) / OUT_RATE - centre
    reference = click_shape(t)
    lags = np.arange(-int(0.002 * OUT_RATE), region.size // 2)
    scores = [np.dot(region[max(lag, 0):region.size + min(lag, 0)],
                     reference[max(-lag, 0):reference.size - max(lag, 0)]) for lag in lags]
    coarse = lags[int(np.argmax(scores))] / OUT_RATE
    shifts = coarse + np.arange(-150, 151) / (100.0 * OUT_RATE)
    near = np.abs(t - coarse) < 4 * CLICK_HALF_S
    candidates = click_shape(t[near][None, :] - shifts[:, None])
    fit = candidates @ region[near] / np.sum(candidates**2, axis=1)
    errors = np.sum((region[near][None, :] - fit[:, None] * candidates) ** 2, axis=1)
    return float(shifts[int(np.argmin(errors))])


def align(out, delay_s):
    """The output moved earlier by the peer's delay, so segments line up with the input."""
    shift = int(round(delay_s * OUT_RATE))
    return out[shift:] if shift >= 0 else np.concatenate([np.zeros(-shift), out])


def _window(out, segment):
    guard = int(GUARD_S * OUT_RATE)
    first = segment.start // DECIMATION + guard
    last = (segment.start + segment.length) // DECIMATION - guard
    return first, out[first:last]


def _sine_fit(first, y, freq):
    """Least-squares sine (and offset) at a known frequency; returns (amplitude, fit)."""
    t = (np.arange(y.size) + first) / OUT_RATE
    basis = np.stack([np.cos(2 * np.pi * freq * t), np.sin(2 * np.pi * freq * t),
                      np.ones_like(t)], axis=1)
    coefficients, *_ = np.linalg.lstsq(basis, y, rcond=None)
    return math.hypot(coefficients[0], coefficients[1]), basis @ coefficients


def passband_error(out, segments):
    """(worst deviation in dB, its frequency) over the passband tones."""
    deviations = []
    for segment in segments:
        first, y = _window(out, segment)
        amplitude, _ = _sine_fit(first, y, segment.freq)
        deviations.append((20 * math.log10(max(amplitude, 1e-12) / TONE_LEVEL), segment.freq))
    return max(deviations, key=lambda d: abs(d[0]))


def phase_slope_delay(raw, segments, click_delay_s):
    """Seconds of group delay from the phase of the 0.2-4 kHz tones in the unshifted output.
    The click's delay is taken out first, so the phases left to fit are small and never wrap."""
    freqs, phases = [], []
    for segment in segments:
        if not 200 <= segment.freq <= 4000:
            continue
        first, y = _window(raw, segment)
        since_start = (np.arange(y.size) + first) / OUT_RATE - segment.start / IN_RATE
        angle = 2 * np.pi * segment.freq * since_start + TONE_PHASE
        basis = np.stack([np.sin(angle), np.cos(angle)], axis=1)
        (a, b), *_ = np.linalg.lstsq(basis, y, rcond=None)
        lag = math.atan2(-b, a) - 2 * np.pi * segment.freq * click_delay_s
        freqs.append(segment.freq)
        phases.append(math.remainder(lag, 2 * math.pi))
    slope = np.polyfit(2 * np.pi * np.array(freqs), np.array(phases), 1)[0]
    return click_delay_s + float(slope)


def alias_rejection(out, segments):
    """(worst rejection in dB or None when every tone rounded to silence, its frequency)."""
    worst = (math.inf, None)
    for segment in segments:
        _, y = _window(out, segment)
        rms = math.sqrt(np.mean(y**2))
        rejection = math.inf if rms == 0 else 20 * math.log10(TONE_LEVEL / math.sqrt(2) / rms)
        worst = min(worst, (rejection, segment.freq), key=lambda w: w[0])
    return worst


def long_tone(out, segment):
    """(THD+N in dB over the whole tone, worst 10 ms residual in dBc) after one sine fit."""
    first, y = _window(out, segment)
    amplitude, fit = _sine_fit(first, y, segment.freq)
    residual = y - fit
    thd_n = 10 * math.log10(np.mean(residual**2) / (amplitude**2 / 2))
    # Windows on the 10 ms grid and half-way between, so a border never falls between two.
    starts = range(0, residual.size - WINDOW + 1, WINDOW // 2)
    worst = max(np.mean(residual[s:s + WINDOW] ** 2) for s in starts)
    return thd_n, 10 * math.log10(max(worst, 1e-30) / (amplitude**2 / 2))


def steady_held_back(values, chunks_per_second=IN_RATE // 480):
    """(max, min) held-back frames from one second on."""
    steady = values[chunks_per_second:] if len(values) > chunks_per_second else values
    return max(steady), min(steady)
