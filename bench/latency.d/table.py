"""The side-by-side table, and the notes that say what its numbers include."""
import statistics

from recorders import FFMPEG_FRAGMENT_BYTES, PAREC_LATENCY_MSEC
from session import BURST, PLAYER_ARGV, PLAYER_RATE

COLUMNS = ["Recorder", "Command", "Clicks seen", "Click to stdout, median / worst (ms)",
           "CPU (% of one core)", "Server CPU meanwhile (%)", "Both (%)", "Wake-ups/s", "RSS start / end / max (KiB)",
           "RSS flat", "Audio / wall (s)"]

# Allocators settle after the first seconds; more than this over the run is growth.
RSS_FLAT_SLACK_KIB = 64


def _latency_cell(result):
    if not result.delays_ms:
        return "none seen"
    return f"{statistics.median(result.delays_ms):.1f} / {max(result.delays_ms):.1f}"


def _rss_cells(result):
    samples = result.rss_kib
    if not samples:
        return "-", "-"
    rss = [sample["total"] for sample in samples]
    growth = max(rss) - rss[0]
    if growth <= RSS_FLAT_SLACK_KIB:
        flat = "yes"
    else:
        # A rise only in the first seconds is settling; one late in the run looks like growth.
        last_rise = max(i for i in range(1, len(rss)) if rss[i] > rss[i - 1])
        parts = ", ".join(f"{part} {samples[-1][part] - samples[0][part]:+d}"
                          for part in ("anon", "shmem") if part in samples[0])
        flat = f"no: +{growth} KiB ({parts}), last rise at {last_rise} s"
    return f"{rss[0]} / {rss[-1]} / {max(rss)}", f"{flat} ({len(rss)} samples)"


def _percent(value):
    return "-" if value is None else f"{value:.2f}"


def row(result):
    rss, flat = _rss_cells(result)
    audio = f"{result.audio_s:.1f} / {result.wall_s:.1f}" if result.wall_s else "-"
    return [result.name, f"`{result.command}`", f"{len(result.delays_ms)}/{result.clicks_played}",
            _latency_cell(result), _percent(result.cpu_percent),
            _percent(result.server_cpu_percent), _percent(_sum(result)), _rate(result.switches_per_s), rss, flat, audio]


def _sum(result):
    if result.cpu_percent is None or result.server_cpu_percent is None:
        return None
    return result.cpu_percent + result.server_cpu_percent


def _rate(value):
    return "-" if value is None else f"{value:.0f}"


def _inputs(count, bare, spread=False):
    where = " in a second sink, headset" if spread else ""
    steady = f" and {count - 1} steady tones (ffmpeg, 40 ms buffer){where}" if count > 1 else ""
    return f"playing into it: the clicks{steady}" + ("" if bare else ", besides the silent pacat")


def render(results, context):
    awake = "" if context["bare"] else ", kept awake by a silent pacat at 20 ms"
    lines = [f"Server: {context['server']} (private, null sink 48 kHz stereo{awake}); "
             f"{_inputs(context['inputs'], context['bare'], context.get('spread', False))}; "
             f"{context['clicks']} clicks per recorder, "
             f"{context['seconds']:g} s of capture for CPU and memory"
             + (f", in {context['rounds']} alternating rounds (CPU and wake-ups: medians; "
                "clicks: all rounds; memory: the last round)." if context["rounds"] > 1 else "."),
             f"sysaudio binary: {context['binary']}",
             "Load average (1, 5, 15 min) before: {:.2f} {:.2f} {:.2f}, after: {:.2f} {:.2f} {:.2f}"
             .format(*context["load_before"], *context["load_after"]), ""]
    lines.append("| " + " | ".join(COLUMNS) + " |")
    lines.append("|" + "|".join("---" for _ in COLUMNS) + "|")
    for result in results:
        lines.append("| " + " | ".join(row(result)) + " |")
    lines += ["", "Notes:",
              f"- Click: {len(BURST) * 1000 // (4 * PLAYER_RATE)} ms of full scale written in one "
              f"burst to `{' '.join(PLAYER_ARGV)}`; the delay runs from that write to the "
              "moment the first sample above 8000 is read from the recorder's stdout, so it "
              "includes the player's buffer and the server's mixing.",
              f"- parec at --latency-msec={PAREC_LATENCY_MSEC}, the smallest request it takes "
              "(the server may grant a larger fragment); "
              f"ffmpeg with -fragment_size {FFMPEG_FRAGMENT_BYTES} (1 ms) and -flush_packets 1. "
              "Both ask the server for 16 kHz mono, so the server resamples for them; sysaudio "
              "takes 48 kHz stereo float32 and resamples itself. Compare CPU with the server "
              "column beside it.",
              "- Wake-ups/s: voluntary plus involuntary context switches of all the recorder's "
              "threads (/proc/PID/task/*/status) per second of capture.",
              "- CPU: user+sys from /proc/PID/stat over the capture; RSS: VmRSS sampled every "
              f"second, flat when it never rises more than {RSS_FLAT_SLACK_KIB} KiB above the "
              "first sample; when it does, the anonymous and shared-memory (the server's pool) "
              "parts of the change are shown."]
    for result in results:
        if getattr(result, "round_cpu", None):
            lines.append(f"- {result.name} CPU by round: "
                         + ", ".join(_percent(cpu) for cpu in result.round_cpu))
    for result in results:
        if result.error:
            lines.append(f"- {result.name} FAILED: {result.error}")
    return "\n".join(lines)
