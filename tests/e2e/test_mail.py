"""MailLogFile against real and scripted SMTP servers, through mailfile.exe under Wine."""
import contextlib
import datetime
import email
import email.header
import email.policy
import os
import random
import re
import subprocess
import time

import pytest

from smtpsink import (MAILFILE, AiosmtpdSink, ScriptedServer, call_log, run_mailfile, unzipped,
                      wine_env, wine_session, winpath)

SENT, NOT_RESOLVED, CONNECT_FAILED, BAD_REPLY, NOT_OPENED = range(5)
TOO_LARGE = 7
FROM, TO = "tallyline@plant.example", "ops@plant.example"
# What this machine calls itself in EHLO and in its Message-IDs: its fully
# qualified name, or, without one, its address on the loopback connection.
HELO_NAME = r"(\[127\.0\.0\.1\]|[A-Za-z0-9-]+(\.[A-Za-z0-9-]+)+)"
# A name outside ASCII, long enough to be encoded in several pieces.
WIDE_NAME = "Quillbox-r\u00e9sum\u00e9-" + "\u00e9t\u00e9" * 12 + ".log"

pytestmark = pytest.mark.usefixtures("wine_session")


def attachment_lines(raw):
    """The base64 lines of the attachment: after the header's empty line, up to the closing delimiter."""
    text = raw.decode("ascii")
    start = text.index("filename")
    start = text.index("\r\n\r\n", start) + 4
    end = text.index("----=_KVTMsgPart123X456_001_", start)
    return text[start:end].split("\r\n")[:-1]


