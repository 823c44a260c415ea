"""Runs the comparison the command line asked for and renders it."""
import os
import shutil
import statistics
import time

import recorders
import table
from session import Plan, Session
from soundservers import SERVERS

# After a click arrives: long enough for its tail to have left every recorder.
CLICK_GAP_S = 0.4
QUICK_CLICK_GAP_S = 0.25


class Missing(Exception):
    """Something the comparison needs is not installed or not built."""


def chosen_recorders(args):
    before = os.path.abspath(args.before) if args.before else None
    everyone = recorders.all_recorders(os.path.abspath(args.binary), args.fragment_ms, before)
    if args.only:
        names = args.only.split(",")
        unknown = set(names) - {r.name for r in everyone}
        if unknown:
            raise Missing(f"no recorder named {', '.join(sorted(unknown))}")
        everyone = [r for r in everyone if r.name in names]
    for recorder in everyone:
        if not recorder.available():
            raise Missing(f"{recorder.binary} is missing")
    return everyone


def describe_binary(path):
    """Which build the sysaudio row measured: others rebuild it while a run goes on."""
    try:
        status = os.stat(path)
    except OSError:
        return path
    built = time.strftime("%Y-%m-%d %H:%M:%S", time.localtime(status.st_mtime))
    return f"{os.path.abspath(path)}, built {built}, {status.st_size} bytes"


def run(args):
    server_class = SERVERS[args.server]
    if not server_class.available():
        needed = ", ".join(server_class.required_binaries)
        raise Missing(f"{args.server} is not installed (needs {needed})")
    chosen = chosen_recorders(args)
    if args.inputs > 1 and not shutil.which("ffmpeg"):
        raise Missing("ffmpeg, which plays the steady inputs, is missing")
    plan = Plan(clicks=args.clicks, click_gap_s=QUICK_CLICK_GAP_S if args.quick else CLICK_GAP_S,
                seconds=args.seconds)
    load_before, binary = os.getloadavg(), describe_binary(args.binary)
    if args.before:
        binary += f"; sysaudio-before: {describe_binary(args.before)}"
    session = Session(server_class, args.inputs, keep_awake=not args.bare, spread=args.spread)
    try:
        session.start()
        # Alternating rounds: machine noise that comes and goes hits every recorder alike.
        rounds = [[session.measure(recorder, plan) for recorder in chosen]
                  for _ in range(args.rounds)]
    finally:
        session.stop()
    results = [combined([round_[i] for round_ in rounds]) for i in range(len(chosen))]
    context = {"server": args.server, "binary": binary, "clicks": args.clicks,
               "seconds": args.seconds, "rounds": args.rounds, "inputs": args.inputs,
               "spread": args.spread,
               "bare": args.bare,
               "load_before": load_before, "load_after": os.getloadavg()}
    return results, table.render(results, context)


def _median(values):
    present = [value for value in values if value is not None]
    return statistics.median(present) if present else None


def combined(runs):
    """One recorder's rounds as one result: every click delay, the median of each rate, the
    memory of the last round."""
    result = runs[-1]
    if len(runs) == 1:
        return result
    result.delays_ms = [delay for run in runs for delay in run.delays_ms]
    result.clicks_played = sum(run.clicks_played for run in runs)
    for rate in ("cpu_percent", "server_cpu_percent", "switches_per_s"):
        setattr(result, rate, _median([getattr(run, rate) for run in runs]))
    result.round_cpu = [run.cpu_percent for run in runs]
    result.audio_s = sum(run.audio_s for run in runs)
    result.wall_s = sum(run.wall_s for run in runs)
    result.error = "; ".join(run.error for run in runs if run.error) or None
    return result
