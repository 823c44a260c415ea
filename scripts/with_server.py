#!/usr/bin/env python3
# Runs one command against a private sound server started for it, and stops the server after:
#
#     with_server.py [--server auto|pulseaudio|pipewire] [--sink NAME]... [--microphone NAME]
#                    [--keep-awake] -- COMMAND...
#
# The command gets the server's environment (its own runtime directory; nothing else on the
# machine can see the server) plus SYSAUDIO_SOUND_SERVER (the kind started). `auto` takes
# PulseAudio where it is installed, else PipeWire. Exit status: the command's, or 77 (a skip,
# for CTest) when the server asked for is not installed.

import argparse
import os
import subprocess
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
from soundservers import SERVERS  # noqa: E402


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--server", default="auto", choices=("auto", *SERVERS))
    parser.add_argument("--sink", action="append", dest="sinks")
    parser.add_argument("--microphone", help="a sine source, made the default source")
    parser.add_argument("--keep-awake", action="store_true",
                        help="keep the sinks rendering in small steps, as real devices do")
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        parser.error("no command")
    kinds = SERVERS.values() if args.server == "auto" else [SERVERS[args.server]]
    kind = next((kind for kind in kinds if kind.available()), None)
    if kind is None:
        print(f"skipped: no {args.server} sound server is installed")
        return 77
    server = kind()
    try:
        sinks = tuple(args.sinks or ("speakers",))
        server.start(sinks=sinks)
        for sink in sinks if args.keep_awake else ():
            server.keep_awake(sink)
        if args.microphone:
            server.add_microphone(args.microphone)
        env = {name: value for name, value in {**os.environ, **server.env()}.items()
               if name not in ("PULSE_SERVER", "PULSE_SINK", "PULSE_SOURCE", "DISPLAY")}
        env["SYSAUDIO_SOUND_SERVER"] = kind.name
        return subprocess.run(command, env=env).returncode
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
