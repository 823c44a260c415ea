"""A recorder run as a child, its standard output read as it comes and scanned for clicks.

The reader thread stamps each chunk the moment read() hands it over and looks for a click in
it there and then, so the arrival time does not depend on how often anyone polls, and the
output is counted rather than kept: a minute of it would otherwise be copied on every poll,
and that work would land on the same two cores as the recorder being measured."""
import array
import os
import subprocess
import sys
import tempfile
import threading
import time

from soundservers import end_process, spawn, wait_until

# A full-scale click reads about 32767; a resampler's ringing ahead of it stays far below.
CLICK_LEVEL = 8000


def _loudest(pcm):
    samples = array.array("h")
    samples.frombytes(pcm)
    if sys.byteorder != "little":
        samples.byteswap()
    return max(max(samples, default=0), -min(samples, default=0))


class RecorderProcess:
    def __init__(self, argv, env):
        self.argv = argv
        self._stderr = tempfile.TemporaryFile()
        self.process = spawn(argv, env, stdout=subprocess.PIPE, stderr=self._stderr)
        self.pid = self.process.pid
        self._lock = threading.Lock()
        self._bytes = 0
        self._odd_byte = b""
        self._armed = False
        self._arrival = None
        self._arrived = threading.Event()
        self._reader = threading.Thread(target=self._pump, daemon=True)
        self._reader.start()

    def _pump(self):
        stream = self.process.stdout
        while True:
            chunk = stream.read1(65536)
            now = time.monotonic()
            if not chunk:
                return
            with self._lock:
                self._bytes += len(chunk)
                pcm = self._odd_byte + chunk
                whole = len(pcm) - len(pcm) % 2
                self._odd_byte = pcm[whole:]
                if self._armed and _loudest(pcm[:whole]) > CLICK_LEVEL:
                    self._armed = False
                    self._arrival = now
                    self._arrived.set()

    def byte_count(self):
        with self._lock:
            return self._bytes

    def wait_for_output(self, byte_count, timeout):
        wait_until(lambda: self.byte_count() >= byte_count or not self.alive(), timeout,
                   what=f"audio from {self.argv[0]}")
        if not self.alive():
            raise RuntimeError(f"exited with status {self.process.returncode} before any audio")

    def arm(self):
        """Looks for a click in what arrives from now on."""
        with self._lock:
            self._arrival = None
            self._arrived.clear()
            self._armed = True

    def click_arrival(self, timeout):
        """When the armed click's first loud sample was read, or None."""
        self._arrived.wait(timeout)
        with self._lock:
            self._armed = False
            return self._arrival

    def alive(self):
        return self.process.poll() is None

    def cpu_seconds(self):
        return cpu_seconds(self.pid)

    def context_switches(self):
        return context_switches(self.pid)

    def resident_kib(self):
        """VmRSS and its anonymous and shared-memory parts: pages of the sound server's
        shared pool count in VmRSS once touched, which is no leak of the recorder's."""
        wanted = {"VmRSS:": "total", "RssAnon:": "anon", "RssShmem:": "shmem"}
        found = {}
        with open(f"/proc/{self.pid}/status") as status:
            for line in status:
                key = line.split(None, 1)[0] if line.strip() else ""
                if key in wanted:
                    found[wanted[key]] = int(line.split()[1])
        return found

    def stderr_tail(self, limit=400):
        self._stderr.seek(0)
        text = self._stderr.read().decode(errors="replace").strip()
        return text[-limit:] or "(nothing on stderr)"

    def stop(self):
        end_process(self.process)
        self._reader.join(timeout=5)
        self._stderr.close()


def cpu_seconds(pid):
    """User plus system time of `pid` so far, from /proc/PID/stat."""
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def context_switches(pid):
    """Voluntary plus involuntary context switches of all of `pid`'s threads so far: each
    voluntary one is a wake-up after a wait, each involuntary one a preemption."""
    total = 0
    task_dir = f"/proc/{pid}/task"
    for task in os.listdir(task_dir):
        try:
            with open(f"{task_dir}/{task}/status") as status:
                for line in status:
                    if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                        total += int(line.split()[1])
        except FileNotFoundError:
            continue  # a thread that ended meanwhile
    return total
