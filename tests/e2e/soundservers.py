# Private sound servers for end-to-end runs: PulseAudio, or PipeWire with its PulseAudio
# server, each in a runtime directory of its own, reachable only by the clients given env().
#
# Every process started here is a child of the test runner that the kernel kills should the
# runner die (PR_SET_PDEATHSIG), and stop() ends each by its pid.

import ctypes
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

_libc = ctypes.CDLL(None, use_errno=True)
QUIET = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL}


def parec_argv(*source):
    # The server's own recorder of `source`, in the program's output format (16 kHz mono s16le)
    # and with its 10 ms fragment: the peer the tests and the benches hold the program against.
    return ["parec", "--format=s16le", "--rate=16000", "--channels=1", "--raw",
            "--latency-msec=10", *source]


def spawn(args, env, realtime=False, **kwargs):
    # Starts a process that cannot outlive the test runner. A desktop's sound server and its
    # players run with real-time scheduling (rtkit); without it a loaded machine starves them
    # into gaps no check of the recording can tell from a fault of the recorder.
    def prepare():
        _libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG
        if realtime:
            try:
                os.sched_setscheduler(0, os.SCHED_RR, os.sched_param(10))
            except PermissionError:
                pass

    return subprocess.Popen(args, env=env, preexec_fn=prepare,
                            **{"stdin": subprocess.DEVNULL, **kwargs})


def write(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as out:
        out.write(text)


def end_process(process, grace=3.0):
    if process is not None and process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def listening(path):
    # Whether a server accepts connections on the Unix socket `path`. The file alone says
    # nothing: a server killed with SIGKILL leaves its socket file behind.
    with socket.socket(socket.AF_UNIX) as probe:
        try:
            probe.connect(path)
            return True
        except OSError:
            return False


def wait_until(condition, timeout, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while not (result := condition()):
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)
    return result


class SoundServer:
    name = "?"
    required_binaries = ("pactl", "pacat", "paplay")
    # An idle null sink renders far ahead until suspended and resumed once.
    renders_ahead_when_idle = True

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix=f"sysaudio-e2e-{self.name}-")
        self.processes, self._players = [], []
        write(os.path.join(self.dir, "client.conf"), "autospawn = no\n")
        self._env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": self.dir,
                     "XDG_RUNTIME_DIR": self.dir, "LANG": "C",
                     "XDG_CONFIG_HOME": os.path.join(self.dir, "config"),
                     "XDG_STATE_HOME": os.path.join(self.dir, "state"),
                     "PULSE_CLIENTCONFIG": os.path.join(self.dir, "client.conf")}

    @classmethod
    def available(cls):
        return all(shutil.which(b) for b in cls.required_binaries)

    def env(self):
        return dict(self._env)

    def pactl(self, *args, check=True):
        return subprocess.run(["pactl", *args], env=self.env(), check=check, timeout=20,
                              capture_output=True, text=True).stdout

    def listing(self, kind):
        return json.loads(self.pactl("--format=json", "list", kind))

    def start(self, sinks=("speakers",), default=None):
        # Starts the server (again, after go_away(), in the same directory) with stereo
        # 48 kHz null sinks, `default` (else the first) the default sink.
        self._start_processes(with_fallback_sink=bool(sinks))

        def answers():
            self._restart_given_up()
            return self.pactl("info", check=False)
        try:
            wait_until(answers, 20, 0.1, f"{self.name} to answer")
        except TimeoutError as timeout:
            raise TimeoutError(f"{timeout}\n{self.what_happened()}") from None
        self.add_sinks(sinks, default)
        return self

    def _restart_given_up(self):
        # A server whose start a client's poll can make fail is started again here.
        pass

    def what_happened(self):
        # For a server that did not come up: which of its processes ended, and its log's end.
        ended = [f"{p.args[0]} (status {p.poll()})" for p in self.processes if p.poll() is not None]
        logs = [name for name in os.listdir(self.dir) if name.endswith(".log")]
        tails = []
        for name in logs:
            with open(os.path.join(self.dir, name), errors="replace") as log:
                tails.append(f"--- {name}, last lines:\n" + "".join(log.readlines()[-20:]))
        return "\n".join([f"ended: {', '.join(ended) or 'none'}", *tails])

    def add_sinks(self, sinks, default=None):
        for name in sinks:
            self.pactl("load-module", "module-null-sink", f"sink_name={name}", "rate=48000",
                       "channels=2")
        if sinks:
            wait_until(lambda: set(sinks) <= set(self.sinks()), 10, what="the sinks")
            self.set_default_sink(default or sinks[0])

    def sinks(self):
        return [sink["name"] for sink in self.listing("sinks")]

    def info(self):
        return json.loads(self.pactl("--format=json", "info"))

    def default_sink(self):
        return self.info()["default_sink_name"]

    def set_default_sink(self, sink):
        # PipeWire now and then refuses a default sink that it has only just listed.
        def made_default():
            self.pactl("set-default-sink", sink, check=False)
            return self.default_sink() == sink
        wait_until(made_default, 10, what=f"{sink} as the default")

    def remove_sink(self, sink):
        module = next(s["owner_module"] for s in self.listing("sinks") if s["name"] == sink)
        self.pactl("unload-module", str(module))
        wait_until(lambda: sink not in self.sinks(), 10, what=f"{sink} to go")

    def add_microphone(self, name, frequency=700):
        # A source that is not a monitor and always has sound, made the default source: what
        # a desktop's microphone looks like to the server.
        self.pactl("load-module", "module-sine-source", f"source_name={name}", "rate=48000",
                   f"frequency={frequency}")
        self.pactl("set-default-source", name)

    def input_of(self, player):
        # The index of the sink input that the process `player` plays, as the server lists it.
        return next(str(i["index"]) for i in self.listing("sink-inputs")
                    if i["properties"].get("application.process.id") == str(player.pid))

    def recorded_sources(self, pid):
        # The sources the record streams of process `pid` are on, as the server says.
        names = {s["index"]: s["name"] for s in self.listing("sources")}
        return [(names.get(o["source"]), o["properties"]) for o in self.listing("source-outputs")
                if o["properties"].get("application.process.id") == str(pid)]

    def play(self, wav_path, sink, wait=True):
        # Plays a file into `sink`; a roomy latency, as a starved player would look like
        # audio the recorder lost.
        player = self._player(["paplay", "--latency-msec=200", wav_path], sink)
        if wait and player.wait(timeout=60) != 0:
            raise RuntimeError(f"paplay ended with status {player.returncode}")
        return player

    def keep_awake(self, sink):
        # A silent low-latency player in `sink`: an idle null sink renders far ahead, which
        # would hold back the first audio of a new recording.
        self._player(["pacat", "--playback", "--format=float32le", "--rate=48000",
                      "--channels=2", "--latency-msec=20", "/dev/zero"], sink)
        for suspended in ("1", "0") if self.renders_ahead_when_idle else ():
            self.pactl("suspend-sink", sink, suspended)

    def _player(self, args, sink):
        # Moves the player to the sink it is in already, which tells PulseAudio the user chose
        # that sink for it: otherwise it would follow a new default sink, as players do.
        name = f"player-{len(self._players)}"
        player = spawn([*args, f"--device={sink}", f"--stream-name={name}"], self.env(),
                       realtime=True, **QUIET)
        self._players.append(player)
        index = wait_until(lambda: next((str(i["index"]) for i in self.listing("sink-inputs")
                                         if i["properties"].get("media.name") == name), None),
                           10, interval=0.02, what=f"the player {name}")
        self.pactl("move-sink-input", index, sink)
        return player

    def go_away(self, signum=signal.SIGKILL):
        # Ends every process of the server with `signum` (SIGKILL as a crash, SIGTERM as
        # systemctl stops it), keeping its runtime directory for start().
        for process in reversed(self.processes):
            process.send_signal(signum)
            process.wait(timeout=10)
        self.processes = []

    def stop(self):
        for process in self._players + self.processes[::-1]:
            end_process(process)
        self._players, self.processes = [], []
        shutil.rmtree(self.dir, ignore_errors=True)


