"""GUI end-to-end fixtures for client.exe: a Wine session with an X display
(Xvfb, DISPLAY :61 unless TALLY_GUI_DISPLAY says otherwise) and running
client.exe windows under guidriver.exe (client_driver.py).

Test modules import the fixtures: `from client_gui import *`.
"""

import os

import pytest

import conftest
from client_driver import DISPLAY, Client, Driver, start_xvfb
from harness import WineSession

__all__ = ["gui", "client", "gui_cleanup"]


@pytest.fixture(scope="module")
def gui(_shared_session, workdir):
    """The session of the module's tests, with a display; the shared session
    is stopped meanwhile and started again afterwards."""
    xvfb = start_xvfb()
    conftest._session_holder["session"].stop()
    session = WineSession(os.path.join(workdir, "gui"), display=DISPLAY).start()
    conftest._session_holder["session"] = session
    try:
        yield session
    finally:
        session.stop()
        conftest._start_shared(workdir)
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait(timeout=10)


@pytest.fixture
def gui_cleanup(gui):
    """A driver with no Quillbox service installed before and after the test."""
    d = Driver(gui)
    d("purge")
    yield d
    d("kill", check=False)
    d("purge")
    d.close()


@pytest.fixture
def client(gui_cleanup):
    """A factory of running client.exe windows; each is ended after the test."""
    made = []

    def make(*args, exe=None):
        c = Client(gui_cleanup if not made else Driver(gui_cleanup.session))
        made.append(c)
        return c.launch(*args, exe=exe)

    yield make
    for c in made:
        c.kill()
        if c.d is not gui_cleanup:
            c.d.close()
