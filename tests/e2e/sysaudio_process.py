"""The real sysaudio binary run as a child, with its output collected as it comes."""

import os
import signal
import subprocess
import threading

from soundservers import spawn, wait_until

SIGNALS_CAUGHT = (signal.SIGINT, signal.SIGTERM)


class Sysaudio:
    def __init__(self, binary, env, collect_stdout=True, prefix=()):
        """`prefix`: a command that ends by exec'ing the program (so the pid stays its own)."""
        self.process = spawn([*prefix, binary], env, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
        self.pid = self.process.pid
        self._lock = threading.Lock()
        self._stdout = bytearray()
        self._stderr = bytearray()
        self._readers = [threading.Thread(target=self._pump, args=(self.process.stderr, False),
                                          daemon=True)]
        if collect_stdout:
            self._readers.append(threading.Thread(
                target=self._pump, args=(self.process.stdout, True), daemon=True))
        for reader in self._readers:
            reader.start()

    def _pump(self, stream, is_stdout):
        while True:
            chunk = stream.read1(65536)
            if not chunk:
                return
            with self._lock:
                (self._stdout if is_stdout else self._stderr).extend(chunk)

    def stdout(self):
        with self._lock:
            return bytes(self._stdout)

    def stderr(self):
        with self._lock:
            return bytes(self._stderr)

    def alive(self):
        return self.process.poll() is None

    def wait_for_output(self, byte_count=3200, timeout=20):
        """Until capture has produced `byte_count` bytes (0.1 s at the default)."""
        wait_until(lambda: len(self.stdout()) >= byte_count, timeout, what="audio on stdout")

    def wait_for_stderr(self, text, timeout=20):
        wait_until(lambda: text.encode() in self.stderr(), timeout, what=repr(text))

    def caught_signals(self):
        """The signals with handlers installed, from /proc/PID/status."""
        with open(f"/proc/{self.pid}/status") as status:
            for line in status:
                if line.startswith("SigCgt:"):
                    mask = int(line.split()[1], 16)
                    return {s for s in SIGNALS_CAUGHT if mask & (1 << (s - 1))}
        return set()

    def wait_for_handlers(self, timeout=20):
        wait_until(lambda: self.caught_signals() == set(SIGNALS_CAUGHT), timeout,
                   interval=0.005, what="the termination handlers")

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def end_with(self, signum, timeout=20):
        """Sends `signum` and answers the exit status, after the output is all read."""
        self.process.send_signal(signum)
        status = self.process.wait(timeout=timeout)
        for reader in self._readers:
            reader.join(timeout=timeout)
        return status

    def kill(self):
        if self.alive():
            self.process.kill()
            self.process.wait()
