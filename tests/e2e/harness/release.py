"""The release artefacts for the tests: the version of project(VERSION), the
setup program and MSI package as tools/package.sh builds them (and those of a
higher version, built the same way from a copy of the sources; and a setup
program whose client.exe is a stand-in), fresh Windows machines (copies of a
pristine Wine prefix) to install into, and what Windows reads from a
program's resources and a folder's permissions (resinfo.exe)."""

import glob
import os
import re
import shutil
import subprocess

from .wine import BIN_DIR, BUILD_DIR, TOP

UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Tallyline"
PROGRAM_FOLDER = "C:\\Program Files\\Tallyline"
START_MENU_FOLDER = ("ProgramData", "Microsoft", "Windows", "Start Menu", "Programs", "Tallyline")
SETUP_TESTS_DIR = os.path.join(BUILD_DIR, "setup-tests")

_PROJECT_VERSION = re.compile(r"project\(\s*Tallyline\s+VERSION\s+(\d+)\.(\d+)\.(\d+)")


def project_version(top=TOP):
    """The x.y.z of the top CMakeLists.txt."""
    with open(os.path.join(top, "CMakeLists.txt"), encoding="utf-8") as f:
        m = _PROJECT_VERSION.search(f.read())
    assert m, "no project(Tallyline VERSION x.y.z) in CMakeLists.txt"
    return ".".join(m.groups())


def package(top=TOP, build_dir=BUILD_DIR, build_type=None, out=None, **settings):
    """Runs tools/package.sh (incremental) and returns the setup program's path
    (msi_beside() gives the package's). Always run, so the tests never install
    a setup left from older programs. out: TALLY_PACKAGE_OUT; settings: more
    of its environment (TALLY_SIGN_PFX, ...)."""
    env = dict(os.environ, TALLY_BUILD_DIR=build_dir, **settings)
    if build_type:
        env["CMAKE_BUILD_TYPE"] = build_type
    if out:
        env["TALLY_PACKAGE_OUT"] = out
    result = subprocess.run(["bash", os.path.join(top, "tools", "package.sh")], env=env,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            timeout=1800)
    printed = result.stdout.decode("utf-8", "replace")
    assert result.returncode == 0, "tools/package.sh failed:\n" + printed
    setup = os.path.join(out or build_dir, "dist", "Tallyline-%s-setup.exe" % project_version(top))
    assert os.path.exists(setup) and os.path.exists(msi_beside(setup)), printed
    return setup


def msi_beside(setup):
    """The MSI package tools/package.sh built with that setup program."""
    return setup[:-len("-setup.exe")] + "-x64.msi"


def package_with_stand_in_client():
    """The setup program and MSI package with tests/tools' stand-in as
    client.exe: it records how it is called (C:\\standin-client.txt) and
    fails the verb TALLY_STANDIN_FAIL ("VERB=CODE") names."""
    return package(out=os.path.join(SETUP_TESTS_DIR, "standin"),
                   TALLY_PACKAGE_CLIENT=os.path.join(BIN_DIR, "standin_client.exe"))


# Rights that let a holder change a file or folder, as SDDL writes them.
_CHANGING_RIGHTS = ("FA", "FW", "GA", "GW", "WD", "WO", "SD", "DC", "CC")
_CHANGING_MASK = 0x2 | 0x4 | 0x40 | 0x10000 | 0x40000 | 0x80000 | 0x10000000 | 0x40000000


def writers(sddl):
    """The SIDs an SDDL text's allow entries let change the object itself."""
    found = set()
    for ace in re.findall(r"\(([^)]*)\)", sddl.split("D:", 1)[1] if "D:" in sddl else ""):
        kind, flags, rights, _, _, sid = ace.split(";")[:6]
        if kind != "A" or "IO" in flags:
            continue
        if rights.startswith("0x"):
            changes = int(rights, 16) & _CHANGING_MASK
        else:
            changes = any(rights[i:i + 2] in _CHANGING_RIGHTS for i in range(0, len(rights), 2))
        if changes:
            found.add(sid)
    return found


def msi_table(msi, table):
    """The rows of a table of an MSI package (msiinfo), each a list of its
    columns."""
    out = subprocess.run(["msiinfo", "export", msi, table], stdout=subprocess.PIPE, check=True).stdout
    return [line.split("\t") for line in out.decode("utf-8").replace("\r", "").splitlines()[3:]]


def security(session, windows_path):
    """Owner and DACL of a file or folder as SDDL, as Windows reports them."""
    return session.run(["resinfo.exe", "security", windows_path]).strip()


# What a copy of the sources needs for tools/package.sh.
_SOURCE_ITEMS = ("CMakeLists.txt", "README.md", "LICENSE.txt", "common", "service", "client", "installer",
                 "tools", "tests", "docs")


