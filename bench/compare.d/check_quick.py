#!/usr/bin/python3
"""CTest check for bench/compare: runs `compare --quick`, prints the whole table, and holds our
own row to its targets. Fails with a list of what was wrong.

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
    """What is wrong with our own row. The peers are measured and printed beside it, but how
    they behave is theirs: only that each produced a row is required."""
    problems = []

    def expect(condition, what):
        if not condition:
            problems.append(what)

    expect(list(rows) == EXPECTED_PEERS, f"rows {list(rows)} instead of {EXPECTED_PEERS}")
    ours = rows.get("sample-path")
    if not ours:
        return problems + ["no sample-path row"]
    passband, thd_n = column(header, "Passband"), column(header, "THD+N")
    alias, floor = column(header, "Worst alias"), column(header, "Same, below")
    total, held = column(header, "Total delay"), column(header, "Held back")
    cpu = column(header, "Audio s per CPU")
    expect(abs(number(ours[passband])) <= 0.05, f"sample-path passband {ours[passband]}")
    expect(-110 < number(ours[thd_n]) < -90, f"sample-path THD+N {ours[thd_n]}")
    expect(number(ours[floor]) >= 90, f"sample-path alias {ours[floor]}")
    expect(number(ours[floor]) >= min(number(ours[alias]), 95.0) - 1.0,
           f"sample-path below-floor alias {ours[floor]} worse than s16 {ours[alias]}")
    expect(0 < number(ours[total]) <= 5.0, f"sample-path delay {ours[total]}")
    expect(ours[held].startswith("0 "), f"sample-path holds back {ours[held]}")
    expect(0 < number(ours[cpu]) < math.inf, f"sample-path audio s per CPU s {ours[cpu]}")
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
