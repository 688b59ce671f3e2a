"""The setup program and its uninstaller on fresh Windows machines (a copy
of a pristine Wine prefix per test): a silent install, the configuration
program started from Program Files, an upgrade while a device sends, the
uninstall, and the cases that must change nothing; the MSI package under
Wine's msiexec; signing."""

import glob
import os
import shutil
import subprocess
import threading
import time
import zipfile

import pytest

from client_driver import DISPLAY, Client, Driver, bin_path, screenshot, start_xvfb, wait_for
from harness import BIN_DIR, Instance, VirtualPort, WineSession
from harness.instance import PAUSED, RUNNING, STOPPED, SERVICES_KEY
from harness.release import (PROGRAM_FOLDER, SETUP_TESTS_DIR, START_MENU_FOLDER, UNINSTALL_KEY, fresh_prefix,
                             msi_beside, msi_table, package, package_next_version, package_with_stand_in_client,
                             project_version, security, version_info, writers)
from harness.wine import BUILD_DIR, to_windows_path

# What the setup program and the package install, as tools/package.sh stages
# it; the documents are CR LF text.
DOCUMENTS = ("README.txt", "ADMIN-GUIDE.txt", "REFERENCE.txt", "LICENSE.txt")
PROGRAM_FILES = ("client.exe", "tallysvc.exe") + DOCUMENTS
INSTALLED = sorted(PROGRAM_FILES + ("uninstall.exe",))
QUOTED_SERVICE = '"%s\\tallysvc.exe"' % PROGRAM_FOLDER
EXIT_ENDED_BY_MESSAGE = 2
EXIT_ANOTHER_SETUP = 4
EXIT_HALF_CHANGED = 5
EXIT_NOT_CONFIGURED = 6
SETUP_LOG = "C:\\setup.log"
PROTECTED_SDDL = "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"


@pytest.fixture(scope="module")
def display():
    xvfb = start_xvfb()
    yield DISPLAY
    if xvfb is not None:
        xvfb.terminate()
        xvfb.wait(timeout=10)


@pytest.fixture(scope="module")
def setup_exe():
    return package()


@pytest.fixture(scope="module")
def next_setup():
    """(path, version) of the setup program of the next patch version."""
    return package_next_version()


def _fresh_machine(workdir, display, name, prefix_name):
    prefix = fresh_prefix(os.path.join(SETUP_TESTS_DIR, prefix_name))
    return WineSession(os.path.join(workdir, "setup-" + name), display=display, prefix=prefix).start()


def _discard_machine(session):
    session.stop()
    if not os.environ.get("TALLY_KEEP_WORKDIR"):
        shutil.rmtree(session.prefix, ignore_errors=True)


@pytest.fixture
def machine(workdir, display, request):
    """A Windows machine that has never seen Tallyline, with a display for
    the configuration program."""
    session = _fresh_machine(workdir, display, request.node.name, "prefix")
    yield session
    _discard_machine(session)


@pytest.fixture
def more_machines(workdir, display, request):
    """Makes further fresh machines for one test, each with its own prefix."""
    made = []

    def make():
        made.append(_fresh_machine(workdir, display, "%s-%d" % (request.node.name, len(made) + 2),
                                   "prefix-%d" % (len(made) + 2)))
        return made[-1]

    yield make
    for session in made:
        _discard_machine(session)


def run_setup(session, setup, *args):
    code, _ = session.run_status([setup] + list(args), timeout=300)
    return code


def run_typed(session, line):
    """A command line as an administrator types it at the prompt: /D= and
    _?= take the rest of it, blanks and all, unquoted."""
    code, _ = session.run_status(["cmd", "/c", line], timeout=300)
    return code


def run_setup_in(session, setup, folder):
    return run_typed(session, "%s /S /D=%s" % (to_windows_path(setup), folder))


def program_folder(session, *parts):
    return session.c_drive("Program Files", "Tallyline", *parts)


def start_menu(session, *parts):
    return session.c_drive(*(START_MENU_FOLDER + parts))


def staged(version, name):
    """A file as the setup program of that version installs it."""
    with open(os.path.join(BUILD_DIR, "package", "Tallyline-" + version, name), "rb") as f:
        return f.read()


def read(path):
    with open(path, "rb") as f:
        return f.read()


def uninstall_key(session):
    names = ("DisplayName", "DisplayVersion", "Publisher", "InstallLocation", "UninstallString",
             "QuietUninstallString", "DisplayIcon", "EstimatedSize", "NoModify", "NoRepair")
    values = {name: session.reg_query(UNINSTALL_KEY, name) for name in names}
    return {k: v for k, v in values.items() if v is not None}


def service_exists(session, n):
    return "state=" in session.scctl("query", "Quillbox%d" % n, check=False)


def state_of(session, n):
    out = session.scctl("query", "Quillbox%d" % n, check=False)
    return int(out.split("state=")[1].split()[0]) if "state=" in out else None


def instance_keys(session):
    """Every registry value of the Quillbox services and their event sources,
    but the volatile Status key a running instance rewrites every second."""
    dump = []
    for root in (SERVICES_KEY, SERVICES_KEY + r"\EventLog\Application"):
        for n in range(1, 4):
            out = session.run(["reg", "query", root + "\\Quillbox%d" % n, "/s"], check=False)
            blocks = out.split("\n\n")
            dump.append("\n\n".join(b for b in blocks if not b.strip().split("\n")[0].endswith("\\Status")))
    return dump


