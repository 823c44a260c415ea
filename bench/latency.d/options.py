"""The command line of bench/latency, shared with its CTest check."""
import argparse
import os

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def parse_args(argv=None, description=None):
    parser = argparse.ArgumentParser(prog="bench/latency", description=description)
    parser.add_argument("--server", default="pulseaudio", choices=["pulseaudio", "pipewire"])
    parser.add_argument("--binary", default=os.path.join(REPO, "build", "sysaudio"))
    parser.add_argument("--quick", action="store_true",
                        help="6 clicks and 3 s of capture per recorder")
    parser.add_argument("--seconds", type=float, help="capture for CPU and memory (default 60)")
    parser.add_argument("--clicks", type=int, help="clicks per recorder (default 20)")
    parser.add_argument("--only",
                        help="comma-separated recorders (sysaudio, parec-10ms, parec, ffmpeg)")
    parser.add_argument("--fragment-ms", type=float, default=10,
                        help="the fragment the sysaudio binary asks for; parec's like-for-like "
                             "row asks for the same (default 10)")
    parser.add_argument("--inputs", type=int, default=1,
                        help="streams playing into the sink: the clicks and this many less one "
                             "steady quiet tones (default 1)")
    parser.add_argument("--spread", action="store_true",
                        help="the steady tones play into a second sink, headset, so that the "
                             "streams are spread over two outputs")
    parser.add_argument("--bare", action="store_true",
                        help="PipeWire only: no silent pacat keeping the sink awake (its null "
                             "sink needs none), so that the clicks are the one input")
    parser.add_argument("--before", metavar="BINARY",
                        help="another sysaudio build measured in the same run, as sysaudio-before")
    parser.add_argument("--rounds", type=int, default=1,
                        help="alternate the recorders this many times; figures are medians")
    args = parser.parse_args(argv)
    args.seconds = args.seconds if args.seconds is not None else (3.0 if args.quick else 60.0)
    args.clicks = args.clicks if args.clicks is not None else (6 if args.quick else 20)
    if min(args.seconds, args.clicks, args.rounds, args.inputs) < 1:
        parser.error("--seconds, --clicks, --rounds and --inputs must be at least 1")
    if args.bare and args.server != "pipewire":
        parser.error("--bare: PipeWire only; an idle PulseAudio null sink renders far ahead")
    if args.spread and args.inputs < 2:
        parser.error("--spread: needs --inputs 2 or more")
    if args.inputs > 4:
        parser.error("--inputs: at most 4, or the steady tones together would pass for a click")
    return args
