"""The comparison table, with the targets each row is held to."""
import math
import os
import shlex

from measure import S16_FLOOR_DB
from peers import ALIAS_LIFT_DB
from signals import alias_step_hz

ALIAS_TARGET_DB = 96.0
PASSBAND_TARGET_DB = 0.05
THD_N_TARGET_DB = -95.0
DELAY_TARGET_MS = 5.0

COLUMNS = ["Peer", "Passband error 0.1-7 kHz (dB, at kHz)", "Worst alias rejection 8.5-20 kHz, "
           "s16 out (dB, at kHz)", "Same, below the int16 floor (dB, at kHz)", "THD+N 997 Hz (dB)",
           "Worst 10 ms residual, long tone (dBc)", "Group delay: click / phase slope (ms)",
           "Held back, steady max (min) frames", "Total delay (ms)",
           "CPU s per 10 min, median (min-max)", "Audio s per CPU s", "Meets targets"]


def _alias_cell(alias, float_output=False):
    rejection, freq = alias
    if math.isinf(rejection):
        return "all zero" if float_output else f"> {S16_FLOOR_DB:.0f} (silent)"
    return f"{rejection:.1f} ({freq / 1000:g})"


def _total_delay_ms(row):
    held = row["held_back"][0] / 16.0 if "held_back" in row else 0.0
    return held + max(row["delay_s"] * 1000.0, row["slope_delay_s"] * 1000.0, 0.0)


def _verdict(row):
    """Which targets the row misses; the alias figure from below the int16 floor decides."""
    misses = []
    alias = row["alias_float"][0]
    if alias < ALIAS_TARGET_DB:
        misses.append("alias")
    if abs(row["passband"][0]) > PASSBAND_TARGET_DB:
        misses.append("passband")
    if row["thd_n"] > THD_N_TARGET_DB:
        misses.append("THD+N")
    if _total_delay_ms(row) > DELAY_TARGET_MS:
        misses.append("delay")
    if misses:
        return "no: " + ", ".join(misses)
    return "**yes**"


def _row_cells(row):
    passband, at = row["passband"]
    held = "n/a (whole file)"
    if "held_back" in row:
        held = f"{row['held_back'][0]} ({row['held_back'][1]})"
    cpu = row["cpu"]
    cpu_cell = f"{row['cpu_median']:.3f}"
    if len(cpu) > 1:
        cpu_cell += f" ({min(cpu):.3f}-{max(cpu):.3f})"
    lifted = " †" if row["name"] == "sample-path" else ""
    delays = f"{row['delay_s'] * 1000:.3f} / {row['slope_delay_s'] * 1000:.3f}"
    return [row["name"], f"{passband:+.3f} ({at / 1000:g})", _alias_cell(row["alias_s16"]),
            _alias_cell(row["alias_float"], True) + lifted, f"{row['thd_n']:.1f}",
            f"{row['border']:.1f}", delays,
            held, f"{_total_delay_ms(row):.2f}", cpu_cell, f"{600.0 / row['cpu_median']:.0f}",
            _verdict(row)]


def _commands(peers):
    lines = ["Commands (stdin: 48 kHz stereo f32le; stdout: 16 kHz mono s16le; the float runs "
             "swap the output encoding):"]
    for peer in peers:
        argv = peer.argv()
        argv[0] = os.path.basename(argv[0]) if argv[0].startswith("/") else argv[0]
        lines.append(f"- {peer.name}: `{shlex.join(argv)}`")
    return lines


def render(rows, peers, args, load, elapsed_s):
    lines = ["| " + " | ".join(COLUMNS) + " |", "|" + "---|" * len(COLUMNS)]
    lines += ["| " + " | ".join(_row_cells(row)) + " |" for row in rows]
    lines += [
        "",
        f"Targets: alias >= {ALIAS_TARGET_DB:g} dB, passband <= {PASSBAND_TARGET_DB:g} dB, "
        f"THD+N <= {THD_N_TARGET_DB:g} dB, total delay <= {DELAY_TARGET_MS:g} ms.",
        "Tones at -1 dBFS; passband every 100 Hz, aliases every "
        f"{alias_step_hz(args.quick)} Hz. An int16 output whose aliases round to zero reads "
        f"'> {S16_FLOOR_DB:.0f} (silent)'. Below the int16 floor: the peers' float32 output "
        "('all zero': sox's 32-bit path rounded it away); † sample-path writes only s16, so its "
        f"input is lifted {ALIAS_LIFT_DB:g} dB (it stays linear above full scale until the last "
        "rounding).",
        "Group delay: best-fit shift of a band-limited click (0-5 kHz) / slope of the phase of "
        "the 0.2-4 kHz tones. Held back: input/3 - output after each 480-frame chunk, from 1 s "
        "on (sample-path: from runs on prefixes, as it never flushes). Total delay = held back "
        "/ 16 + the larger group delay. sox and ffmpeg convert whole files: their figure is the "
        "filter delay left in the output, not what a live pipe through them would wait.",
        f"CPU: user+sys of {args.cpu_seconds:g} s of speech-like audio scaled to 10 min, "
        f"{args.cpu_runs} interleaved run(s) per peer, output to /dev/null"
        + (" (quick: start-up costs dominate, ffmpeg's most)." if args.quick else "."),
        f"Load average {load[0][0]:.2f} before the CPU runs, {load[1][0]:.2f} after; "
        f"{os.cpu_count()} CPUs; whole run {elapsed_s:.0f} s.",
        "",
    ]
    return "\n".join(lines + _commands(peers))
