"""The configuration program at 96 DPI and at 144 DPI (150 %), as on a laptop
screen: its manifest declares it DPI aware, so Windows no longer stretches
it and every control must fit the larger font by itself. The probe inside
the program measures each control and its text (the main window with and
without its Mail queue column, the General and E-mail pages, the OAuth 2.0
dialog, the About box); Common Controls 6 must be the ones in use.
Screenshots at 144 DPI: docs/dpi144-main-window.png, docs/dpi144-general.png."""

import os
import shutil

import pytest

from client_driver import DISPLAY, Client, Driver, screenshot_window, start_xvfb
from harness import WineSession
from harness.release import SETUP_TESTS_DIR, fresh_prefix, project_version
from layout_check import clipped, overlapping, parse
from test_client_props import CANCEL, EMAIL, OAUTH, OK, RETRY, Sheet

SHEET = "Properties for Instance 1"
COLUMNS = ["Instance", "Port", "Status", "Auto Start", "Log File"]


@pytest.fixture(scope="module", params=[96, 144])
def machine(request, workdir):
    """A fresh machine set to the DPI, with a display."""
    # A screen as large as a laptop's: the sheet is 1.5 times its usual size.
    xvfb = start_xvfb("1920x1080x24")
    # With Wine's own fonts: the measurements are of the layout, not of a
    # wider substitute font.
    prefix = fresh_prefix(os.path.join(SETUP_TESTS_DIR, "dpi-prefix"))
    session = WineSession(os.path.join(workdir, "dpi%d" % request.param), display=DISPLAY, prefix=prefix).start()
    session.dpi = request.param
    session.import_reg('REGEDIT4\n\n[HKEY_CURRENT_USER\\Control Panel\\Desktop]\n"LogPixels"=dword:%08x\n' %
                       request.param)
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
def client(machine):
    driver = Driver(machine)
    c = Client(driver).launch()
    yield c
    driver("kill", check=False)
    driver.close()


def faults(layout):
    return clipped(layout) + overlapping(layout)


def test_main_window_pages_and_oauth_dialog_fit(client, machine):
    main = parse(client.layout())
    assert main.dpi == machine.dpi
    assert main.common_controls_6, main.controls_path
    assert [c.text for c in main.columns] == COLUMNS
    assert faults(main) == []
    assert client.wait_for(lambda: client.rows()[0][1][2] == "Stopped")
    shots = machine.dpi == 144
    if shots:
        screenshot_window(client, "dpi144-main-window.png")

    s = Sheet(client, 1)
    general = parse(client.layout(SHEET))
    assert general.find("static", "Serial Port") and general.find("button", "Event Log Settings")
    assert faults(general) == []
    if shots:
        screenshot_window(client, "dpi144-general.png", SHEET)
    s.tab(EMAIL)
    email = parse(client.layout(SHEET))
    assert email.find("static", "Zip attachments:") and email.find("button", "OAuth 2.0 &Settings...")
    assert faults(email) == []
    s.open_dialog(OAUTH, "OAuth 2.0 Settings")
    oauth = parse(client.layout("OAuth 2.0 Settings"))
    assert oauth.find("static", "Certificate thumbprint") and faults(oauth) == []
    s.close_dialog(CANCEL)
    # An instance that retries its mail brings the Mail queue column.
    s.type(RETRY, "24")
    s.close(OK)
    main = parse(client.layout())
    assert [c.text for c in main.columns] == COLUMNS + ["Mail queue"] and faults(main) == []


def test_about_box_shows_the_version_and_fits(client):
    client.post("about")
    about = parse(client.layout("About Tallyline"))
    assert about.find("static", "Tallyline Version " + project_version())
    assert faults(about) == []
    client.press("About Tallyline", 1)