def _write_if_changed(path, text):
    try:
        with open(path, encoding="utf-8") as f:
            if f.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def package_next_version():
    """Builds the setup program of the next patch version from a copy of the
    sources (the version changed where a release changes it) and returns
    (path, version). The copy keeps the files' times and its own build
    folder, so a second run only rebuilds what changed; a first one compiles
    from the main build's compiler cache (same build type, the build folder
    inside the copy as it is inside the checkout, so the relative paths
    match)."""
    major, minor, patch = project_version().split(".")
    version = "%s.%s.%d" % (major, minor, int(patch) + 1)
    src = os.path.join(SETUP_TESTS_DIR, "next-src")
    os.makedirs(src, exist_ok=True)
    for item in _SOURCE_ITEMS:
        origin = os.path.join(TOP, item)
        if os.path.isdir(origin):
            # Afresh, so that no removed file lingers; the kept file times
            # tell the build what is unchanged.
            shutil.rmtree(os.path.join(src, item), ignore_errors=True)
            shutil.copytree(origin, os.path.join(src, item),
                            ignore=shutil.ignore_patterns("__pycache__", ".pytest_cache"))
        else:
            shutil.copy2(origin, os.path.join(src, item))
    with open(os.path.join(TOP, "CMakeLists.txt"), encoding="utf-8") as f:
        cmake = f.read()
    cmake = _PROJECT_VERSION.sub("project(Tallyline VERSION " + version, cmake, count=1)
    _write_if_changed(os.path.join(src, "CMakeLists.txt"), cmake)
    assert project_version(src) == version
    return package(src, os.path.join(src, "build"), build_type=_build_type(),
                   CCACHE_DIR=os.path.join(BUILD_DIR, "ccache")), version


def _build_type():
    """The main build's CMAKE_BUILD_TYPE."""
    try:
        with open(os.path.join(BUILD_DIR, "CMakeCache.txt"), encoding="utf-8") as f:
            m = re.search(r"^CMAKE_BUILD_TYPE:STRING=(.*)$", f.read(), re.M)
    except OSError:
        m = None
    return m.group(1) if m and m.group(1) else "RelWithDebInfo"


def _wine_version():
    out = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE, check=True).stdout
    return re.sub(r"[^0-9A-Za-z.]+", "-", out.decode().strip())


WINE_FONTS = "/usr/share/wine/fonts"


def _add_wine_fonts(prefix):
    """Wine's own fonts (Debian's fonts-wine), made with the metrics of the
    Windows fonts the dialogs name: a Windows machine has those, and without
    them Wine draws with a wider Linux font that cuts labels off."""
    fonts = glob.glob(os.path.join(WINE_FONTS, "*"))
    assert fonts, "Wine's fonts are missing: tools/setup-packages.sh installs fonts-wine"
    for font in fonts:
        target = os.path.join(prefix, "drive_c", "windows", "Fonts", os.path.basename(font))
        if not os.path.exists(target):
            shutil.copy(font, target)


def template_prefix():
    """A pristine prefix with Wine's fonts, made once per Wine version and
    only ever copied."""
    path = os.path.join(SETUP_TESTS_DIR, "template-" + _wine_version())
    if not os.path.exists(os.path.join(path, "system.reg")):
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(SETUP_TESTS_DIR, exist_ok=True)
        making = path + ".making"
        shutil.rmtree(making, ignore_errors=True)
        env = dict(os.environ, WINEPREFIX=making, WINEARCH="win64", WINEDEBUG="-all",
                   WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d")
        env.pop("DISPLAY", None)
        subprocess.run(["wine", "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=300)
        subprocess.run(["wineserver", "-w"], env=env, check=False, timeout=120)
        _add_wine_fonts(making)
        os.rename(making, path)
    _add_wine_fonts(path)
    return path


def fresh_prefix(path):
    """A new prefix at path, a copy of the template (about a second, where a
    wineboot takes over ten)."""
    shutil.rmtree(path, ignore_errors=True)
    shutil.copytree(template_prefix(), path, symlinks=True)
    return path


def version_info(session, windows_path):
    """{"fixed": (file version, product version), name: value, ...} of the
    program's version resource, as GetFileVersionInfo reads it."""
    out = session.run(["resinfo.exe", "version", windows_path])
    info = {}
    for line in out.splitlines():
        parts = line.split("\t")
        info[parts[0]] = tuple(parts[1:]) if parts[0] == "fixed" else parts[1]
    return info


def manifest(session, windows_path):
    """The program's embedded application manifest, as text."""
    return session.run(["resinfo.exe", "manifest", windows_path])
