"""The soak run of tools/soak.py, two minutes long: 16 instances fed at
115200 baud, with timestamps, minutely rotation and mail. Nothing may be
lost, duplicated or mis-stamped, every closed file is mailed intact, no
error is reported, and no service's handle count grows from the first
sample (after the first rotation and mail) to the last."""

import itertools
import os
import sys

import pytest

import conftest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
import soak  # noqa: E402

INSTANCES = 16
MINUTES = 2     # two boundaries: three files each, the handles compared a minute apart
SINK = "127.0.13.2"


@pytest.fixture(scope="module")
def run(_shared_session, workdir):
    session = conftest._session_holder["session"]
    lines = []
    r = soak.run(session, workdir, MINUTES, INSTANCES, SINK, conftest._port_numbers,
                 iter(range(1, INSTANCES + 1)), log=lines.append)
    soak.report(r, log=lines.append)
    print("\n".join(lines))
    return r


def test_every_byte_is_captured_once_in_order_with_one_stamp_a_line(run):
    for n, o in run.instances.items():
        assert o.sent > MINUTES * 60 * soak.BAUD_BYTES_PER_S * 0.8, n
        assert (o.lost, o.duplicated, o.bad_lines, o.stamp_errors) == (0, 0, 0, 0), n
        assert o.exact, n
        assert len(o.files) >= 3, (n, o.files)


def test_every_closed_file_is_mailed_once_intact_and_nothing_is_reported_wrong(run):
    assert run.faulty_mails == 0
    for n, o in run.instances.items():
        assert o.mail["closed"] == len(o.files) - 1
        assert o.mail == dict(closed=o.mail["closed"], mails=o.mail["closed"],
                              matching=o.mail["closed"], extra=0), n
        assert o.events == [], n
        assert o.final["state"] == soak.STOPPED and o.final["exit"] == 0, (n, o.final)


def test_no_service_holds_more_handles_at_the_end_than_at_the_start(run):
    start, end = run.samples["start"][1], run.samples["end"][1]
    for n in run.numbers:
        name = "Quillbox%d" % n
        assert start[name]["handles"] > 0, start[name]
        assert end[name]["handles"] <= start[name]["handles"], (name, start[name], end[name])
