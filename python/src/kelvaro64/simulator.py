"""Starts kelvaro64-headless for a test: free ports, a private settings folder, its ready lines."""

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from kelvaro64.client import Client
from kelvaro64.documents import Block

PROGRAM = "kelvaro64-headless"
_READY_SECONDS = 30.0
_STOP_SECONDS = 20.0
_ATTEMPTS = 5
_GUARD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_guard.py")


class SimulatorError(RuntimeError):
    """The program could not be started, was not ready in time, or did not end cleanly."""


def find_headless(headless=None):
    """``headless`` if given; else ``$KELVARO64_HEADLESS`` (the program, or a build folder
    holding it, or its ``app/``); else the program on PATH."""
    if headless:
        candidates = [os.fspath(headless)]
    elif os.environ.get("KELVARO64_HEADLESS"):
        place = os.environ["KELVARO64_HEADLESS"]
        candidates = [place, os.path.join(place, PROGRAM), os.path.join(place, "app", PROGRAM)]
    else:
        found = shutil.which(PROGRAM)
        candidates = [found] if found else []
    for c in candidates:
        if os.path.isfile(c) and os.access(c, os.X_OK):
            return os.path.abspath(c)
    raise SimulatorError("%s not found (looked at %s): put it on PATH, set KELVARO64_HEADLESS to it or its "
                         "build folder, or pass headless=" % (PROGRAM, ", ".join(candidates) or "PATH"))


