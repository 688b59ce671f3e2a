"""Fixtures shared by the end-to-end tests.

`wine`: one Wine session for the whole run (prefix in the build folder).
`port`: a fresh virtual COM port per test (COM5, COM6, ... never reused).
`instance`: a factory that installs Quillbox<N> with any set of values and
    uninstalls it afterwards; the log goes to a fresh folder under C:\\.
A test that needs its own session (another time zone, DLL overrides) uses
`wine_factory`: it stops the shared session first and restores it after.
"""

import itertools
import os
import shutil
import sys
import tempfile

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from harness import Instance, VirtualPort, WineSession  # noqa: E402

_port_numbers = itertools.count(5)
_instance_numbers = itertools.cycle(range(1, 65))
_session_holder = {}


@pytest.fixture(scope="session")
def workdir():
    d = tempfile.mkdtemp(prefix="tally-e2e-")
    yield d
    if not os.environ.get("TALLY_KEEP_WORKDIR"):
        shutil.rmtree(d, ignore_errors=True)


def _start_shared(workdir):
    s = WineSession(os.path.join(workdir, "shared")).start()
    _session_holder["session"] = s
    return s


@pytest.fixture(scope="session")
def _shared_session(workdir):
    s = _start_shared(workdir)
    yield
    _session_holder["session"].stop()


@pytest.fixture(scope="module", autouse=True)
def _fresh_session_per_module(workdir):
    """Each test module starts from a fresh Wine session, so that services and
    Wine state left behind by one module cannot reach the next one."""
    if "session" in _session_holder:
        _session_holder["session"].stop()
        _start_shared(workdir)
    yield


@pytest.fixture
def wine(_shared_session):
    return _session_holder["session"]


@pytest.fixture
def wine_factory(_shared_session, workdir):
    """Replaces the shared session by one with other settings for one test."""
    made = []

    def make(**settings):
        _session_holder["session"].stop()
        s = WineSession(os.path.join(workdir, "custom%d" % len(made)), **settings).start()
        made.append(s)
        return s

    yield make
    if made:
        made[-1].stop()
        _start_shared(workdir)


@pytest.fixture
def port(wine, workdir):
    p = VirtualPort(wine, next(_port_numbers), os.path.join(workdir, "ports")).open()
    yield p
    p.close()


@pytest.fixture
def port_factory(wine, workdir):
    """Fresh virtual ports, as many as a test asks for."""
    made = []

    def make():
        made.append(VirtualPort(wine, next(_port_numbers), os.path.join(workdir, "ports")).open())
        return made[-1]

    yield make
    for p in made:
        p.close()


@pytest.fixture
def instance(wine):
    made = []

    def make(session=None, n=None, omit=(), **values):
        s = session or wine
        number = n or next(_instance_numbers)
        logdir = "C:\\logs%d" % number
        # The prefix outlives a run: start from an empty log folder.
        shutil.rmtree(s.c_drive("logs%d" % number), ignore_errors=True)
        os.makedirs(s.c_drive("logs%d" % number))
        values.setdefault("LogFilename", logdir + "\\Quillbox%d.log" % number)
        inst = Instance(s, number, **values).install(omit=omit)
        made.append(inst)
        return inst

    yield make
    for inst in made:
        inst.uninstall()
