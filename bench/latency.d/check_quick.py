#!/usr/bin/python3
"""CTest check for bench/latency: runs the quick comparison and holds it to what any sane run
shows, not to timing targets (those are for the full table on a quiet machine). Exits 77,
skipped, when a server or recorder is not installed.

  check_quick.py [bench/latency arguments...]
"""
import os
import signal
import statistics
import sys

sys.dont_write_bytecode = True
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "tests", "e2e"))

import comparison  # noqa: E402
import options  # noqa: E402

# Loose: a click that takes a tenth of a second to come out means audio is queuing somewhere.
SYSAUDIO_MEDIAN_BOUND_MS = 100.0
SKIPPED = 77


def problems_in(results):
    problems = []
    names = [result.name for result in results]
    if names != ["sysaudio", "parec-10ms", "parec", "ffmpeg"]:
        problems.append(f"recorders {names}")
    for result in results:
        if result.error:
            problems.append(f"{result.name} failed: {result.error}")
        # Half at least: one lost to a scheduling hiccup is no fault of the recorder.
        if 2 * len(result.delays_ms) < result.clicks_played or not result.delays_ms:
            problems.append(f"{result.name}: {len(result.delays_ms)} of "
                            f"{result.clicks_played} clicks came out")
    sysaudio = results[0] if results else None
    if sysaudio is not None and sysaudio.delays_ms:
        median = statistics.median(sysaudio.delays_ms)
        if median >= SYSAUDIO_MEDIAN_BOUND_MS:
            problems.append(f"sysaudio: median click delay {median:.1f} ms")
    return problems


def _exit_on_sigterm(signum, frame):
    raise SystemExit(128 + signum)  # so that the server and recorders are stopped on the way


def main():
    signal.signal(signal.SIGTERM, _exit_on_sigterm)
    args = options.parse_args(["--quick", *sys.argv[1:]])
    try:
        results, text = comparison.run(args)
    except comparison.Missing as missing:
        print(f"skipped: {missing}")
        return SKIPPED
    print(text)
    problems = problems_in(results)
    for problem in problems:
        print(f"FAIL: {problem}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
