"""Private sound servers for end-to-end runs: PulseAudio, or PipeWire with its PulseAudio
server, each in a runtime directory of its own, reachable only by the clients given env().

Every process started here is a child of the test runner that the kernel kills should the
runner die (PR_SET_PDEATHSIG), and stop() ends each by its pid."""

import ctypes
import os
import shutil
import signal
import subprocess
import tempfile
import time

PR_SET_PDEATHSIG = 1
_libc = ctypes.CDLL(None, use_errno=True)


# A desktop's sound server and its players run with real-time scheduling (rtkit). Without it
# a machine loaded by other work starves them: the server then plays gaps of silence of its own
# into a tone, or hands audio over late, and no check of the recording can tell that from a
# fault of the recorder. The recorder under test keeps the ordinary scheduling.
REALTIME = os.sched_param(10)


def spawn(args, env, realtime=False, **kwargs):
    """Starts a process that cannot outlive the test runner; `realtime` where the system
    allows it."""
    def prepare():
        _libc.prctl(PR_SET_PDEATHSIG, signal.SIGKILL)
        if realtime:
            try:
                os.sched_setscheduler(0, os.SCHED_RR, REALTIME)
            except PermissionError:
                pass

    kwargs.setdefault("stdin", subprocess.DEVNULL)
    return subprocess.Popen(args, env=env, preexec_fn=prepare, **kwargs)