def setup_log(session):
    with open(session.c_drive("setup.log"), encoding="latin-1", newline="") as f:
        return f.read()


def quiet_uninstall(session):
    """Runs the uninstall command Windows keeps for the product, as a
    deployment tool does: returns its exit code when the work is done."""
    quiet = session.reg_query(UNINSTALL_KEY, "QuietUninstallString")
    program, rest = quiet[1:].split('"', 1)
    # Split at its blanks, the arguments come to the program as typed
    # (_?= takes the rest of the line, blanks and all, unquoted). Its
    # output on no pipe: waiting for the end of a pipe would also wait for
    # any copy of it still running.
    with open(session.events_path, "ab") as err:
        return subprocess.run(["wine", program] + rest.split(), env=session.env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=err, timeout=300).returncode


def uninstall(session):
    assert quiet_uninstall(session) == 0
    # Done when it returns (looked at at once, not through another Wine
    # process, which would give an uninstaller that returns early its time).
    assert not os.path.exists(program_folder(session, "client.exe"))
    assert session.reg_query(UNINSTALL_KEY, "DisplayName") is None
    # A copy of the uninstaller deletes it once it has ended.
    assert wait_for(lambda: not os.path.exists(program_folder(session, "uninstall.exe")), timeout=30,
                    interval=0.2)


def without_write_for_others(session, windows_path):
    """Only SYSTEM, the Administrators and the installing administrator may
    change it (under Wine the DACL is read back from the Unix mode bits)."""
    sddl = security(session, windows_path)
    return writers(sddl) <= {"SY", "BA", sddl.split("O:")[1].split("D:")[0]}, sddl


def open_to_others(session, folder, names):
    """Of the folder and each file named in it, those others may change, with
    their SDDL."""
    paths = [folder] + [folder + "\\" + name for name in names]
    return [(p, security(session, p)) for p in paths if not without_write_for_others(session, p)[0]]


def test_silent_install_lays_down_files_shortcuts_and_uninstall_key(machine, setup_exe):
    version = project_version()
    # The setup program itself says which version it installs.
    setup_info = version_info(machine, setup_exe)
    assert (setup_info["fixed"], setup_info["ProductVersion"]) == ((version + ".0",) * 2, version)

    assert run_setup(machine, setup_exe, "/S") == 0
    assert sorted(os.listdir(program_folder(machine))) == INSTALLED
    for name in PROGRAM_FILES:
        assert read(program_folder(machine, name)) == staged(version, name), name
    for program in ("client.exe", "tallysvc.exe"):
        info = version_info(machine, PROGRAM_FOLDER + "\\" + program)
        assert (info["FileVersion"], info["ProductVersion"]) == (version, version)

    assert sorted(os.listdir(start_menu(machine))) == ["Tallyline Configuration.lnk", "Uninstall Tallyline.lnk"]
    assert (PROGRAM_FOLDER + "\\client.exe").encode() in read(start_menu(machine, "Tallyline Configuration.lnk"))
    assert (PROGRAM_FOLDER + "\\uninstall.exe").encode() in read(start_menu(machine, "Uninstall Tallyline.lnk"))

    key = uninstall_key(machine)
    size_kb = int(key.pop("EstimatedSize"), 16)
    assert key == {
        "DisplayName": "Tallyline",
        "DisplayVersion": version,
        "Publisher": "Tallyline",
        "InstallLocation": PROGRAM_FOLDER,
        "UninstallString": '"%s\\uninstall.exe"' % PROGRAM_FOLDER,
        "QuietUninstallString": '"%s\\uninstall.exe" /S _?=%s' % (PROGRAM_FOLDER, PROGRAM_FOLDER),
        "DisplayIcon": PROGRAM_FOLDER + "\\client.exe,0",
        "NoModify": "0x1",
        "NoRepair": "0x1",
    }
    programs_kb = sum(len(staged(version, n)) for n in PROGRAM_FILES) / 1024
    # makensis counts each file in whole KB, rounded up.
    assert programs_kb <= size_kb <= programs_kb + len(PROGRAM_FILES)
    # Installing registers nothing: the configuration program does that.
    assert not service_exists(machine, 1)
    assert not open_to_others(machine, PROGRAM_FOLDER, INSTALLED)


def test_setup_wizard_installs_and_its_finish_page_starts_the_configuration_program(machine, setup_exe):
    wizard = machine.spawn([setup_exe])
    driver = Driver(machine)
    try:
        # Next (1) through the pages, each recognised by its caption (the
        # pages after the first add a blank) and heading.
        for caption, heading in (("Tallyline Setup", "Welcome to Tallyline Setup"),
                                 ("Tallyline Setup ", "Choose Install Location"),
                                 ("Tallyline Setup ", "Completing Tallyline Setup")):
            assert wait_for(lambda: any(heading in t for t in driver("dialog 1000 " + caption, check=False)),
                            timeout=60), heading
            texts = driver("dialog 1000 " + caption)
            if heading.startswith("Welcome"):
                # A second setup, or the uninstaller, meanwhile says so and ends.
                assert run_setup(machine, setup_exe, "/S", "/LOG=" + SETUP_LOG) == EXIT_ANOTHER_SETUP
                assert "Another Tallyline setup or uninstaller is running" in setup_log(machine)
            driver("press 1 " + caption)
        # The finish page offered the configuration program, ticked.
        assert any(t.endswith("\tStart Tallyline Configuration") for t in texts), texts
        assert wizard.wait(timeout=30) == 0
        # Its first run registers Quillbox1 from the installed folder.
        assert wait_for(lambda: machine.reg_query(SERVICES_KEY + r"\Quillbox1", "ImagePath") == QUOTED_SERVICE,
                        timeout=30, interval=0.5)
        assert machine.reg_query(UNINSTALL_KEY, "DisplayVersion") == project_version()
        driver("attach 10000")
    finally:
        driver("kill", check=False)
        driver.close()


