# Reading the program's output and making test sounds (numpy).

import os
import wave

import numpy as np

OUTPUT_RATE = 16000
BLOCK = 160  # 10 ms at the output rate: the unit the checks below judge in


def samples_from_s16le(data):
    # The program's output as floats in [-1, 1).
    return np.frombuffer(data[: len(data) - len(data) % 2], dtype="<i2") / 32768.0


def write_stereo_wav(path, segments, rate=48000):
    # 16-bit stereo; each segment is (seconds, frequency, left_amplitude, right_amplitude).
    parts = [np.outer(np.sin(2 * np.pi * hz * np.arange(int(seconds * rate)) / rate), [l, r])
             for seconds, hz, l, r in segments]
    return write_wav(path, np.concatenate(parts), rate)


def write_wav(path, frames, rate=48000):
    # `frames`: floats in [-1, 1], one row per frame, one column per channel.
    with wave.open(path, "wb") as out:
        out.setparams((frames.shape[1], 2, rate, 0, "NONE", None))
        out.writeframes(np.round(32767 * frames).astype("<i2").tobytes())
    return path


def write_tone(directory, seconds, frequency):
    return write_stereo_wav(os.path.join(directory, f"tone-{frequency}-{seconds}.wav"),
                            [(seconds, frequency, 0.5, 0.5)])