def test_attachments_decode_to_the_files_bytes(tmp_path):
    files = {
        "empty.log": b"",
        "Quillbox1.log": os.urandom(1026),
        "Quillbox2.log": os.urandom(1027),
        "big.bin": os.urandom(1024 * 1024),
    }
    files[WIDE_NAME] = b"caf\xc3\xa9 records\r\n"
    for name, data in files.items():
        (tmp_path / name).write_bytes(data)
    (tmp_path / "sub").mkdir()
    (tmp_path / "sub" / "fwd.log").write_bytes(b"line one\r\n")
    names = list(files) + ["sub/fwd.log"]
    files["sub/fwd.log"] = b"line one\r\n"
    args = []
    for name in names:
        # Full Windows paths, and two without a backslash (relative to the cwd).
        path = name if name in ("empty.log", "sub/fwd.log") else winpath(tmp_path / name)
        args += [path, "127.0.3.1", FROM, TO]
    with AiosmtpdSink("127.0.3.1") as sink:
        run = run_mailfile(*args, cwd=tmp_path)
    assert run.results == [SENT] * len(names)
    assert len(sink.messages) == len(names)
    now = datetime.datetime.now(datetime.timezone.utc)
    ids = set()
    for name, envelope in zip(names, sink.messages):
        raw = envelope.original_content
        assert envelope.mail_from == FROM and envelope.rcpt_tos == [TO]
        message = email.message_from_bytes(raw, policy=email.policy.compat32)
        assert message["From"] == "<%s>" % FROM and message["To"] == "<%s>" % TO
        subject = str(email.header.make_header(email.header.decode_header(message["Subject"])))
        assert subject == "Tallyline Log File " + name
        assert message["X-Mailer"] == "Tallyline SMTP Mailer by Kestrin"
        # RFC 5322: the local time with its offset, and an id of its own.
        date = re.fullmatch(r"(Sun|Mon|Tue|Wed|Thu|Fri|Sat), ([1-9]\d?) "
                            r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) (\d{4}) "
                            r"(\d\d):(\d\d):(\d\d) [+-]\d{4}", message["Date"])
        assert date, message["Date"]
        sent = datetime.datetime.strptime(message["Date"], "%a, %d %b %Y %H:%M:%S %z")
        assert abs((sent - now).total_seconds()) < 300
        assert re.fullmatch(r"<\d{14}\.[0-9a-f]{8}\.[0-9a-f]{8}\.[0-9a-f]{8}@%s>" % HELO_NAME,
                            message["Message-ID"]), message["Message-ID"]
        ids.add(message["Message-ID"])
        # No line of the header is longer than 78 characters (RFC 5322), however long the name.
        head = raw[:raw.index(b"\r\n\r\n", raw.index(b"filename"))]
        assert max(len(line) for line in head.split(b"\r\n")) <= 78 or name.isascii(), name
        assert message.is_multipart()
        text, attachment = message.get_payload()
        assert text.get_payload(decode=True).decode(text.get_content_charset()) == \
            "Attached is the log file %s." % name
        assert attachment.get_filename() == name
        assert attachment.get_content_type() == "application/octet-stream"
        assert attachment.get_payload(decode=True) == files[name]
        lines = attachment_lines(raw)
        assert all(len(line) == 76 for line in lines[:-1])
        assert len(lines) == -(-len(files[name]) * 4 // 3 // 76) if files[name] else lines == []
        assert "=" not in "".join(lines[:-1])
    # 1,026 bytes: exactly 18 full lines; 1,027: a nineteenth line of four ending in "==".
    assert [len(l) for l in attachment_lines(sink.messages[1].original_content)] == [76] * 18
    last = attachment_lines(sink.messages[2].original_content)
    assert len(last) == 19 and len(last[18]) == 4 and last[18].endswith("==")
    # The empty file: the header's empty line is followed by the closing delimiter.
    assert re.search(rb'filename="empty.log"\r\n\r\n----=_KVTMsgPart123X456_001_[0-9a-f]+--\r\n',
                     sink.messages[0].original_content)
    assert len(ids) == len(names)
    # Zipped, the entry keeps its name too: UTF-8, with the zip's flag saying so.
    with AiosmtpdSink("127.0.3.1") as sink:
        assert run_mailfile("-z", "2", winpath(tmp_path / WIDE_NAME), "127.0.3.1", FROM, TO).results == [SENT]
        subject, name, _, entry, data = unzipped(sink.messages[0].original_content)
    assert (name, entry, data) == (WIDE_NAME + ".zip", WIDE_NAME, files[WIDE_NAME])


def test_a_missing_file_fails_before_any_network_activity_and_one_held_open_is_mailed(tmp_path):
    log = tmp_path / "held.log"
    log.write_bytes(b"still being written\r\n")
    holder = subprocess.Popen(["wine", MAILFILE, "-hold", winpath(log)], env=wine_env(),
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, text=True)
    try:
        assert holder.stdout.readline().strip() == "held"
        with ScriptedServer("127.0.3.2") as server:
            assert run_mailfile(winpath(tmp_path / "missing.log"), "127.0.3.2", FROM, TO).results == [NOT_OPENED]
            assert server.connections == 0
            # Another program writing it (a sync agent, an editor) stops nobody.
            assert run_mailfile(winpath(log), "127.0.3.2", FROM, TO).results == [SENT]
            assert server.connections == 1
            attachment = email.message_from_bytes(server.messages[0], policy=email.policy.compat32).get_payload()[1]
            assert attachment.get_payload(decode=True) == b"still being written\r\n"
    finally:
        if holder.poll() is None:
            holder.kill()
            holder.wait()


def test_a_read_error_halfway_fails_the_mail_and_the_server_keeps_nothing(tmp_path):
    log = tmp_path / "bad-sector.log"
    log.write_bytes(os.urandom(5000))
    with AiosmtpdSink("127.0.3.19") as sink:
        assert run_mailfile("-f", "3", winpath(log), "127.0.3.19", FROM, TO).results == [NOT_OPENED]
        assert sink.messages == []


def test_resolves_again_after_a_failure_and_for_another_server(tmp_path):
    log = tmp_path / "r.log"
    log.write_bytes(b"x" * 100)
    path = winpath(log)
    with AiosmtpdSink("127.0.3.3") as first, AiosmtpdSink("127.0.3.4") as second:
        run = run_mailfile(path, "no-such-host.invalid", FROM, TO,
                           path, "127.0.3.3", FROM, TO,
                           path, "127.0.3.4", FROM, TO,
                           path, "127.0.3.3", FROM, TO)
        assert run.results == [NOT_RESOLVED, SENT, SENT, SENT]
        assert (len(first.messages), len(second.messages)) == (2, 1)
        # A name is resolved for every connection, and each address tried in
        # turn: the first answer's first address takes no connection, the
        # next answer names the server where it has moved.
        run = run_mailfile("-H", "mail.plant.example=127.0.3.7,127.0.3.3|127.0.3.4", path, "mail.plant.example",
                           FROM, TO, path, "mail.plant.example", FROM, TO)
        assert run.results == [SENT, SENT]
        assert (len(first.messages), len(second.messages)) == (3, 2)


def test_connect_failures(tmp_path):
    log = tmp_path / "c.log"
    log.write_bytes(b"c")
    # Nothing listens: refused at once.
    assert run_mailfile(winpath(log), "127.0.3.5", FROM, TO).results == [CONNECT_FAILED]
    # A listener whose backlog is full never completes the handshake: the
    # connect time-out ends the wait.
    import socket
    listener = socket.socket()
    listener.bind(("127.0.3.6", 25))
    listener.listen(0)
    fillers = []
    try:
        for _ in range(4):
            filler = socket.socket()
            filler.setblocking(False)
            filler.connect_ex(("127.0.3.6", 25))
            fillers.append(filler)
        time.sleep(0.2)
        run = run_mailfile("-c", "1500", winpath(log), "127.0.3.6", FROM, TO)
        assert run.results == [CONNECT_FAILED]
        assert run.elapsed < 20
    finally:
        for sock in fillers + [listener]:
            sock.close()


# With where the dialogue ended, as a mail that retries judges it: only a
# 5xx to the message's own commands refuses that file for good.
@pytest.mark.parametrize("address, script, step, for_good", [
    ("127.0.3.10", dict(greeting=(b"554 go away\r\n",)), "0", "0"),
    ("127.0.3.11", dict(greeting=(b"22",), hangup=True), "0", "0"),
    ("127.0.3.12", dict(ehlo=(b"250-fine\r\n", b"550 but no\r\n")), "0", "0"),
    ("127.0.3.13", dict(rcpt=(b"550 no such user\r\n",)), "2", "1"),
    ("127.0.3.24", dict(mail=(b"451 greylisted\r\n",)), "1", "0"),
], ids=["554-greeting", "short-reply-then-close", "multiline-ending-in-error", "rcpt-refused", "mail-451"])
def test_bad_replies(tmp_path, address, script, step, for_good):
    log = tmp_path / "b.log"
    log.write_bytes(b"b")
    with ScriptedServer(address, **script) as server:
        run = run_mailfile("-d", "-r", "3000", winpath(log), address, FROM, TO)
        assert run.results == [BAD_REPLY]
        assert (run.figures["step"], run.figures["for_good"], run.figures["accepted"]) == (step, for_good, "0")
        # No QUIT after a bad reply.
        assert not any(c.startswith(b"QUIT") for c in server.commands)


def test_quit_must_be_answered_221(tmp_path):
    log = tmp_path / "q.log"
    log.write_bytes(b"accepted anyway\r\n")
    with ScriptedServer("127.0.3.14", quit=(b"250 whatever\r\n",)) as server:
        run = run_mailfile("-d", winpath(log), "127.0.3.14", FROM, TO)
        assert run.results == [BAD_REPLY]
        # Yet the server has the message: a retry would deliver it twice.
        assert run.figures["accepted"] == "1"
        assert len(server.messages) == 1


def test_silent_server_times_out_but_the_answer_to_the_message_is_awaited_longer(tmp_path):
    log = tmp_path / "s.log"
    log.write_bytes(b"s")
    # The answer to the final "." after the reply time-out: a server scanning
    # what it received; it delivers, and so the mail is sent.
    with ScriptedServer("127.0.3.15", greeting=None), \
         ScriptedServer("127.0.3.16", mail=()) as stalls, \
         ScriptedServer("127.0.3.25", accepted=(b"", b"250 scanned\r\n"), pause=2.5) as scanning:
        run = run_mailfile("-r", "1500", winpath(log), "127.0.3.15", FROM, TO,
                           winpath(log), "127.0.3.16", FROM, TO, winpath(log), "127.0.3.25", FROM, TO)
        assert run.results == [BAD_REPLY, BAD_REPLY, SENT]
        assert run.elapsed < 20
        assert stalls.commands[-1].startswith(b"MAIL FROM")
        assert len(scanning.messages) == 1


def test_replies_split_across_segments(tmp_path):
    log = tmp_path / "m.log"
    data = os.urandom(5000)
    log.write_bytes(data)
    ehlo = (b"250-mail.plant.exa", b"mple greets KVT\r\n250-SIZE 10240000\r", b"\n250-8BITMIME\r\n",
            b"25", b"0 HELP\r\n")
    with ScriptedServer("127.0.3.17", greeting=(b"220-first\r\n", b"220 second\r\n"), ehlo=ehlo,
                        mail=(b"250-a\r\n", b"250 b\r\n"), data=(b"35", b"4 go\r\n"),
                        quit=(b"221", b"\r\n")) as server:
        run = run_mailfile("-r", "5000", winpath(log), "127.0.3.17", FROM, TO)
        assert run.results == [SENT]
    assert [c.split(b":")[0] for c in server.commands[1:]] == [b"MAIL FROM", b"RCPT TO", b"DATA\r\n", b"QUIT\r\n"]
    assert re.fullmatch(r"EHLO %s\r\n" % HELO_NAME, server.commands[0].decode())
    message = email.message_from_bytes(server.messages[0], policy=email.policy.compat32)
    assert message.get_payload()[1].get_payload(decode=True) == data


def test_addresses_cannot_inject_commands_or_overflow(tmp_path):
    log = tmp_path / "i.log"
    log.write_bytes(b"i")
    long_from = "a" * 70 + "@plant.example"
    with AiosmtpdSink("127.0.3.18") as sink:
        run = run_mailfile(winpath(log), "127.0.3.18", "me@plant.example\r\nRCPT TO: <evil@x.example>",
                           "ops@plant.example\nDATA",
                           winpath(log), "127.0.3.18", long_from, TO)
        assert run.results == [SENT, SENT]
    injected, long = sink.messages
    assert injected.mail_from == "me@plant.example"
    assert injected.rcpt_tos == ["ops@plant.example"]
    assert b"evil" not in injected.original_content
    assert long.mail_from == long_from[:63]


def size_ehlo(limit):
    return (b"250-scripted\r\n250-SIZE %d\r\n250 HELP\r\n" % limit,)


def test_a_log_larger_than_the_server_takes_fails_before_data_or_goes_zipped_in_parts(tmp_path):
    big, binary, small = tmp_path / "big.log", tmp_path / "dump", tmp_path / "small.log"
    big.write_bytes(call_log(12000))                     # 1 MB, its zip about 300 KB
    # No line end at all: the parts are cut inside the one line.
    binary.write_bytes(random.Random(2).randbytes(300000).replace(b"\n", b"-"))
    small.write_bytes(b"fits as it is\r\n" * 100)
    groups = [(f, "127.0.3.21", FROM, TO) for f in (big, binary, small)]
    with ScriptedServer("127.0.3.20", ehlo=size_ehlo(100000)) as refusing, \
            AiosmtpdSink("127.0.3.21", data_size_limit=100000) as sink:
        plain = run_mailfile(winpath(big), "127.0.3.20", FROM, TO)
        zipped = run_mailfile("-z", "1", *[winpath(x) if isinstance(x, type(big)) else x
                                           for group in groups for x in group])
    # The log as it is: refused before MAIL FROM, with a QUIT.
    assert plain.results == [TOO_LARGE]
    assert [c[:4] for c in refusing.commands] == [b"EHLO", b"QUIT"]
    assert zipped.results == [SENT] * 3, zipped.stdout
    counts = [int(n) for n in re.findall(r"parts=(\d+) failed_part=0", zipped.stdout)]
    assert len(counts) == 2 and min(counts) >= 2
    messages = [unzipped(e.original_content) for e in sink.messages]
    sizes = [len(e.original_content) for e in sink.messages]
    assert len(messages) == sum(counts) + 1 and max(sizes) <= 100000
    at = 0
    for path, count, stem, extension in ((big, counts[0], "big", ".log"), (binary, counts[1], "dump", "")):
        pieces = messages[at:at + count]
        parts = sizes[at:at + count]
        at += count
        for k, (subject, name, kind, entry, _) in enumerate(pieces, 1):
            assert subject == "Tallyline Log File %s (part %d of %d)" % (path.name, k, count)
            assert entry == "%s-part%0*dof%d%s" % (stem, len(str(count)), k, count, extension)
            assert (name, kind) == (entry + ".zip", "application/zip")
        data = [piece[4] for piece in pieces]
        assert b"".join(data) == path.read_bytes()
        # Cut at line ends where there are any; no part much smaller than it must be.
        assert all(d.endswith(b"\n") for d in data[:-1]) == (path is big)
        assert min(parts[:-1]) > 60000, parts
    assert messages[-1][1:] == ("small.log", "application/octet-stream", None, small.read_bytes())


def test_the_message_size_is_counted_exactly_as_it_is_and_zipped(tmp_path):
    log = tmp_path / "exact.log"
    log.write_bytes(call_log(3000))
    with ScriptedServer("127.0.3.22") as as_it_is, ScriptedServer("127.0.3.23") as zipped:
        run_mailfile(winpath(log), "127.0.3.22", FROM, TO)
        run_mailfile("-z", "2", winpath(log), "127.0.3.23", FROM, TO)
    raw, zip_size = as_it_is.data_bytes, zipped.data_bytes
    limits = (raw, raw - 1, zip_size, zip_size - 1)
    with contextlib.ExitStack() as stack:
        servers = [stack.enter_context(ScriptedServer("127.0.3.%d" % (24 + i), ehlo=size_ehlo(limit)))
                   for i, limit in enumerate(limits)]
        run = run_mailfile("-z", "1", *[x for server in servers
                                        for x in (winpath(log), server.address, FROM, TO)])
    assert run.results == [SENT] * 4, run.stdout
    # A limit of exactly the message's size takes it; one byte less does not.
    assert [s.data_bytes for s in servers[:3]] == [raw, zip_size, zip_size]
    kinds = [[unzipped(m)[2] for m in s.messages] for s in servers]
    assert kinds[:3] == [["application/octet-stream"], ["application/zip"], ["application/zip"]]
    assert len(kinds[3]) == 2 and b"".join(unzipped(m)[4] for m in servers[3].messages) == log.read_bytes()


def test_zip64_records_as_standard_tools_read_them(tmp_path):
    large, small = tmp_path / "large.log", tmp_path / "small.log"
    large.write_bytes(call_log(100))
    small.write_bytes(b"x" * 999)
    with AiosmtpdSink("127.0.3.30") as sink:
        # Entries of 1,000 bytes and more get the records meant for 4 GiB.
        run = run_mailfile("-z", "2", "-Z", "1000", winpath(large), "127.0.3.30", FROM, TO,
                           winpath(small), "127.0.3.30", FROM, TO)
    assert run.results == [SENT, SENT]
    for path, envelope, zip64 in zip((large, small), sink.messages, (True, False)):
        message = email.message_from_bytes(envelope.original_content, policy=email.policy.compat32)
        archive = tmp_path / message.get_payload()[1].get_filename()
        archive.write_bytes(message.get_payload()[1].get_payload(decode=True))
        assert (b"PK\x06\x06" in archive.read_bytes()) == zip64
        assert unzipped(envelope.original_content)[3:] == (path.name, path.read_bytes())
        subprocess.run(["unzip", "-tq", str(archive)], check=True, stdout=subprocess.DEVNULL)
        assert subprocess.run(["unzip", "-p", str(archive)], capture_output=True, check=True).stdout == \
            path.read_bytes()