def test_zip_holds_the_programs_readme_guide_reference_and_licence(setup_exe):
    version = project_version()
    path = os.path.join(BUILD_DIR, "dist", "Tallyline-%s-win64.zip" % version)
    with zipfile.ZipFile(path) as z:
        folder = "Tallyline-%s/" % version
        assert sorted(z.namelist()) == sorted(folder + n for n in PROGRAM_FILES)
        for name in PROGRAM_FILES:
            assert z.read(folder + name) == staged(version, name), name
    # The documents as CR LF text, each from its source.
    for name, first_line in (("README.txt", b"# Tallyline"),
                             ("ADMIN-GUIDE.txt", b"# Tallyline administrator's guide"),
                             ("REFERENCE.txt", b"# Tallyline reference")):
        text = staged(version, name)
        assert text.startswith(first_line + b"\r\n"), name
        assert text.count(b"\n") == text.count(b"\r\n"), name


def test_chosen_folder_and_an_upgrade_that_names_another_one(machine, setup_exe):
    folder = "C:\\Apps\\Tally Line"
    # Made beforehand, open to everyone (as a folder outside Program Files
    # is to Authenticated Users): Setup closes it to all but administrators.
    os.makedirs(machine.c_drive("Apps", "Tally Line"))
    os.chmod(machine.c_drive("Apps", "Tally Line"), 0o777)
    assert not without_write_for_others(machine, folder)[0]
    assert run_setup_in(machine, setup_exe, folder) == 0
    assert sorted(os.listdir(machine.c_drive("Apps", "Tally Line"))) == INSTALLED
    assert without_write_for_others(machine, folder)[0], security(machine, folder)
    assert not os.path.exists(program_folder(machine))
    assert machine.reg_query(UNINSTALL_KEY, "InstallLocation") == folder
    # The services run the installed folder's program: a second copy
    # elsewhere is refused, and nothing changes.
    assert run_typed(machine, "%s /S /LOG=%s /D=C:\\Other Place" % (to_windows_path(setup_exe), SETUP_LOG)) == \
        EXIT_ENDED_BY_MESSAGE
    assert not os.path.exists(machine.c_drive("Other Place"))
    # The log has the text of the message a person would have seen.
    assert ('Message: Tallyline is installed in "%s" and is upgraded there.' % folder) in setup_log(machine)
    assert machine.reg_query(UNINSTALL_KEY, "InstallLocation") == folder
    # Without /D an upgrade goes where the installation is.
    assert run_setup(machine, setup_exe, "/S") == 0
    assert sorted(os.listdir(machine.c_drive("Apps", "Tally Line"))) == INSTALLED
    assert not os.path.exists(program_folder(machine))


def test_configuration_program_from_program_files_registers_the_quoted_path_and_captures(
        machine, setup_exe, next_setup, workdir):
    assert run_setup(machine, setup_exe, "/S") == 0
    # The first instance uses COM1 and logs into the program folder.
    port = VirtualPort(machine, 1, os.path.join(workdir, "setup-ports")).open()
    driver = Driver(machine)
    try:
        c = Client(driver).launch(exe='"%s\\client.exe"' % PROGRAM_FOLDER)
        assert machine.reg_query(SERVICES_KEY + r"\Quillbox1", "ImagePath") == QUOTED_SERVICE
        assert machine.reg_query(SERVICES_KEY + r"\Quillbox1\Parameters", "LogFilename") == \
            PROGRAM_FOLDER + "\\Quillbox1.log"
        c.select(1)
        c.command("start")
        assert c.wait_for(lambda: state_of(machine, 1) == RUNNING, timeout=15)
        machine.started_services.add("Quillbox1")
        port.send(b"00017 EXT 204 TRUNK 01 OUT 0161973069\r\n")
        log = program_folder(machine, "Quillbox1.log")
        assert wait_for(lambda: os.path.exists(log) and read(log).endswith(b"\r\n"), timeout=10)
        assert read(log) == b"00017 EXT 204 TRUNK 01 OUT 0161973069\r\n"
        assert c.wait_for(lambda: c.rows()[0][1][2] == "Running")
        screenshot("install-configuration.png", 770, 300)

        # An upgrade while the program is open: its file is moved aside (a
        # running program can be renamed, not overwritten) and replaced.
        setup, version = next_setup
        assert run_setup(machine, setup, "/S") == 0
        assert version_info(machine, PROGRAM_FOLDER + "\\client.exe")["FileVersion"] == version
        assert c.info()["visible"] == "1"
        assert state_of(machine, 1) == RUNNING
        # Once more with the old program still open in the moved-aside
        # folder: it is renamed aside there, and the upgrade goes through.
        assert run_setup(machine, setup, "/S") == 0
        assert version_info(machine, PROGRAM_FOLDER + "\\client.exe")["FileVersion"] == version
        assert c.info()["visible"] == "1"
        assert state_of(machine, 1) == RUNNING
        # Back to the older version: only when asked for (/FORCE when silent).
        assert run_setup(machine, setup_exe, "/S") == EXIT_ENDED_BY_MESSAGE
        assert machine.reg_query(UNINSTALL_KEY, "DisplayVersion") == version
        assert run_setup(machine, setup_exe, "/S", "/FORCE") == 0
        assert machine.reg_query(UNINSTALL_KEY, "DisplayVersion") == project_version()
        assert state_of(machine, 1) == RUNNING
    finally:
        driver("kill", check=False)
        driver.close()
        port.close()