def _free_port(kind=socket.SOCK_STREAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Simulator:
    """kelvaro64-headless on a set-up file (``setup``), or on documents (``Simulator.block(...)``,
    dicts of its arguments, or ``.kvd`` files) with set-up ``extras`` (a dict as in ``NAME.tst.json``: faults, servers,
    generators ...). Ports given as 0 are chosen free; ``udp_port`` and ``rtu_over_tcp_port``
    None leave those servers closed. Started when made; ``stop()`` or the end of a ``with``
    ends it with SIGTERM and raises :class:`SimulatorError` if it did not end cleanly."""

    block = staticmethod(Block)

    def __init__(self, setup=None, documents=(), extras=None, tcp_port=0, udp_port=None,
                 rtu_over_tcp_port=None, headless=None):
        self.program = find_headless(headless)
        self.setup = os.path.abspath(setup) if setup is not None else None
        self.documents = [Block(**d) if isinstance(d, dict) else d for d in documents]
        if self.setup is None and not self.documents:
            self.documents = [Block(1, 3, 1, 1000)]   # what a new window holds
        self.extras = extras
        self.tcp_port = self.automation_port = self.pid = None
        self.udp_port = self.rtu_over_tcp_port = None
        self.client = None
        self.folder = None
        self.returncode = None
        self._wanted = (tcp_port, udp_port, rtu_over_tcp_port)
        self._lines = []
        self._guard = None
        self._reader = None
        self._changed = threading.Condition()
        self._start()

    # -- what it printed ---------------------------------------------------------------------

    @property
    def log(self):
        """Everything the program printed (standard output and error), so far."""
        with self._changed:
            return "".join(self._lines)

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self._changed:
                self._lines.append(raw.decode("utf-8", "replace"))
                self._changed.notify_all()
        stream.close()
        with self._changed:
            self._lines.append("")   # the end, for waiters
            self._changed.notify_all()

    # -- start -------------------------------------------------------------------------------

    def _files(self):
        files = [self.setup] if self.setup else []
        for i, doc in enumerate(self.documents):
            if isinstance(doc, Block):
                files.append(doc.write(os.path.join(self.folder, "block%d.kvd" % (i + 1))))
            else:
                files.append(os.path.abspath(doc))
        if self.extras is not None:
            path = os.path.join(self.folder, "extras.json")
            with open(path, "w", encoding="utf-8") as f:
                json.dump(self.extras, f)
            files += ["--scenario", path]
        return files

    def _start(self):
        tcp, udp, rtu = self._wanted
        for attempt in range(_ATTEMPTS):
            self.tcp_port = tcp or _free_port()
            self.udp_port = udp or (_free_port(socket.SOCK_DGRAM) if udp == 0 else None)
            self.rtu_over_tcp_port = rtu or (_free_port() if rtu == 0 else None)
            self.automation_port = _free_port()
            chosen = {p for p, w in ((self.tcp_port, tcp), (self.udp_port, udp), (self.rtu_over_tcp_port, rtu),
                                     (self.automation_port, 0)) if w == 0}
            try:
                clash = self._launch(chosen)
            except BaseException:
                self._end(quiet=True)
                raise
            if not clash:
                self.client = Client(self.automation_port)
                return
            self._end(quiet=True)   # one of our free ports was taken meanwhile: new ones
        raise SimulatorError("no free ports after %d attempts:\n%s" % (_ATTEMPTS, self.log))

    def _launch(self, chosen):
        """Starts the program and waits for its ready lines; True when a port we chose clashed."""
        self._lines = []
        self.folder = tempfile.mkdtemp(prefix="kelvaro64-")
        env = dict(os.environ)
        for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR"):
            env[name] = os.path.join(self.folder, name.lower())
            os.mkdir(env[name], 0o700)
        env.pop("KELVARO64_AUTOMATION_PORT", None)
        args = [self.program, "--tcp-port", str(self.tcp_port), "--automation-port", str(self.automation_port)]
        if self.udp_port is not None:
            args += ["--udp-port", str(self.udp_port)]
        if self.rtu_over_tcp_port is not None:
            args += ["--rtu-over-tcp-port", str(self.rtu_over_tcp_port)]
        args += self._files()

        pid_read, pid_write = os.pipe()
        try:
            self._guard = subprocess.Popen(
                [sys.executable, _GUARD, str(pid_write), self.folder, "--"] + args, env=env,
                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                pass_fds=(pid_write,), start_new_session=True)
        finally:
            os.close(pid_write)
        with os.fdopen(pid_read) as f:
            text = f.read().strip()
        self.pid = int(text) if text.isdigit() else None
        self._reader = threading.Thread(target=self._read, args=(self._guard.stdout,), daemon=True)
        self._reader.start()

        expected = ["automation: 127.0.0.1:%d" % self.automation_port]
        expected.append("restored: " if self.setup else "open: Modbus/TCP server (port %d)" % self.tcp_port)
        if self.udp_port is not None:
            expected.append("open: Modbus/UDP server (port %d)" % self.udp_port)
        if self.rtu_over_tcp_port is not None:
            expected.append("open: RTU over TCP server (port %d)" % self.rtu_over_tcp_port)
        def naming(ports):
            # "failed: ... (port N)" for a set-up's servers; "--OPTION N: cannot open the port" for
            # a port named on the command line, which ends the program.
            return ["(port %d)" % p for p in ports] + [" %d: cannot open the port" % p for p in ports] + \
                ["automation port %d " % self.automation_port if self.automation_port in ports else None]

        ours = [n for n in naming(chosen) if n]
        requested = [n for n in naming({self.tcp_port, self.udp_port, self.rtu_over_tcp_port,
                                        self.automation_port} - {None}) if n]
        deadline = time.monotonic() + _READY_SECONDS
        with self._changed:
            while True:
                lines = [l.rstrip("\n") for l in self._lines]
                failed = [l for l in lines if l.startswith("failed: ") or " is not available " in l
                          or ": cannot open the port" in l]
                if any(o in l for l in failed for o in ours):
                    return True
                if any(o in l for l in failed for o in requested):
                    raise SimulatorError("%s could not open a port it was given:\n%s" % (PROGRAM, "".join(self._lines)))
                if all(any(l.startswith(e) for l in lines) for e in expected):
                    return False
                ended = self._lines and self._lines[-1] == ""
                if ended or time.monotonic() > deadline:
                    why = "ended before it was ready" if ended else "was not ready within %d s" % _READY_SECONDS
                    raise SimulatorError("%s %s:\n%s" % (PROGRAM, why, "".join(self._lines)))
                self._changed.wait(max(0.0, deadline - time.monotonic()))

    # -- stop --------------------------------------------------------------------------------

    def _end(self, quiet=False):
        if self.client is not None:
            self.client.close()
            self.client = None
        guard, self._guard = self._guard, None
        if guard is None:
            if self.folder:
                shutil.rmtree(self.folder, ignore_errors=True)
            return None
        guard.stdin.close()   # the guard ends the program with SIGTERM and removes the folder
        try:
            code = guard.wait(_STOP_SECONDS)
        except subprocess.TimeoutExpired:
            for pid in (self.pid, guard.pid):   # the program first: killed, the guard cannot
                try:
                    if pid:
                        os.kill(pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
            code = guard.wait()
            if not quiet:
                raise SimulatorError("%s did not end:\n%s" % (PROGRAM, self.log)) from None
        finally:
            self._reader.join(5)
            if self.folder:
                shutil.rmtree(self.folder, ignore_errors=True)
        return code

    def stop(self):
        """Ends the program with SIGTERM; raises SimulatorError unless it ended with status 0."""
        if self._guard is None:
            return
        self.returncode = self._end()
        if self.returncode != 0:
            raise SimulatorError("%s ended with status %s:\n%s" % (PROGRAM, self.returncode, self.log))

    @property
    def running(self):
        return self._guard is not None and self._guard.poll() is None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def __repr__(self):
        return "<Simulator tcp_port=%s automation_port=%s%s>" % (
            self.tcp_port, self.automation_port, "" if self.running else " stopped")