def write_noise(path, seconds, rate=48000, below_hz=6000.0):
    # Band-limited white noise, 0.2 RMS, the same in both channels and in every run: no stretch
    # of it is like another, so where each piece of a recording comes from in it is found to
    # the sample (content_jumps). Answers the path and the noise at OUTPUT_RATE.
    count = int(seconds * rate)
    spectrum = np.fft.rfft(np.random.default_rng(1).standard_normal(count))
    spectrum[np.fft.rfftfreq(count, 1 / rate) > below_hz] = 0
    wave = np.fft.irfft(spectrum, count)
    wave *= 0.2 / np.std(wave)
    return write_wav(path, np.outer(wave, [1, 1]), rate), wave[::rate // OUTPUT_RATE]


def content_jumps(samples, played, piece=1600, tolerance=2):
    # Where a recording of `played` (both at OUTPUT_RATE) skips or repeats part of it: each
    # loud piece's place in `played`, found by cross-correlation, against its place in the
    # recording. Answers (seconds into `played`, samples skipped: negative where some were
    # repeated or silence put in, silent samples between the two pieces) for every change.
    size = 1 << int(np.ceil(np.log2(len(played) + piece)))
    reference = np.fft.rfft(played, size)
    jumps, last, silent = [], None, 0
    for start in range(0, len(samples) - piece + 1, piece):
        part = samples[start:start + piece]
        if np.mean(np.square(part)) < 1e-3:  # under -30 dBFS
            silent += piece
            continue
        place = int(np.argmax(np.fft.irfft(reference * np.conj(np.fft.rfft(part, size)), size)))
        place -= size if place > len(played) else 0  # a piece that starts before the sound
        lag = place - start
        if last is not None and abs(lag - last) > tolerance:
            jumps.append((place / OUTPUT_RATE, lag - last, silent))
        last, silent = lag, 0
    return jumps


def dbfs_rms(samples):
    return 10 * np.log10(np.mean(np.square(samples)))


def _blocks(samples):
    count = len(samples) // BLOCK
    return np.reshape(samples[: count * BLOCK], (count, BLOCK))


def loud_runs(samples, threshold_dbfs=-30.0):
    # The stretches (start, end), in samples, of 10 ms blocks above the threshold.
    levels = np.sqrt(np.mean(np.square(_blocks(samples)), axis=1))
    loud = np.concatenate(([False], levels > 10 ** (threshold_dbfs / 20), [False]))
    edges = np.flatnonzero(np.diff(loud.astype(int)))
    return [(int(a) * BLOCK, int(b) * BLOCK) for a, b in zip(edges[::2], edges[1::2])]


def tones(samples, longest_gap=0.2):
    # The loud runs grouped into sounds: runs apart by less than `longest_gap` seconds are
    # one. A server without real-time scheduling, or a player it starved, on a loaded machine
    # now and then plays a short gap of silence into a tone and the rest of it after, whole.
    groups = []
    for run in loud_runs(samples):
        if groups and run[0] - groups[-1][-1][1] < longest_gap * OUTPUT_RATE:
            groups[-1].append(run)
        else:
            groups.append([run])
    return groups


def outside(samples, sounds, margin=BLOCK):
    # The samples outside the sounds (as tones() groups them), `margin` samples around each too.
    keep = np.ones(len(samples), dtype=bool)
    for runs in sounds:
        keep[max(runs[0][0] - margin, 0):runs[-1][1] + margin] = False
    return samples[keep]


def loud_seconds(runs):
    return sum(end - start for start, end in runs) / OUTPUT_RATE


def tone_in_blocks(samples, frequency):
    # The complex amplitude of `frequency` in each 10 ms block, its phase measured against
    # one clock running from the first sample: constant while a tone runs on without a gap or
    # a repeat.
    blocks = _blocks(samples)
    n = np.arange(blocks.size).reshape(blocks.shape)
    return 2 * np.sum(blocks * np.exp(-2j * np.pi * frequency * n / OUTPUT_RATE), axis=1) / BLOCK


def loud_blocks(samples, frequency):
    # The 10 ms blocks where `frequency` is far above leakage, far below a played tone.
    return np.flatnonzero(np.abs(tone_in_blocks(samples, frequency)) > 0.05)


def largest_phase_jump(samples, frequency):
    steps = np.angle(np.exp(1j * np.diff(np.angle(tone_in_blocks(samples, frequency)))))
    return float(np.max(np.abs(steps), initial=0.0))


def peak_frequency(samples):
    # The strongest frequency, to a tenth of a hertz; a gap or a click does not move it.
    size = max(10 * OUTPUT_RATE, len(samples))
    return float(np.argmax(np.abs(np.fft.rfft(samples * np.hanning(len(samples)), n=size)))
                 * OUTPUT_RATE / size)


def tone_windows(samples, frequency, below_hz=2000.0):
    # The tone in each 10 ms window of `samples` low-passed at `below_hz` (zero phase, over the
    # whole recording): its complex amplitude, and what else there is below `below_hz`, in dB
    # under the tone.
    spectrum = np.fft.rfft(samples)
    spectrum[np.fft.rfftfreq(len(samples), 1 / OUTPUT_RATE) >= below_hz] = 0
    low = _blocks(np.fft.irfft(spectrum, n=len(samples)))
    tone = tone_in_blocks(low.ravel(), frequency)
    n = np.arange(low.size).reshape(low.shape)
    fitted = np.real(tone[:, None] * np.exp(2j * np.pi * frequency * n / OUTPUT_RATE))
    rest_db = 10 * np.log10(np.mean(np.square(low - fitted), axis=1) /
                            np.mean(np.square(fitted), axis=1))
    return tone, rest_db


def tone_events(tone, frequency, off_db=1.0, off_ms=0.05, around=10):
    # Windows whose tone is off its neighbours' (the median of `around` windows each side) in
    # level or phase, grouped into events: holes, after which the tone is back in place, and
    # steps, after which it goes on at another phase or level. Answers both lists of
    # (first window, windows, worst dB, worst ms).
    def off(a, b):
        ratio = a / b
        return abs(20 * np.log10(abs(ratio))), abs(np.angle(ratio)) / (2 * np.pi * frequency) * 1e3

    flagged = []
    for k in range(len(tone)):
        near = np.concatenate((tone[max(k - around, 0):k], tone[k + 1:k + 1 + around]))
        db, ms = off(tone[k], np.median(near.real) + 1j * np.median(near.imag))
        if db > off_db or ms > off_ms:
            flagged.append((k, db, ms))
    holes, steps, events, run = [], [], [], []
    for entry in flagged:
        if run and entry[0] != run[-1][0] + 1:
            events.append(run)
            run = []
        run.append(entry)
    if run:
        events.append(run)
    for run in events:
        first, last = run[0][0], run[-1][0]
        summary = (first, len(run), max(e[1] for e in run), max(e[2] for e in run))
        if first == 0 or last + 1 >= len(tone):
            continue
        back_db, back_ms = off(tone[last + 1], tone[first - 1])
        (holes if back_db <= off_db and back_ms <= off_ms else steps).append(summary)
    return holes, steps