class PulseAudioServer(SoundServer):
    name = "pulseaudio"
    required_binaries = ("pulseaudio", *SoundServer.required_binaries)

    def _start_processes(self, with_fallback_sink):
        self.processes.append(spawn(
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "-n",
             "--use-pid-file=no", f"--log-target=file:{self.dir}/pulseaudio.log",
             "--load=module-native-protocol-unix auth-anonymous=1"],
            self.env(), realtime=True, **QUIET))


class PipeWireServer(SoundServer):
    name = "pipewire"
    renders_ahead_when_idle = False
    required_binaries = ("pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon",
                         *SoundServer.required_binaries)
    _BUS = """<busconfig><type>session</type><listen>unix:path={path}</listen>
<policy context="default"><allow send_destination="*" eavesdrop="true"/>
<allow eavesdrop="true"/><allow own="*"/></policy></busconfig>"""
    _ALWAYS_SINK = '{ cmd = "load-module" args = "module-always-sink" flags = [ ] }'
    _STOCK_PULSE_CONF = "/usr/share/pipewire/pipewire-pulse.conf"

    def _start_processes(self, with_fallback_sink):
        config = self._env["XDG_CONFIG_HOME"]
        # Real devices, should the machine have any, stay out of the private graph. WirePlumber
        # 0.5 reads SPA-JSON drop-ins (and warns of Lua files), 0.4, which has Lua scripts for
        # its main configuration, reads Lua.
        if not os.path.isdir("/usr/share/wireplumber/main.lua.d"):
            write(f"{config}/wireplumber/wireplumber.conf.d/90-private-test-graph.conf",
                  "wireplumber.profiles = { main = { hardware.audio = disabled\n"
                  "  hardware.bluetooth = disabled\n  hardware.video-capture = disabled } }\n")
        else:
            write(f"{config}/wireplumber/main.lua.d/90-private-test-graph.lua",
                  "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
                  "libcamera_monitor.enabled = false\n")
        if not with_fallback_sink:
            self._leave_out_fallback_sink(config)
        bus_path = os.path.join(self.dir, "bus")
        # A restart after SIGKILL finds the old bus socket; dbus-daemon would not listen on it,
        # and WirePlumber, finding no bus, would exit and no sink would ever become the default.
        if os.path.exists(bus_path):
            os.unlink(bus_path)
        write(f"{self.dir}/bus.conf", self._BUS.format(path=bus_path))
        self.processes.append(spawn(["dbus-daemon", f"--config-file={self.dir}/bus.conf",
                                     "--nofork", "--nopidfile"], self.env(), **QUIET))
        wait_until(lambda: listening(bus_path), 10, what="the session bus")
        self._env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={bus_path}"
        self._log = open(os.path.join(self.dir, "pipewire.log"), "w")
        self._pulse_restarts = 1
        for program in ("pipewire", "wireplumber", "pipewire-pulse"):
            self.processes.append(spawn([program], self.env(), realtime=True, stdout=self._log,
                                        stderr=self._log))
            if program == "pipewire":
                wait_until(lambda: listening(f"{self.dir}/pipewire-0"), 10,
                           what="pipewire's socket")

    def _restart_given_up(self):
        # The pulse server makes `$XDG_RUNTIME_DIR/pulse` when it finds none, and gives up
        # ("mkdir() ... failed: File exists") should the libpulse client polling for it make it
        # between its look and its mkdir (1 start in 8 here). Started again, it finds the
        # directory. The normal start is left exactly as it is.
        pulse = self.processes[-1]
        if pulse.poll() is not None and self._pulse_restarts > 0:
            self._pulse_restarts -= 1
            self._log.write(f"--- pipewire-pulse ended ({pulse.returncode}); started again\n")
            self._log.flush()
            self.processes[-1] = spawn(["pipewire-pulse"], self.env(), realtime=True,
                                       stdout=self._log, stderr=self._log)

    def add_microphone(self, name, frequency=700):
        # PipeWire has no sine source: a pipe source fed a tone at half scale for as long as
        # the server runs, at the pace it plays. A pipe kept full makes PipeWire 1.4 read it
        # faster to drain it (the tone 7 % high), so the writer keeps only 20 ms ahead.
        import numpy as np  # the Debian python's; the helper scripts may run without it

        raw, fifo = f"{self.dir}/{name}.raw", f"{self.dir}/{name}.fifo"
        wave = 0.5 * 32767 * np.sin(2 * np.pi * frequency * np.arange(48000) / 48000)
        wave.astype("<i2").tofile(raw)
        self.pactl("load-module", "module-pipe-source", f"source_name={name}", f"file={fifo}",
                   "format=s16le", "rate=48000", "channels=1")
        self._players.append(spawn([sys.executable, "-c", _PACED_WRITER, raw, fifo], self.env(),
                                   **QUIET))
        self.pactl("set-default-source", name)

    def _leave_out_fallback_sink(self, config):
        # Its pulse server otherwise adds a sink of its own to a graph without one. PipeWire
        # 1.x makes that command conditional on a property a drop-in can set; 0.3.x loads it
        # unconditionally, so the private server gets a copy of the stock file without it.
        with open(self._STOCK_PULSE_CONF) as stock:
            text = stock.read()
        if "pulse.cmd.always-sink" in text:
            write(f"{config}/pipewire/pipewire-pulse.conf.d/90-no-fallback-sink.conf",
                  "pulse.properties = { pulse.cmd.always-sink = false }\n")
            return
        assert self._ALWAYS_SINK in text, "pipewire-pulse.conf changed: update this copy"
        write(f"{config}/pipewire/pipewire-pulse.conf", text.replace(self._ALWAYS_SINK, ""))


# Writes a one-second loop of 48 kHz 16-bit mono to a pipe, 10 ms at a time, at most 20 ms
# ahead of the monotonic clock.
_PACED_WRITER = """
import sys, time
second = open(sys.argv[1], "rb").read()
pipe, start, chunk = open(sys.argv[2], "wb", buffering=0), time.monotonic(), 960
for n in range(1 << 62):
    offset = n * chunk % len(second)
    pipe.write(second[offset:offset + chunk])
    time.sleep(max(0.0, start + (n - 1) * 0.01 - time.monotonic()))
"""

SERVERS = {server.name: server for server in (PulseAudioServer, PipeWireServer)}
