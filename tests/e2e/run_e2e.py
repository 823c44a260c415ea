#!/usr/bin/env python3
# Runs the end-to-end tests of one group against one kind of private sound server, once: a
# failure fails the run. Exit status 77 (a skip, for CTest) when the server's programs are not
# installed.

import argparse
import os
import sys
import unittest

MODULES = ["test_sysaudio", "test_robustness", "test_inputs", "test_clocks"]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", required=True, choices=("pulseaudio", "pipewire"))
    parser.add_argument("--binary", required=True)
    parser.add_argument("tests", nargs="*", help="test classes or methods; all when none")
    args = parser.parse_args()
    os.environ["SYSAUDIO_E2E_SERVER"] = args.server
    os.environ["SYSAUDIO_BINARY"] = os.path.abspath(args.binary)
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    import soundservers  # after sys.path is set

    if not soundservers.SERVERS[args.server].available():
        print(f"skipped: the {args.server} programs are not installed")
        return 77
    modules = [__import__(name) for name in MODULES]
    names = [next(f"{m.__name__}.{name}" for m in modules if hasattr(m, name.split(".")[0]))
             for name in args.tests] or MODULES
    tests = unittest.TestLoader().loadTestsFromNames(names)
    return 0 if unittest.TextTestRunner(verbosity=2).run(tests).wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