class Device(threading.Thread):
    """A device that prints a numbered line every few milliseconds until
    told to stop; sent holds every byte it wrote."""

    def __init__(self, port):
        super().__init__(daemon=True)
        self.port = port
        self.sent = bytearray()
        self.lines = 0
        self._done = threading.Event()

    def run(self):
        while not self._done.is_set():
            line = b"%06d CALL EXT 2%02d OUT 0161973069\r\n" % (self.lines, self.lines % 100)
            self.port.send(line)
            self.sent += line
            self.lines += 1
            time.sleep(0.005)

    def finish(self):
        self._done.set()
        self.join(timeout=10)
        return bytes(self.sent)


def test_upgrade_with_a_device_sending_keeps_every_byte_and_each_instance_as_it_was(
        machine, setup_exe, next_setup, workdir):
    setup, version = next_setup
    assert run_setup(machine, setup_exe, "/S") == 0
    ports = os.path.join(workdir, "setup-ports")
    busy = VirtualPort(machine, 3, ports).open()
    quiet = VirtualPort(machine, 4, ports).open()
    os.makedirs(machine.c_drive("Logs"), exist_ok=True)
    try:
        running = Instance(machine, 1, PortName=busy.name, LogFilename=PROGRAM_FOLDER + "\\Quillbox1.log")
        paused = Instance(machine, 2, PortName=quiet.name, LogFilename="C:\\Logs\\Quillbox2.log")
        stopped = Instance(machine, 3, PortName="COM9", LogFilename="C:\\Logs\\Quillbox3.log")
        for inst in (running, paused, stopped):
            inst.install(program=QUOTED_SERVICE)
        running.start()
        paused.start()
        quiet.send(b"before the pause\r\n")
        assert wait_for(lambda: os.path.exists(paused.log_path()) and read(paused.log_path()).endswith(b"\r\n"))
        paused.pause()
        assert paused.wait(PAUSED)["state"] == PAUSED
        quiet.send(b"while paused\r\n")
        keys_before = instance_keys(machine)

        device = Device(busy)
        device.start()
        assert wait_for(lambda: device.lines > 50)
        mark = machine.mark()
        assert run_setup(machine, setup, "/S") == 0
        lines_at_end = device.lines
        assert wait_for(lambda: device.lines > lines_at_end + 50)
        sent = device.finish()

        # On the new files, each instance as it was, nothing else changed.
        assert version_info(machine, PROGRAM_FOLDER + "\\tallysvc.exe")["FileVersion"] == version
        assert machine.reg_query(UNINSTALL_KEY, "DisplayVersion") == version
        assert [state_of(machine, n) for n in (1, 2, 3)] == [RUNNING, PAUSED, STOPPED]
        restarted = [e.text for e in machine.events_since(mark) if e.text.startswith("Quillbox")]
        assert restarted == ["Quillbox1 Stopping", "Quillbox2 Stopping",
                             "Quillbox1 Starting. Logging COM3 to %s\\Quillbox1.log" % PROGRAM_FOLDER,
                             "Quillbox2 Starting. Logging COM4 to C:\\Logs\\Quillbox2.log"], restarted
        assert instance_keys(machine) == keys_before

        # Every byte once, in order: what came during the upgrade waited in
        # the driver.
        assert wait_for(lambda: len(read(running.log_path())) >= len(sent), timeout=15)
        assert read(running.log_path()) == sent
        # Paused again; what waited meanwhile comes with the continue (or
        # was taken in the moment between its start and its pause).
        paused.resume()
        assert wait_for(lambda: read(paused.log_path()) == b"before the pause\r\nwhile paused\r\n")
    finally:
        for inst_port in (busy, quiet):
            inst_port.close()


def test_silent_uninstall_removes_services_files_shortcuts_and_key_but_keeps_every_log(
        machine, setup_exe, workdir):
    assert run_setup(machine, setup_exe, "/S") == 0
    port = VirtualPort(machine, 5, os.path.join(workdir, "setup-ports")).open()
    os.makedirs(machine.c_drive("Logs"), exist_ok=True)
    try:
        # One instance logging into the program folder (the first instance's
        # default) and running, one logging elsewhere and stopped.
        running = Instance(machine, 1, PortName=port.name, LogFilename=PROGRAM_FOLDER + "\\Quillbox1.log")
        idle = Instance(machine, 2, PortName="COM9", LogFilename="C:\\Logs\\Quillbox2.log")
        for inst in (running, idle):
            inst.install(program=QUOTED_SERVICE)
        with open(idle.log_path(), "wb") as f:
            f.write(b"an earlier capture\r\n")
        machine.import_reg("REGEDIT4\n\n[%s\\EventLog\\Application\\Quillbox1]\n\"TypesSupported\"=dword:00000007\n"
                           % SERVICES_KEY)
        running.start()
        port.send(b"captured before the uninstall\r\n")
        assert wait_for(lambda: os.path.exists(running.log_path()) and read(running.log_path()).endswith(b"\r\n"))

        uninstall(machine)
        assert not service_exists(machine, 1) and not service_exists(machine, 2)
        assert machine.reg_query(SERVICES_KEY + r"\EventLog\Application\Quillbox1", "TypesSupported") is None
        assert os.listdir(program_folder(machine)) == ["Quillbox1.log"]
        assert read(running.log_path()) == b"captured before the uninstall\r\n"
        assert read(idle.log_path()) == b"an earlier capture\r\n"
        assert not os.path.exists(start_menu(machine))
        assert uninstall_key(machine) == {}
    finally:
        port.close()


