"""The configuration program at 144 DPI (150 %), as on a laptop screen: its
manifest declares it DPI aware, so Windows no longer stretches it and every
control must fit the larger font by itself. The probe inside the program
measures each control and its text; Common Controls 6 must be the ones in
use. Screenshots: docs/dpi144-main-window.png, docs/dpi144-general.png."""

import os
import shutil

import pytest

from client_driver import DISPLAY, Client, Driver, screenshot, start_xvfb
from harness import WineSession
from harness.release import SETUP_TESTS_DIR, fresh_prefix, project_version
from layout_check import clipped, overlapping, parse

DPI = 144
SHEET = "Properties for Instance 1"


@pytest.fixture(scope="module")
def hidpi(workdir):
    """A fresh machine set to 144 DPI, with a display."""
    # A screen as large as a laptop's: the sheet is 1.5 times its usual size.
    xvfb = start_xvfb("1920x1080x24")
    # With Wine's own fonts: the measurements are of the layout, not of a
    # wider substitute font.
    prefix = fresh_prefix(os.path.join(SETUP_TESTS_DIR, "dpi-prefix"))
    session = WineSession(os.path.join(workdir, "dpi"), display=DISPLAY, prefix=prefix).start()
    session.import_reg('REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n"LogPixels"=dword:%08x\n' % DPI)
    # Every process of a session takes the DPI from its start.
    session.stop()
    session.start()
    try:
        yield session
    finally:
        session.stop()
        if xvfb is not None:
            xvfb.terminate()
            xvfb.wait(timeout=10)
        if not os.environ.get("TALLY_KEEP_WORKDIR"):
            shutil.rmtree(prefix, ignore_errors=True)


@pytest.fixture
def client(hidpi):
    driver = Driver(hidpi)
    c = Client(driver).launch()
    yield c
    driver("kill", check=False)
    driver.close()


def shoot(name, layout):
    left, top, right, bottom = layout.controls[0].rect
    return screenshot(name, right - left, bottom - top, left, top)


def test_main_window_and_general_page_fit_at_144_dpi(client):
    main = parse(client.layout())
    assert main.dpi == DPI
    assert main.common_controls_6, main.controls_path
    assert [c.text for c in main.columns] == ["Instance", "Port", "Status", "Auto Start", "Log File"]
    assert clipped(main) == [] and overlapping(main) == []
    assert client.wait_for(lambda: client.rows()[0][1][2] == "Stopped")
    shoot("dpi144-main-window.png", main)

    client.select(1)
    client.post("properties")
    client.d("sheet 10000 " + SHEET)
    general = parse(client.layout(SHEET))
    assert general.find("static", "Serial Port") and general.find("button", "Event Log Settings")
    assert clipped(general) == [] and overlapping(general) == []
    shoot("dpi144-general.png", general)
    client.d("click 2")   # Cancel


def test_about_box_shows_the_version_and_fits(client):
    client.post("about")
    about = parse(client.layout("About Tallyline"))
    assert about.find("static", "Tallyline Version " + project_version())
    assert clipped(about) == [] and overlapping(about) == []
    client.press("About Tallyline", 1)
