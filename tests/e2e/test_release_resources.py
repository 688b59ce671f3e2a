"""What Windows reads from the built programs: the version resource carries
the version of project(VERSION), and the embedded manifests ask for what each
program needs (the configuration program: elevation, Common Controls 6,
system DPI awareness; both: the Windows versions they support)."""

import xml.etree.ElementTree as ET

import pytest

from client_driver import bin_path
from harness.release import manifest, project_version, version_info

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
WINDOWS_SETTINGS = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"

WINDOWS_7_TO_11 = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",   # 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",   # 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",   # 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",   # 10 and 11
}


@pytest.mark.parametrize("program, description", [
    ("client.exe", "Tallyline Configuration"),
    ("tallysvc.exe", "Tallyline Logging Service"),
])
def test_version_resource_carries_the_project_version(wine, program, description):
    version = project_version()
    info = version_info(wine, bin_path(program))
    assert info.pop("fixed") == (version + ".0", version + ".0")
    assert info == {
        "CompanyName": "Tallyline",
        "FileDescription": description,
        "FileVersion": version,
        "LegalCopyright": "Copyright (C) 2026 Tallyline",
        "OriginalFilename": program,
        "ProductName": "Tallyline",
        "ProductVersion": version,
    }


def _manifest(wine, program):
    root = ET.fromstring(manifest(wine, bin_path(program)).encode("utf-8"))
    assert root.tag == ASM_V1 + "assembly" and root.get("manifestVersion") == "1.0"
    return root


def _execution_level(root):
    levels = root.findall("./%strustInfo/%ssecurity/%srequestedPrivileges/%srequestedExecutionLevel"
                          % (ASM_V3, ASM_V3, ASM_V3, ASM_V3))
    assert len(levels) == 1
    return levels[0].get("level"), levels[0].get("uiAccess")


def _supported_os(root):
    return {e.get("Id") for e in root.findall("./%scompatibility/%sapplication/%ssupportedOS"
                                              % (COMPATIBILITY, COMPATIBILITY, COMPATIBILITY))}


def _dependencies(root):
    return [e.attrib for e in root.findall("./%sdependency/%sdependentAssembly/%sassemblyIdentity"
                                           % (ASM_V1, ASM_V1, ASM_V1))]


def test_configuration_program_manifest(wine):
    root = _manifest(wine, "client.exe")
    assert _execution_level(root) == ("requireAdministrator", "false")
    assert _dependencies(root) == [{
        "type": "win32", "name": "Microsoft.Windows.Common-Controls", "version": "6.0.0.0",
        "processorArchitecture": "*", "publicKeyToken": "6595b64144ccf1df", "language": "*",
    }]
    # System aware ("true"), not per monitor: the dialogs scale with the
    # system font once, at start-up.
    dpi = root.findall("./%sapplication/%swindowsSettings/%sdpiAware" % (ASM_V3, ASM_V3, WINDOWS_SETTINGS))
    assert [e.text.strip() for e in dpi] == ["true"]
    assert _supported_os(root) == WINDOWS_7_TO_11


def test_service_program_manifest(wine):
    root = _manifest(wine, "tallysvc.exe")
    assert _execution_level(root) == ("asInvoker", "false")
    assert _dependencies(root) == []
    assert _supported_os(root) == WINDOWS_7_TO_11
