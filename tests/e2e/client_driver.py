"""Drives client.exe from a second Windows process: guidriver.exe (rows,
selection, menu commands, shortcuts, context menus, message boxes), with
menuprobe.dll reading menus inside client.exe. Also starts the X display the
GUI runs on. Used by the GUI tests (client_gui.py) and tools/client-benchmark.py.
"""

import os
import socket
import subprocess
import time

from harness import BIN_DIR
from harness.wine import BUILD_DIR, TOP, to_windows_path
from layout_check import parse

DISPLAY = os.environ.get("TALLY_GUI_DISPLAY", ":61")
# A run keeps its screenshots in the build folder, so it leaves the checkout
# as it found it; TALLY_SCREENSHOT_DIR=docs refreshes the pictures the guides show.
SCREENSHOTS = (os.path.join(TOP, os.environ["TALLY_SCREENSHOT_DIR"])
               if os.environ.get("TALLY_SCREENSHOT_DIR") else os.path.join(BUILD_DIR, "screenshots"))
# The guides' pictures are taken with a window manager (openbox): windows have
# their title bars and are placed as a desktop places them. The test runs
# themselves keep the bare display they were written for.
WINDOW_MANAGER = bool(os.environ.get("TALLY_SCREENSHOT_DIR"))

# Command identifiers of the menu bar.
ids = dict(exit=32771, about=32772, save=32773, properties=32774, new=32775, duplicate=32776,
           select_all=32777, delete=32778, start=32779, stop=32780, restart=32781,
           continue_=32782, pause=32783, start_auto=32784, event_viewer=32785, live=32786,
           double_click_live=32787)
# The live view's commands.
live_ids = dict(text=32790, hex=32791, pause=32792)


def bin_path(name):
    return to_windows_path(os.path.join(BIN_DIR, name))


def wait_for(predicate, timeout=5.0, interval=0.1):
    """The predicate's first true value, or its last value after timeout."""
    deadline = time.time() + timeout
    while True:
        value = predicate()
        if value or time.time() > deadline:
            return value
        time.sleep(interval)


class DriverError(RuntimeError):
    pass


class Driver:
    """guidriver.exe: one command per line, answers end with a line "."."""

    def __init__(self, session):
        self.session = session
        with open(session.events_path, "ab") as err:
            self.proc = subprocess.Popen(["wine", os.path.join(BIN_DIR, "guidriver.exe")], env=session.env,
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)

    def __call__(self, line, check=True):
        self.proc.stdin.write((line + "\n").encode("utf-8"))
        self.proc.stdin.flush()
        out = []
        while True:
            raw = self.proc.stdout.readline()
            if not raw:
                raise DriverError("driver ended during %r" % line)
            text = raw.decode("latin-1").rstrip("\r\n")
            if text == ".":
                break
            out.append(text)
        if check and out and out[-1].startswith("ERR"):
            raise DriverError("%s: %s" % (line, out[-1]))
        return out

    def close(self):
        if self.proc.poll() is None:
            try:
                self("quit", check=False)
            except (DriverError, OSError):
                pass
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Client:
    """One running client.exe under the driver."""

    def __init__(self, driver):
        self.d = driver

    def launch(self, *args, exe=None, timeout_ms=60000):
        line = "launch %d %s" % (timeout_ms, exe or bin_path("client.exe"))
        if args:
            line += " " + " ".join(args)
        out = self.d(line)
        self.startup_ms = float(out[0].split()[1])
        self.d("inject " + bin_path("menuprobe.dll"))
        return self

    def info(self):
        return dict(line.split("\t", 1) for line in self.d("info"))

    def rows(self):
        """[(selected, [instance, port, status, auto start, log file(, mail queue)]), ...]"""
        result = []
        for line in self.d("rows"):
            parts = line.split("\t")
            result.append((parts[1] == "S", parts[2:]))
        return result

    def column(self, index):
        return [cells[index] for _, cells in self.rows()]

    def numbers(self):
        return [int(n) for n in self.column(0)]

    def selected_numbers(self):
        return [int(cells[0]) for selected, cells in self.rows() if selected]

    def row_of(self, n):
        return self.numbers().index(n)

    def select(self, *numbers):
        rows = [self.row_of(n) for n in numbers]
        self.d("select " + " ".join(str(r) for r in rows))

    def command(self, name):
        """Runs a menu-bar command and returns when it has run."""
        self.d("command %d" % ids[name])

    def post(self, name):
        """Posts a command that opens a modal window (or waits long)."""
        self.d("post %d" % ids[name])

    def keys(self, keys):
        self.d("keys " + keys)

    @staticmethod
    def _menu(lines):
        items = {}
        for line in lines:
            ident, state, check, text = line.split("\t", 3)
            if ident != "0":
                items[text.split("\t")[0]] = (state == "E", check == "C")
        return items

    def menubar(self):
        """{item text: (enabled, checked)} after the frame's enabling rules."""
        return self._menu(self.d("menubar"))

    def menubar_lines(self):
        return self.d("menubar")

    def context_menu(self, where):
        """Right-clicks a row index (or "empty") and returns the open popup."""
        self.d("rclick %s" % where)
        return self._menu(self.d("popup 5000"))

    def layout(self, caption=None):
        """The probe's layout lines of the frame or of the window with that
        caption (see layout_check.py)."""
        return self.d("layout" + (" " + caption if caption else ""))

    def double_click(self, row):
        self.d("dblclick %d" % row)

    def live_view(self, n, timeout_ms=5000):
        """The text and the status line of instance n's open live view."""
        lines = self.d("dialog %d Live Data - Instance %d" % (timeout_ms, n))
        text = [l.split("\t", 2)[2] for l in lines if l.startswith("edit\t")]
        status = [l.split("\t", 2)[2] for l in lines if l.startswith("statusbar\t")]
        return (text[0] if text else ""), (status[0] if status else "")

    def live_command(self, n, name):
        self.press("Live Data - Instance %d" % n, live_ids[name])

    def close_popup(self):
        self.d("popupkey 27")

    def choose(self, mnemonic):
        self.d("popupchar " + mnemonic)

    def dialog(self, caption, timeout_ms=5000):
        return self.d("dialog %d %s" % (timeout_ms, caption))

    def press(self, caption, button):
        self.d("press %d %s" % (button, caption))

    def close(self):
        self.d("close")

    def wait_exit(self, timeout_ms=5000):
        return self.d("waitexit %d" % timeout_ms)[0]

    def wait_for(self, predicate, timeout=5.0, interval=0.1):
        return wait_for(predicate, timeout, interval)

    def kill(self):
        self.d("kill", check=False)