def test_an_instance_that_does_not_stop_leaves_everything_as_it_was(machine, setup_exe, next_setup):
    """Setup and the uninstaller alike."""
    version = project_version()
    setup, _ = next_setup
    assert run_setup(machine, setup_exe, "/S") == 0
    # Quillbox1 stops at once, Quillbox2 is paused, Quillbox3 hangs in its
    # stop (its wait hint passes without progress).
    for n, program in ((1, "slowsvc.exe 0"), (2, "slowsvc.exe 0"), (3, "slowsvc.exe 600000 300")):
        machine.scctl("create", "Quillbox%d" % n, bin_path(program))
        machine.scctl("start", "Quillbox%d" % n)
    machine.scctl("control", "Quillbox2", "pause")
    machine.started_services.update(("Quillbox1", "Quillbox2"))

    assert run_setup(machine, setup, "/S") == EXIT_ENDED_BY_MESSAGE
    assert [state_of(machine, n) for n in (1, 2)] == [RUNNING, PAUSED]
    assert sorted(os.listdir(program_folder(machine))) == INSTALLED
    for name in ("client.exe", "tallysvc.exe"):
        assert read(program_folder(machine, name)) == staged(version, name)
    assert machine.reg_query(UNINSTALL_KEY, "DisplayVersion") == version

    # The uninstaller alike. (_?= runs it in place, so that its end can be
    # waited for.)
    assert run_typed(machine, "cd /d %s && uninstall.exe /S _?=%s" % (PROGRAM_FOLDER, PROGRAM_FOLDER)) == \
        EXIT_ENDED_BY_MESSAGE
    assert [state_of(machine, n) for n in (1, 2)] == [RUNNING, PAUSED]
    assert sorted(os.listdir(program_folder(machine))) == INSTALLED
    assert machine.reg_query(UNINSTALL_KEY, "DisplayVersion") == version


def test_a_file_held_open_leaves_everything_as_it_was(machine, setup_exe, next_setup):
    version = project_version()
    setup, _ = next_setup
    assert run_setup(machine, setup_exe, "/S") == 0
    machine.scctl("create", "Quillbox1", bin_path("slowsvc.exe 0"))
    machine.scctl("start", "Quillbox1")
    machine.started_services.add("Quillbox1")
    # Held open without delete sharing (as an editor or a scanner may), the
    # last file Setup replaces: the others have been moved aside by then and
    # must be put back.
    with open(machine.events_path, "ab") as err:
        holder = subprocess.Popen(["wine", os.path.join(BIN_DIR, "mailfile.exe"), "-hold",
                                   PROGRAM_FOLDER + "\\LICENSE.txt"],
                                  env=machine.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)
    try:
        assert holder.stdout.readline().strip() == b"held"
        assert run_setup(machine, setup, "/S") == EXIT_ENDED_BY_MESSAGE
        assert state_of(machine, 1) == RUNNING
        assert sorted(os.listdir(program_folder(machine))) == INSTALLED
        for name in PROGRAM_FILES:
            assert read(program_folder(machine, name)) == staged(version, name), name
        assert machine.reg_query(UNINSTALL_KEY, "DisplayVersion") == version

        # Again, and a second program opens client.exe as soon as Setup has
        # moved it aside: it cannot be put back, and Setup says so.
        with open(machine.events_path, "ab") as err:
            late = subprocess.Popen(["wine", os.path.join(BIN_DIR, "mailfile.exe"), "-hold",
                                     PROGRAM_FOLDER + "\\~setup-old\\client.exe", "wait"],
                                    env=machine.env, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)
        try:
            assert late.stdout.readline().strip() == b"waiting"
            assert run_setup(machine, setup, "/S", "/LOG=" + SETUP_LOG) == EXIT_HALF_CHANGED
            assert late.stdout.readline().strip() == b"held"
        finally:
            late.stdin.close()
            late.wait(timeout=30)
        assert ("%s\\client.exe is missing: its earlier version is in %s\\~setup-old."
                % (PROGRAM_FOLDER, PROGRAM_FOLDER)) in setup_log(machine)
        assert "Nothing else has been changed" not in setup_log(machine)
    finally:
        holder.stdin.close()
        holder.wait(timeout=30)
    # With the files free again, Setup completes the installation.
    assert run_setup(machine, setup, "/S") == 0
    assert machine.reg_query(UNINSTALL_KEY, "DisplayVersion") == next_setup[1]
    assert state_of(machine, 1) == RUNNING