def end_process(process, grace=3.0):
    if process is None or process.poll() is not None:
        return
    process.terminate()
    try:
        process.wait(timeout=grace)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def wait_until(condition, timeout, interval=0.05, what="condition"):
    deadline = time.monotonic() + timeout
    while True:
        result = condition()
        if result:
            return result
        if time.monotonic() > deadline:
            raise TimeoutError(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


class SoundServer:
    """What the tests need of a server; subclasses start the real thing."""

    name = "?"
    required_binaries = ()
    # An idle null sink that renders far ahead until suspended and resumed once.
    renders_ahead_when_idle = True
    # Recordings of a sink's monitor get audio again after the sink was suspended and resumed.
    resumes_monitor_after_suspend = True

    def __init__(self):
        self.dir = tempfile.mkdtemp(prefix=f"sysaudio-e2e-{self.name}-")
        os.chmod(self.dir, 0o700)
        self.processes = []
        self._keepers = []
        client_conf = os.path.join(self.dir, "client.conf")
        with open(client_conf, "w") as conf:
            conf.write("autospawn = no\n")
        self._env = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": self.dir,
            "XDG_RUNTIME_DIR": self.dir,
            "XDG_CONFIG_HOME": os.path.join(self.dir, "config"),
            "XDG_STATE_HOME": os.path.join(self.dir, "state"),
            "PULSE_CLIENTCONFIG": client_conf,
            "LANG": "C",
        }

    @classmethod
    def available(cls):
        return all(shutil.which(b) for b in cls.required_binaries)

    def env(self):
        return dict(self._env)

    def pactl(self, *args, check=True):
        return subprocess.run(["pactl", *args], env=self.env(), check=check, timeout=20,
                              capture_output=True, text=True).stdout

    def answers(self):
        try:
            return subprocess.run(["pactl", "info"], env=self.env(), timeout=5,
                                  capture_output=True).returncode == 0
        except subprocess.TimeoutExpired:
            return False

    def add_sink(self, name):
        """Loads a stereo 48 kHz null sink; answers the module's index."""
        return self.pactl("load-module", "module-null-sink", f"sink_name={name}",
                          "rate=48000", "channels=2").strip()

    def sinks(self):
        return [line.split("\t")[1] for line in self.pactl("list", "short", "sinks").splitlines()]

    def set_default_sink(self, name):
        self.pactl("set-default-sink", name)

    def keep_awake(self, sink):
        """A silent low-latency player in `sink`: an idle null sink renders far ahead, which
        would hold back the first audio of a new recording."""
        name = f"keep-awake-{sink}"
        self._keepers.append(spawn(
            ["pacat", "--playback", "--format=float32le", "--rate=48000",
             "--channels=2", "--latency-msec=20", f"--device={sink}", f"--stream-name={name}", "/dev/zero"],
            self.env(), realtime=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        self._pin(name, sink)
        if self.renders_ahead_when_idle:
            self.suspend(sink, True)
            self.suspend(sink, False)

    def suspend(self, sink, suspended):
        self.pactl("suspend-sink", sink, "1" if suspended else "0")

    def sink_module(self, sink):
        """The index of the null-sink module that made `sink`."""
        for line in self.pactl("list", "short", "modules").splitlines():
            fields = line.split("\t")
            if len(fields) > 2 and fields[1] == "module-null-sink" and \
                    f"sink_name={sink}" in fields[2].split():
                return fields[0]
        raise LookupError(f"no null-sink module for {sink}")

    def remove_sink(self, sink):
        self.pactl("unload-module", self.sink_module(sink))
        wait_until(lambda: sink not in self.sinks(), 10, what=f"{sink} to go")

    def default_sink(self):
        for line in self.pactl("info").splitlines():
            if line.startswith("Default Sink: "):
                return line.split(": ", 1)[1]
        return None

    def play(self, wav_path, sink, latency_msec=200):
        """Plays a file into `sink` and waits for the end; a player that starved would look
        like audio the recorder lost, hence the roomy latency."""
        player = spawn(["paplay", f"--latency-msec={latency_msec}", f"--device={sink}",
                        wav_path], self.env(), realtime=True)
        if player.wait(timeout=60) != 0:
            raise RuntimeError(f"paplay ended with status {player.returncode}")

    def play_in_background(self, wav_path, sink, latency_msec=200):
        """Starts playing a file into `sink`; answers the player, stopped with the server."""
        name = f"player-{len(self._keepers)}"
        player = spawn(["paplay", f"--latency-msec={latency_msec}", f"--device={sink}",
                        f"--stream-name={name}", wav_path], self.env(), realtime=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._keepers.append(player)
        self._pin(name, sink)
        return player

    def _sink_input(self, stream_name):
        index = None
        for line in self.pactl("list", "sink-inputs").splitlines():
            if line.startswith("Sink Input #"):
                index = line.split("#", 1)[1].strip()
            elif line.strip() == f'media.name = "{stream_name}"':
                return index
        return None

    def _pin(self, stream_name, sink):
        """Moves a player to the sink it is in already, which tells PulseAudio the user chose
        that sink for it: otherwise it would follow a new default sink, as players do."""
        index = wait_until(lambda: self._sink_input(stream_name), 10, interval=0.02,
                           what=f"the player {stream_name}")
        self.pactl("move-sink-input", index, sink)

    def kill(self):
        """Ends the server abruptly, as a crash would."""
        raise NotImplementedError

    def go_away(self, signum=signal.SIGKILL):
        """Ends every process of the server with `signum` (SIGKILL as a crash, SIGTERM as
        systemctl stops it), keeping its runtime directory: start() brings it back there."""
        for process in reversed(self.processes):
            process.send_signal(signum)
            process.wait(timeout=10)
        self.processes = []

    def stop(self):
        for keeper in self._keepers:
            end_process(keeper)
        self._keepers = []
        for process in reversed(self.processes):
            end_process(process)
        self.processes = []
        shutil.rmtree(self.dir, ignore_errors=True)


class PulseAudioServer(SoundServer):
    name = "pulseaudio"
    required_binaries = ("pulseaudio", "pactl", "pacat", "paplay")

    def start(self, sinks=("speakers",), default=None):
        log = os.path.join(self.dir, "pulseaudio.log")
        self.server = spawn(
            ["pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "-n",
             "--use-pid-file=no", f"--log-target=file:{log}",
             "--load=module-native-protocol-unix auth-anonymous=1"],
            self.env(), realtime=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(self.server)
        wait_until(self.answers, 20, interval=0.1, what="PulseAudio to answer")
        for sink in sinks:
            self.add_sink(sink)
        if sinks:
            self.set_default_sink(default or sinks[0])
        return self

    def add_microphone(self, name, frequency):
        """A source that is not a monitor and always has sound: what a desktop's microphone
        looks like to the server."""
        self.pactl("load-module", "module-sine-source", f"source_name={name}", "rate=48000",
                   f"frequency={frequency}")
        self.pactl("set-default-source", name)

    def kill(self):
        self.server.send_signal(signal.SIGKILL)
        self.server.wait()


class PipeWireServer(SoundServer):
    name = "pipewire"
    renders_ahead_when_idle = False
    # 0.3.65: after `pactl suspend-sink NAME 1` and `0`, the links to the sink's monitor are
    # not made again: parec and sysaudio alike record silence from then on.
    resumes_monitor_after_suspend = False
    required_binaries = ("pipewire", "wireplumber", "pipewire-pulse", "dbus-daemon", "pactl",
                         "pacat", "paplay")

    _BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path={path}</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""

    def _write_configs(self, with_fallback_sink):
        config = self._env["XDG_CONFIG_HOME"]
        # Real devices, should the machine have any, stay out of the private graph.
        lua_dir = os.path.join(config, "wireplumber", "main.lua.d")
        os.makedirs(lua_dir, exist_ok=True)
        with open(os.path.join(lua_dir, "90-private-test-graph.lua"), "w") as lua:
            lua.write("alsa_monitor.enabled = false\n"
                      "v4l2_monitor.enabled = false\n"
                      "libcamera_monitor.enabled = false\n")
        if not with_fallback_sink:
            # Its pulse server otherwise adds a sink of its own to a graph without one.
            with open("/usr/share/pipewire/pipewire-pulse.conf") as stock:
                text = stock.read()
            always_sink = '{ cmd = "load-module" args = "module-always-sink" flags = [ ] }'
            if always_sink not in text:
                raise RuntimeError("pipewire-pulse.conf no longer loads module-always-sink "
                                   "as this test expects; update the private copy")
            text = text.replace(always_sink, "")
            os.makedirs(os.path.join(config, "pipewire"), exist_ok=True)
            with open(os.path.join(config, "pipewire", "pipewire-pulse.conf"), "w") as conf:
                conf.write(text)
        bus_path = os.path.join(self.dir, "bus")
        bus_conf = os.path.join(self.dir, "bus.conf")
        with open(bus_conf, "w") as conf:
            conf.write(self._BUS_CONFIG.format(path=bus_path))
        return bus_conf, bus_path

    def start(self, sinks=("speakers",), default=None):
        bus_conf, bus_path = self._write_configs(with_fallback_sink=bool(sinks))
        bus = spawn(["dbus-daemon", f"--config-file={bus_conf}", "--nofork", "--nopidfile"],
                    self.env(), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(bus)
        wait_until(lambda: os.path.exists(bus_path), 10, what="the session bus")
        self._env["DBUS_SESSION_BUS_ADDRESS"] = f"unix:path={bus_path}"
        log = open(os.path.join(self.dir, "pipewire.log"), "w")
        for program in ("pipewire", "wireplumber", "pipewire-pulse"):
            self.processes.append(spawn([program], self.env(), realtime=True, stdout=log,
                                        stderr=log))
            if program == "pipewire":
                wait_until(lambda: os.path.exists(os.path.join(self.dir, "pipewire-0")), 10,
                           what="pipewire's socket")
        self.pulse_server = self.processes[-1]
        wait_until(self.answers, 20, interval=0.1, what="pipewire-pulse to answer")
        for sink in sinks:
            self.add_sink(sink)
        if sinks:
            wait_until(lambda: all(s in self.sinks() for s in sinks), 10, what="the sinks")
            self.set_default_sink(default or sinks[0])
            wait_until(lambda: f"Default Sink: {default or sinks[0]}" in self.pactl("info"), 10,
                       what="the default sink")
        return self

    def kill(self):
        self.pulse_server.send_signal(signal.SIGKILL)
        self.pulse_server.wait()


SERVERS = {server.name: server for server in (PulseAudioServer, PipeWireServer)}
