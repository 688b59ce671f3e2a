"""A headless Wine session in the build's prefix.

The session keeps its wineserver alive (-p) so services survive between the
test's processes, and it starts with +eventlog on and stderr in a file, which
the services inherit: that file is where their event-log reports appear.
"""

import ctypes
import os
import subprocess
import time

from .events import parse_events


def _without_address_randomisation():
    """Every Wine process this Python process starts, and every process those
    start (services among them), runs without address randomisation.

    Debian's Wine runs its loader at a fixed address, 0x7d000000, and the
    kernel starts the loader's heap at a random place in the gigabyte above
    it. Now and then (2 of 7,500 starts in a stress run) that heap covers
    0x7ffe0000, the page Wine must map into every Windows process; the
    process then dies at once with exit code 1 and only "failed to map the
    shared user data: c0000018" on stderr. A suite starts Wine processes
    by the thousand, so a run failed now and then. Without
    randomisation the heap starts right after the loader. The setting is
    inherited through fork and exec, so setting it here once covers every
    program the tests run."""
    ADDR_NO_RANDOMIZE = 0x0040000
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        current = libc.personality(0xFFFFFFFF)
        if current != -1 and not current & ADDR_NO_RANDOMIZE:
            libc.personality(current | ADDR_NO_RANDOMIZE)
    except (OSError, AttributeError):
        pass


_without_address_randomisation()

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
BUILD_DIR = os.path.abspath(os.environ.get("TALLY_BUILD_DIR", os.path.join(TOP, "build")))
BIN_DIR = os.path.join(BUILD_DIR, "bin")