def test_zip_deployment_is_closed_to_users_when_it_registers_and_repointed_by_setup(machine, setup_exe):
    zip_folder = machine.c_drive("Unpacked Zip")
    os.makedirs(zip_folder)
    version = project_version()
    for name in PROGRAM_FILES:
        shutil.copy(os.path.join(BUILD_DIR, "package", "Tallyline-" + version, name), zip_folder)
    # Unpacked by a user: the folder and every file open to everyone.
    for path in [zip_folder] + [os.path.join(zip_folder, name) for name in PROGRAM_FILES]:
        os.chmod(path, 0o777)
    driver = Driver(machine)
    try:
        # Its first start registers Quillbox1 from the unpacked folder, once
        # that folder is closed to everyone but administrators.
        Client(driver).launch(exe='"C:\\Unpacked Zip\\client.exe"')
        assert machine.reg_query(SERVICES_KEY + r"\Quillbox1", "ImagePath") == '"C:\\Unpacked Zip\\tallysvc.exe"'
        assert not open_to_others(machine, "C:\\Unpacked Zip", PROGRAM_FILES)
    finally:
        driver("kill", check=False)
        driver.close()
    # Setup points the instance at the installed program.
    assert run_setup(machine, setup_exe, "/S") == 0
    assert machine.reg_query(SERVICES_KEY + r"\Quillbox1", "ImagePath") == QUOTED_SERVICE
    assert machine.reg_query(SERVICES_KEY + r"\EventLog\Application\Quillbox1", "EventMessageFile") == \
        PROGRAM_FOLDER + "\\tallysvc.exe"


def standin_calls(session):
    path = session.c_drive("standin-client.txt")
    with open(path, encoding="latin-1") as f:
        return f.read().splitlines()


def test_config_file_reaches_the_configuration_program_and_failures_are_reported(machine):
    """With a stand-in client.exe that fails the verb it is told to: the
    import that /CONFIG (NSIS) and CONFIG (MSI) run, and the removal of the
    services at the uninstall."""
    setup = package_with_stand_in_client()
    with open(machine.c_drive("site.ini"), "w") as f:
        f.write("[Instance 1]\r\n")

    # The MSI: the failed import undoes the whole installation, and its
    # output is in the log; so does an instance that does not start again.
    for fail in ("/import=2", "/start-instances=3"):
        machine.env["TALLY_STANDIN_FAIL"] = fail
        code, _ = machine.run_status(["msiexec", "/i", to_windows_path(msi_beside(setup)), "/qn",
                                      "CONFIG=C:\\site.ini", "/l*v", "C:\\msi.log"], timeout=300)
        assert code != 0   # 1603 on Windows; Wine's msiexec ends with 1627, of which Unix keeps 91
        assert not os.path.exists(program_folder(machine, "client.exe"))
        with open(machine.c_drive("msi.log"), encoding="latin-1") as f:
            assert "client.exe: stand-in client.exe called with: " + fail.split("=")[0] in f.read()
    assert '/import "C:\\site.ini"' in standin_calls(machine)

    # Setup: installed, the import's exit code and output in the log, exit 6;
    # imported before the instances start again.
    machine.env["TALLY_STANDIN_FAIL"] = "/import=2"
    assert run_setup(machine, setup, "/S", "/CONFIG=C:\\site.ini", "/LOG=" + SETUP_LOG) == EXIT_NOT_CONFIGURED
    assert standin_calls(machine)[-2:] == ['/import "C:\\site.ini"', "/start-instances"]
    log = setup_log(machine)
    assert 'client.exe /import: exit code 2\r\nstand-in client.exe called with: /import "C:\\site.ini"' in log, log
    assert log.endswith("Exit code %d\r\n" % EXIT_NOT_CONFIGURED), log
    assert machine.reg_query(UNINSTALL_KEY, "DisplayVersion") == project_version()

    # The uninstaller whose "client.exe /uninstall" leaves a service stops
    # and keeps the program, the Start menu and the entry.
    machine.env["TALLY_STANDIN_FAIL"] = "/uninstall=1"
    assert quiet_uninstall(machine) == EXIT_ENDED_BY_MESSAGE
    assert standin_calls(machine)[-1] == "/uninstall"
    assert sorted(os.listdir(program_folder(machine))) == INSTALLED
    assert sorted(os.listdir(start_menu(machine))) == ["Tallyline Configuration.lnk", "Uninstall Tallyline.lnk"]
    assert machine.reg_query(UNINSTALL_KEY, "DisplayVersion") == project_version()

    # So does one without client.exe (gone with a failed upgrade, or taken
    # by an antivirus): the service stays with its program.
    machine.scctl("create", "Quillbox4", bin_path("slowsvc.exe 0"))
    os.remove(program_folder(machine, "client.exe"))
    assert quiet_uninstall(machine) == EXIT_ENDED_BY_MESSAGE
    assert service_exists(machine, 4) and os.path.exists(program_folder(machine, "tallysvc.exe"))

    # A program a user left under the name the cleanup copy once had, kept
    # running so that no copy can replace it, is never run.
    shutil.copy(os.path.join(BIN_DIR, "standin_client.exe"), program_folder(machine, "client.exe"))
    temp = machine.run(["cmd", "/c", "echo %TEMP%"]).strip()
    planted = machine.c_drive(*temp[3:].split("\\"), "Tallyline-uninstall-cleanup.exe")
    shutil.copy(os.path.join(BIN_DIR, "standin_client.exe"), planted)
    del machine.env["TALLY_STANDIN_FAIL"]
    with open(machine.events_path, "ab") as err:
        running = subprocess.Popen(["wine", planted, "planted"], env=dict(machine.env, TALLY_STANDIN_WAIT="1"),
                                   stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=err)
    try:
        assert running.stdout.readline().startswith(b"stand-in client.exe called with: planted")
        uninstall(machine)
    finally:
        running.stdin.close()
        running.wait(timeout=30)
    assert not [call for call in standin_calls(machine) if call.startswith("/CLEANUP")]


