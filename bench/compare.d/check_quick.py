#!/usr/bin/python3
"""CTest check for bench/compare: runs `compare --quick` and holds its printed table to what
any sane run must show. Fails with a list of what was wrong.

  check_quick.py COMPARE [compare arguments...]
"""
import math
import re
import subprocess
import sys

EXPECTED_PEERS = ["sample-path", "sox rate", "sox rate -v", "ffmpeg swr", "ffmpeg soxr",
                  "speexdsp q6", "speexdsp q7", "speexdsp q8", "libsoxr HQ"]


def number(cell):
    """The first number in a cell; '> 95 (silent)' and 'all zero' read as +inf."""
    if "silent" in cell or "all zero" in cell:
        return math.inf
    match = re.search(r"[-+]?\d+(\.\d+)?", cell)
    if match is None:
        raise ValueError(f"no number in {cell!r}")
    return float(match.group())


def parse_table(text):
    lines = [line for line in text.splitlines() if line.startswith("| ")]
    if len(lines) < 2:
        raise ValueError("no table in the output")
    header = [cell.strip() for cell in lines[0].strip("|").split("|")]
    rows = {}
    for line in lines[1:]:
        cells = [cell.strip() for cell in line.strip("|").split("|")]
        if len(cells) != len(header):
            raise ValueError(f"row has {len(cells)} cells, header {len(header)}: {line}")
        rows[cells[0]] = dict(zip(header, cells))
    return header, rows


def column(header, prefix):
    return next(name for name in header if name.startswith(prefix))


def problems_in(header, rows):
    problems = []

    def expect(condition, what):
        if not condition:
            problems.append(what)

    expect(list(rows) == EXPECTED_PEERS, f"rows {list(rows)} instead of {EXPECTED_PEERS}")
    passband, thd_n = column(header, "Passband"), column(header, "THD+N")
    alias, floor = column(header, "Worst alias"), column(header, "Same, below")
    delay, held = column(header, "Group delay"), column(header, "Held back")
    total, cpu = column(header, "Total delay"), column(header, "Audio s per CPU")
    for name, row in rows.items():
        # Every peer is a real resampler: flat to 7 kHz within a dB, clean at 997 Hz, and it
        # delivers the click within 0.1 s, at some finite cost.
        expect(abs(number(row[passband])) < 1.0, f"{name}: passband {row[passband]}")
        expect(-110 < number(row[thd_n]) < -80, f"{name}: THD+N {row[thd_n]}")
        expect(-1.0 < number(row[delay]) < 100.0, f"{name}: group delay {row[delay]}")
        expect(0 < number(row[cpu]) < math.inf, f"{name}: audio s per CPU s {row[cpu]}")
        expect(number(row[floor]) >= min(number(row[alias]), 95.0) - 1.0,
               f"{name}: below-floor alias {row[floor]} worse than s16 {row[alias]}")
    sample_path = rows.get("sample-path", {})
    if sample_path:
        expect(number(sample_path[thd_n]) < -90, f"sample-path THD+N {sample_path[thd_n]}")
        expect(abs(number(sample_path[passband])) <= 0.05,
               f"sample-path passband {sample_path[passband]}")
        expect(number(sample_path[floor]) >= 90, f"sample-path alias {sample_path[floor]}")
        expect(0 < number(sample_path[total]) <= 5.0, f"sample-path delay {sample_path[total]}")
        expect(sample_path[held].startswith("0 "), f"sample-path holds back {sample_path[held]}")
    speex = [number(rows[f"speexdsp q{q}"][delay]) for q in (6, 7, 8) if f"speexdsp q{q}" in rows]
    expect(speex == sorted(speex), f"speexdsp delays not rising with quality: {speex}")
    soxr = rows.get("libsoxr HQ", {})
    if soxr:
        expect(number(soxr[held]) > 0, f"libsoxr HQ holds nothing back: {soxr[held]}")
    return problems


def main():
    if len(sys.argv) < 2:
        sys.exit(__doc__)
    run = subprocess.run(sys.argv[1:] + ["--quick"], capture_output=True, text=True)
    print(run.stdout)
    if run.returncode != 0:
        sys.exit(f"compare failed ({run.returncode}): {run.stderr}")
    header, rows = parse_table(run.stdout)
    problems = problems_in(header, rows)
    if problems:
        sys.exit("compare-quick: " + "; ".join(problems))


if __name__ == "__main__":
    main()