def screenshot(name, width=780, height=590, left=0, top=0):
    """A part of the test display, by default its top left (where the main
    window opens, no window manager), as <name>.png among the screenshots."""
    os.makedirs(SCREENSHOTS, exist_ok=True)
    path = os.path.join(SCREENSHOTS, name)
    subprocess.run(["import", "-display", DISPLAY, "-window", "root", "-crop",
                    "%dx%d+%d+%d" % (width, height, left, top), "+repage", path],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
    return path


def _x_window(title):
    """The X window that shows the Windows window of this title, or None."""
    out = subprocess.run(["xwininfo", "-display", DISPLAY, "-name", title], stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL, timeout=30).stdout.decode("latin-1")
    found = [line.split()[3] for line in out.splitlines() if "Window id:" in line]
    return found[0] if found else None


def screenshot_window(client, name, caption=None):
    """The frame (or the visible window with that caption) where it shows,
    as <name>.png among the screenshots: with the window manager's frame
    around it, or without one (no caption is drawn then: of a sheet or dialog
    only its client area is taken)."""
    window_id = _x_window(caption or client.info()["title"]) if WINDOW_MANAGER else None
    if window_id is not None:
        os.makedirs(SCREENSHOTS, exist_ok=True)
        path = os.path.join(SCREENSHOTS, name)
        subprocess.run(["import", "-display", DISPLAY, "-frame", "-window", window_id, path],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        return path
    window = parse(client.layout(caption)).controls[0]
    left, top, right, bottom = window.rect
    if caption is not None:
        left, top, width, height = window.client
        right, bottom = left + width, top + height
    return screenshot(name, right - left, bottom - top, left, top)


def _display_answers(socket_path):
    probe = socket.socket(socket.AF_UNIX)
    try:
        probe.connect(socket_path)
        return True
    except OSError:
        return False
    finally:
        probe.close()


def start_xvfb(screen="1024x768x24"):
    """Starts Xvfb on DISPLAY (unless one serves it already) and returns it."""
    number = DISPLAY.lstrip(":")
    socket_path = "/tmp/.X11-unix/X%s" % number
    if os.path.exists(socket_path):
        if _display_answers(socket_path):
            return None   # already served (a previous run's or a developer's Xvfb)
        # Left behind by an Xvfb that was killed: it would refuse a new one.
        for stale in (socket_path, "/tmp/.X%s-lock" % number):
            try:
                os.unlink(stale)
            except OSError:
                pass
    proc = subprocess.Popen(["Xvfb", DISPLAY, "-screen", "0", screen, "-nolisten", "tcp"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    deadline = time.time() + 10
    while not os.path.exists("/tmp/.X11-unix/X%s" % number):
        if time.time() > deadline or proc.poll() is not None:
            raise RuntimeError("Xvfb did not start on " + DISPLAY)
        time.sleep(0.05)
    if WINDOW_MANAGER:
        # It ends with the display.
        subprocess.Popen(["openbox"], env=dict(os.environ, DISPLAY=DISPLAY), stdin=subprocess.DEVNULL,
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return proc