def parameter_keys(session, n):
    """Instance N's parameter values as `reg query` prints them, sorted."""
    out = session.run(["reg", "query", SERVICES_KEY + r"\Quillbox%d\Parameters" % n, "/s"])
    return sorted(line.strip() for line in out.splitlines() if line.strip())


def test_an_export_configures_fresh_machines_through_setup_and_msi(machine, more_machines, setup_exe):
    """Instances set up on one machine (by hand and with /set), exported, and
    installed with Setup's /CONFIG on a fresh machine: the same keys value for
    value, the password aside, and the same services. The MSI's CONFIG on
    another one makes a new instance from one line."""
    Instance(machine, 2, LogFilename="C:\\Logs\\line 2.log", PortName="COM4", BaudRate=9600, LogRotation=3,
             DayOfWeekMask=0x41, StartHour=0, EndHour=24).install()
    Instance(machine, 5).install()
    machine.run(["client.exe", "/set", "2", 'CustomTimeoutCmd=  cmd /c "echo a;b=c"  ', "SmtpPort=587",
                 "SmtpUser=tally", "SmtpPassword=not for export", "StartAutomatically=Yes"])
    assert machine.run(["client.exe", "/get", "2", "CustomTimeoutCmd"]) == '  cmd /c "echo a;b=c"  \n'
    assert machine.run(["client.exe", "/list"]).split("\n")[0].split(None, 4) == [
        "2", "COM4", "Stopped", "Automatic", "C:\\Logs\\line 2.log"]
    machine.run(["client.exe", "/export", "C:\\site.ini"])

    target = more_machines()
    shutil.copy(machine.c_drive("site.ini"), target.c_drive("site.ini"))
    assert run_setup(target, setup_exe, "/S", "/CONFIG=C:\\site.ini", "/LOG=" + SETUP_LOG) == 0
    assert "client.exe /import: exit code 0\r\nQuillbox2 created\r\nQuillbox5 created" in setup_log(target)
    for n in (2, 5):
        source = [line for line in parameter_keys(machine, n) if not line.startswith("SmtpPassword")]
        assert parameter_keys(target, n) == source
        assert target.reg_query(SERVICES_KEY + r"\Quillbox%d" % n, "ImagePath") == QUOTED_SERVICE
        assert target.reg_query(SERVICES_KEY + r"\Quillbox%d" % n, "Start") == \
            machine.reg_query(SERVICES_KEY + r"\Quillbox%d" % n, "Start")

    other = more_machines()
    with open(other.c_drive("site.ini"), "w") as f:
        f.write("[Instance 3]\r\nPortName=COM7\r\n")
    assert msiexec(other, "/i", to_windows_path(msi_beside(setup_exe)), "CONFIG=C:\\site.ini") == 0
    assert other.reg_query(SERVICES_KEY + r"\Quillbox3", "ImagePath") == QUOTED_SERVICE
    assert other.reg_query(SERVICES_KEY + r"\Quillbox3\Parameters\Port1", "PortName") == "COM7"
    assert other.reg_query(SERVICES_KEY + r"\Quillbox3\Parameters", "LogFilename") == \
        PROGRAM_FOLDER + "\\Quillbox3.log"
    # Where rollback is disabled the services go all the same (commit actions
    # do not run there).
    assert msiexec(other, "/x", to_windows_path(msi_beside(setup_exe)), "DISABLEROLLBACK=1") == 0
    assert not service_exists(other, 3)


def msiexec(session, *args):
    code, _ = session.run_status(["msiexec"] + list(args) + ["/qn"], timeout=300)
    return code