def to_windows_path(path):
    """A Unix path as Wine's Z: drive shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


class WineSession:
    def __init__(self, workdir, tz=None, dll_overrides=None, display=None, extra_env=None, prefix=None):
        self.workdir = workdir
        self.prefix = prefix or os.path.join(BUILD_DIR, "wineprefix")
        self.events_path = os.path.join(workdir, "wine-stderr.log")
        env = dict(os.environ)
        env.update({
            "WINEPREFIX": self.prefix,
            "WINEARCH": "win64",
            # Wine's own errors go to the session's log too: when a program
            # fails, the reason is there.
            "WINEDEBUG": "-all,err+all,+eventlog",
            "WINEDLLOVERRIDES": "mscoree,mshtml=;winedbg.exe=d" + (";" + dll_overrides if dll_overrides else ""),
        })
        env.pop("DISPLAY", None)
        if display:
            env["DISPLAY"] = display
        if tz:
            env["TZ"] = tz
        if extra_env:
            env.update(extra_env)
        self.env = env
        self.started_services = set()
        self._children = []

    # --- session -----------------------------------------------------------
    def start(self):
        os.makedirs(self.workdir, exist_ok=True)
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            env = dict(self.env, WINEDEBUG="-all")
            env.pop("DISPLAY", None)
            subprocess.run(["wine", "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
            subprocess.run(["wineserver", "-w"], env=env, check=False)
        # A session left over by an aborted run would keep the old TZ and stderr.
        self._kill_server()
        subprocess.run(["wineserver", "-p"], env=self.env, check=True, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
        with open(self.events_path, "ab") as err:
            subprocess.run(["wine", "cmd", "/c", "exit", "0"], env=self.env,
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=err,
                           timeout=120)
        return self

    def stop(self):
        for name in sorted(self.started_services):
            status = self.scctl("query", name, check=False)
            if "state=1 " not in status:
                self.scctl("control", name, "stop", check=False)
                self.scctl("wait", name, "1", "70000", check=False, timeout=90)
        self.started_services.clear()
        self._kill_server()
        for p in self._children:
            if p.poll() is None:
                p.kill()
            p.wait()
        self._children.clear()

    def _kill_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL, check=False)
        subprocess.run(["timeout", "10", "wineserver", "-w"], env=self.env,
                       stderr=subprocess.DEVNULL, check=False)

    # --- running programs --------------------------------------------------
    def run(self, args, timeout=60, check=True, input=None):
        """Runs a Windows program (path under build/bin or a Wine builtin)
        and returns its standard output as text."""
        began = self._log_size()
        code, out = self.run_status(args, timeout=timeout, input=input)
        if check and code != 0:
            raise RuntimeError("%s failed (%d): %s\nWine's messages meanwhile:\n%s"
                               % (" ".join(args), code, out, self._wine_messages_since(began)))
        return out

    def run_status(self, args, timeout=60, input=None):
        """Like run(), but returns (exit code, standard output) and never raises
        on the exit code."""
        program = args[0]
        if not os.path.isabs(program) and os.path.exists(os.path.join(BIN_DIR, program)):
            program = os.path.join(BIN_DIR, program)
        # stderr goes to the session's file as well: should Wine restart its
        # service manager from this process, the services still report there.
        with open(self.events_path, "ab") as err:
            result = subprocess.run(["wine", program] + list(args[1:]), env=self.env,
                                    input=input, stdout=subprocess.PIPE, stderr=err,
                                    timeout=timeout)
        return result.returncode, result.stdout.decode("latin-1").replace("\r\n", "\n")

    def _log_size(self):
        try:
            return os.path.getsize(self.events_path)
        except OSError:
            return 0

    def _wine_messages_since(self, offset):
        """Wine's own lines (not event reports) written to the log since offset."""
        with open(self.events_path, "rb") as f:
            f.seek(offset)
            lines = f.read().decode("latin-1").splitlines()
        return "\n".join(line for line in lines if ":eventlog:ReportEventW" not in line)[-3000:]

    def spawn(self, args):
        """Starts a Windows program in the background (reaped at stop)."""
        program = args[0]
        if not os.path.isabs(program) and os.path.exists(os.path.join(BIN_DIR, program)):
            program = os.path.join(BIN_DIR, program)
        with open(self.events_path, "ab") as err:
            p = subprocess.Popen(["wine", program] + list(args[1:]), env=self.env,
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        self._children.append(p)
        return p

    def scctl(self, *args, check=True, timeout=60):
        return self.run(["scctl.exe"] + list(args), check=check, timeout=timeout)

    def import_reg(self, text):
        path = os.path.join(self.workdir, "import.reg")
        with open(path, "w", encoding="latin-1", newline="\r\n") as f:
            f.write(text)
        self.run(["regedit", "/S", to_windows_path(path)])

    def reg_query(self, key, value):
        """The data of one registry value as `reg query` prints it, or None."""
        out = self.run(["reg", "query", key, "/v", value], check=False)
        for line in out.splitlines():
            parts = line.split(None, 2)
            if len(parts) >= 2 and parts[0] == value:
                return parts[2] if len(parts) == 3 else ""
        return None

    # --- files -------------------------------------------------------------
    def c_drive(self, *parts):
        return os.path.join(self.prefix, "drive_c", *parts)

    # --- events ------------------------------------------------------------
    def events(self):
        try:
            with open(self.events_path, "r", encoding="utf-8", errors="replace") as f:
                return parse_events(f.read())
        except FileNotFoundError:
            return []

    def mark(self):
        """An index into events(): later calls of events_since() see only newer ones."""
        return len(self.events())

    def events_since(self, mark):
        return self.events()[mark:]

    def wait_for_event(self, predicate, timeout=10, since=0):
        deadline = time.time() + timeout
        while True:
            for e in self.events()[since:]:
                if predicate(e):
                    return e
            if time.time() > deadline:
                return None
            time.sleep(0.1)


def reap_children():
    """This sandbox's PID 1 does not reap orphans; collect what we can."""
    try:
        while True:
            pid, _ = os.waitpid(-1, os.WNOHANG)
            if pid == 0:
                break
    except ChildProcessError:
        pass

