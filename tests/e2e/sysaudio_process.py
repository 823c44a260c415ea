# The real sysaudio binary run as a child, with its output collected as it comes.

import os
from signal import SIGINT, SIGTERM
import subprocess
import threading

from soundservers import spawn, wait_until

class Sysaudio:
    # `stdout`: where the program writes, collected here only if a pipe it makes. `nonblocking`:
    # that pipe is O_NONBLOCK on the program's side, as a parent that shares its own such pipe
    # (Node.js with stdio 'inherit', some supervisors) hands it over.
    def __init__(self, binary, env, collect_stdout=True, stdout=subprocess.PIPE, nonblocking=False):
        if nonblocking:
            reading_end, stdout = os.pipe()
            os.set_blocking(stdout, False)
        self.process = spawn([binary], env, stdout=stdout, stderr=subprocess.PIPE)
        if nonblocking:
            os.close(stdout)
            self.process.stdout = open(reading_end, "rb")
        self.pid = self.process.pid
        self._out = {True: bytearray(), False: bytearray()}
        self.reading = threading.Event()  # cleared: stdout is left unread, as a stalled reader
        self.reading.set()
        streams = [(self.process.stderr, False)] + [(self.process.stdout, True)] * collect_stdout
        self._readers = [threading.Thread(target=self._pump, args=s, daemon=True)
                         for s in streams]
        for reader in self._readers:
            reader.start()

    def _pump(self, stream, is_stdout):
        while (not is_stdout or self.reading.wait()) and (chunk := stream.read1(65536)):
            self._out[is_stdout].extend(chunk)  # one step under the interpreter lock

    def stdout(self):
        return bytes(self._out[True])  # a copy made in one step, as extend() is

    def stderr(self):
        return bytes(self._out[False])

    def wait_for_output(self, byte_count=3200, timeout=20):
        wait_until(lambda: len(self.stdout()) >= byte_count, timeout, what="audio on stdout")

    def wait_for_stderr(self, text, timeout=20):
        wait_until(lambda: text.encode() in self.stderr(), timeout, what=repr(text))

    def status(self, field):
        # A field of /proc/PID/status, e.g. SigCgt (hex mask) or VmRSS (KiB).
        with open(f"/proc/{self.pid}/status") as status:
            line = next(line for line in status if line.startswith(field + ":"))
        return int(line.split()[1], 16 if field.startswith("Sig") else 10)

    def wait_for_handlers(self, timeout=20):
        def caught():
            return all(self.status("SigCgt") & (1 << (s - 1)) for s in (SIGINT, SIGTERM))
        wait_until(caught, timeout, interval=0.005, what="the termination handlers")

    def cpu_seconds(self):
        with open(f"/proc/{self.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def end_with(self, signum, timeout=20):
        # Sends `signum` and answers the exit status, after the output is all read.
        self.process.send_signal(signum)
        status = self.process.wait(timeout=timeout)
        for reader in self._readers:
            reader.join(timeout=timeout)
        return status

    def kill(self):
        self.process.kill()  # nothing when it has ended already
        self.process.wait()