def test_msi_installs_upgrades_with_instances_as_they_were_and_uninstalls_keeping_logs(
        machine, setup_exe, next_setup, workdir):
    msi = to_windows_path(msi_beside(setup_exe))
    assert msiexec(machine, "/i", msi) == 0
    version = project_version()
    assert sorted(os.listdir(program_folder(machine))) == [n for n in INSTALLED if n != "uninstall.exe"]
    for name in PROGRAM_FILES:
        assert read(program_folder(machine, name)) == staged(version, name), name
    # Wine's msiexec puts per-machine shortcuts in a user's Start menu;
    # Windows in ProgramData's.
    links = sorted(os.path.basename(p) for p in glob.glob(machine.c_drive("**", "Start Menu", "Programs",
                                                                          "Tallyline", "*.lnk"), recursive=True))
    assert links == ["Tallyline Configuration.lnk", "Uninstall Tallyline.lnk"]
    assert machine.reg_query(r"HKLM\Software\Tallyline", "MsiInstallLocation") == PROGRAM_FOLDER + "\\"
    assert not open_to_others(machine, PROGRAM_FOLDER, PROGRAM_FILES)
    # Windows sets those permissions as it makes the folder and each file,
    # before anything runs from there (Wine's msiexec has no such table:
    # client.exe /start-instances set them here).
    locks = {(row[1], row[2], row[3]) for row in msi_table(msi_beside(setup_exe), "MsiLockPermissionsEx")}
    files = {row[0] for row in msi_table(msi_beside(setup_exe), "File")}
    assert locks == {(key, "File", PROTECTED_SDDL) for key in files} | {("INSTALLDIR", "CreateFolder", PROTECTED_SDDL)}
    # One machine, one way of installing.
    assert run_setup(machine, setup_exe, "/S") == EXIT_ENDED_BY_MESSAGE
    # A repair, or another run of the installed package, imports nothing:
    # anyone may start those where Windows elevates without asking.
    with open(machine.c_drive("site.ini"), "w") as f:
        f.write("[Instance 7]\r\n")
    product = machine.reg_query(r"HKLM\Software\Tallyline", "MsiProductCode")
    for run in (("/i", product), ("/i", msi, "REINSTALL=ALL", "REINSTALLMODE=omus")):
        assert msiexec(machine, *run, "CONFIG=C:\\site.ini") == 0
    assert not service_exists(machine, 7)
    # Nor does a user who is not an administrator (RestrictedUserControl,
    # which Wine never sets).
    assert "NOT RestrictedUserControl" in dict((row[0], row[1]) for row in msi_table(
        msi_beside(setup_exe), "InstallExecuteSequence"))["ImportConfiguration"]

    ports = os.path.join(workdir, "msi-ports")
    busy, quiet = VirtualPort(machine, 3, ports).open(), VirtualPort(machine, 4, ports).open()
    try:
        running = Instance(machine, 1, PortName=busy.name, LogFilename=PROGRAM_FOLDER + "\\Quillbox1.log")
        paused = Instance(machine, 2, PortName=quiet.name, LogFilename=PROGRAM_FOLDER + "\\Quillbox2.log")
        for inst in (running, paused):
            inst.install(program=QUOTED_SERVICE)
            inst.start()
        paused.pause()
        assert paused.wait(PAUSED)["state"] == PAUSED
        busy.send(b"before the upgrade\r\n")
        assert wait_for(lambda: os.path.exists(running.log_path()) and read(running.log_path()).endswith(b"\r\n"))

        # The upgrade stops both on the old program and starts them again on
        # the new one, the paused one paused again.
        setup, next_version = next_setup
        mark = machine.mark()
        assert msiexec(machine, "/i", to_windows_path(msi_beside(setup))) == 0
        for program in ("client.exe", "tallysvc.exe"):
            assert version_info(machine, PROGRAM_FOLDER + "\\" + program)["FileVersion"] == next_version
        assert [state_of(machine, n) for n in (1, 2)] == [RUNNING, PAUSED]
        restarted = [e.text for e in machine.events_since(mark) if e.text.startswith("Quillbox")]
        assert restarted == ["Quillbox1 Stopping", "Quillbox2 Stopping",
                             "Quillbox1 Starting. Logging COM3 to %s\\Quillbox1.log" % PROGRAM_FOLDER,
                             "Quillbox2 Starting. Logging COM4 to %s\\Quillbox2.log" % PROGRAM_FOLDER], restarted
        busy.send(b"after the upgrade\r\n")
        assert wait_for(lambda: read(running.log_path()) == b"before the upgrade\r\nafter the upgrade\r\n")
        # The older package may not replace it.
        assert msiexec(machine, "/i", msi) != 0
        assert version_info(machine, PROGRAM_FOLDER + "\\client.exe")["FileVersion"] == next_version

        # The uninstall removes the services and the program, not the logs.
        assert msiexec(machine, "/x", to_windows_path(msi_beside(setup))) == 0
        assert not service_exists(machine, 1) and not service_exists(machine, 2)
        assert sorted(os.listdir(program_folder(machine))) == ["Quillbox1.log", "Quillbox2.log"]
        assert machine.reg_query(r"HKLM\Software\Tallyline", "MsiInstallLocation") is None
    finally:
        busy.close()
        quiet.close()


def test_signed_release_verifies(machine, setup_exe, workdir):
    """tools/package.sh signs both programs, the setup program, its
    uninstaller and the package with a throwaway code-signing certificate."""
    keys = os.path.join(workdir, "signing")
    os.makedirs(keys, exist_ok=True)
    cert, key, pfx = (os.path.join(keys, n) for n in ("cert.pem", "key.pem", "sign.pfx"))
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                    "-days", "2", "-subj", "/CN=Tallyline Test Signing", "-addext", "keyUsage=digitalSignature",
                    "-addext", "extendedKeyUsage=codeSigning"], check=True, capture_output=True)
    subprocess.run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", pfx,
                    "-passout", "pass:throwaway"], check=True, capture_output=True)
    out = os.path.join(SETUP_TESTS_DIR, "signed")
    setup = package(out=out, TALLY_SIGN_PFX=pfx, TALLY_SIGN_PASSWORD="throwaway")

    def verifies(path):
        result = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", path], capture_output=True)
        return result.returncode == 0 and b"Succeeded" in result.stdout

    version = project_version()
    stage = os.path.join(out, "package", "Tallyline-" + version)
    for path in (os.path.join(stage, "client.exe"), os.path.join(stage, "tallysvc.exe"), setup, msi_beside(setup)):
        assert verifies(path), path
    # The uninstaller exists only once Setup has written it.
    assert run_setup(machine, setup, "/S") == 0
    assert verifies(program_folder(machine, "uninstall.exe"))
    # Without a certificate nothing is signed.
    assert not verifies(setup_exe)
