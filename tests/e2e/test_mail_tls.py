"""MailLogFile over STARTTLS and TLS from the first byte, with AUTH, through
mailfile.exe under Wine, against aiosmtpd with a test CA made by openssl and
trusted through SmtpTrustedCa; and servers that refuse, stall or misbehave."""
import os
import re
import shutil
import ssl

import pytest

from smtpsink import BUILD, MAILFILE, listening_socket, wine_env
from smtpsink import AiosmtpdSink, ScriptedServer, run_mailfile, wine_session, winpath  # noqa: F401
from tlssink import (IMPLICIT, NONE, PASSWORD, STARTTLS, USER, RawServer, TlsSink, certificates,
                     oversized_record_after_handshake, stall_after_starttls, stall_in_handshake, windows_path)

SENT, BAD_REPLY, SECURE_CONNECTION_FAILED, AUTHENTICATION_REFUSED = 0, 3, 5, 6
# Why a secure connection failed (TlsFailure) and the certificate's verdict.
TLS_HANDSHAKE_FAILED, TLS_TIMED_OUT, TLS_CERTIFICATE_REFUSED = 2, 3, 5
NOT_TRUSTED, NAME_MISMATCH, CA_UNREADABLE = 2, 3, 4
FROM, TO = "tallyline@plant.example", "ops@plant.example"

pytestmark = pytest.mark.usefixtures("wine_session")


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    return certificates(str(tmp_path_factory.mktemp("certs")))


@pytest.fixture
def log(tmp_path):
    path = tmp_path / "Quillbox7.log"
    path.write_bytes(os.urandom(5000) + b"\r\nlast line\r\n")
    return path


def secure(certs, security, port, ca="ca.pem", user=USER, password=PASSWORD, extra=()):
    """mailfile options for the given security, with the test CA trusted."""
    args = ["-v", "-s", security, "-p", port]
    if ca:
        args += ["-a", windows_path(certs, ca)]
    if user:
        args += ["-u", user, "-w", password]
    return args + list(extra)


def normalised(raw):
    """A message without what differs between two sends of one file: the
    boundary number (the tick count) and the Date line."""
    raw = re.sub(rb"--=_KVTMsgPart123X456_001_[0-9a-f]+", b"BOUNDARY", raw)
    return re.sub(rb"\r\nDate: [^\r]*\r\n", b"\r\nDate: DATE\r\n", raw)


def test_starttls_with_plain_and_tls_with_login_send_what_the_plain_path_sends(certs, log):
    with AiosmtpdSink("127.0.12.1") as plain, \
            TlsSink("127.0.12.2", certs, STARTTLS, port=587) as starttls, \
            TlsSink("127.0.12.3", certs, IMPLICIT, port=465, mechanisms=("LOGIN",)) as implicit:
        runs = [run_mailfile(winpath(log), "127.0.12.1", FROM, TO),
                run_mailfile(*secure(certs, STARTTLS, 587), winpath(log), "127.0.12.2", FROM, TO),
                run_mailfile(*secure(certs, IMPLICIT, 465), winpath(log), "127.0.12.3", FROM, TO)]
        assert [run.results for run in runs] == [[SENT]] * 3, [run.stdout for run in runs]
        # PLAIN where offered, LOGIN where it is the only mechanism.
        assert starttls.logins == [("PLAIN", USER, PASSWORD, True)]
        assert implicit.logins == [("LOGIN", USER, PASSWORD, True)]
        assert [authenticated for _, authenticated in starttls.recorder.messages] == [True]
        # A server named by its address gets no SNI: SNI carries host names
        # only. (The implicit sink's own start-up probe is a handshake too.)
        assert starttls.server_names == [None] and set(implicit.server_names) == {None}
        sent = [sink.messages[0] for sink in (plain, starttls, implicit)]
    assert all(envelope.mail_from == FROM and envelope.rcpt_tos == [TO] for envelope in sent)
    reference = normalised(sent[0].original_content)
    assert b"Attached is the log file Quillbox7.log." in reference
    assert normalised(sent[1].original_content) == reference
    assert normalised(sent[2].original_content) == reference


def test_a_wrong_password_is_refused_and_nothing_is_mailed(certs, log):
    with TlsSink("127.0.12.4", certs, STARTTLS) as sink:
        run = run_mailfile(*secure(certs, STARTTLS, 587, password="wrong"), winpath(log), "127.0.12.4", FROM, TO)
        assert run.results == [AUTHENTICATION_REFUSED]
        assert sink.logins == [("PLAIN", USER, "wrong", False)]
        assert sink.messages == []


@pytest.mark.parametrize("address, mode, cert, ca, verdict", [
    ("127.0.12.5", STARTTLS, "server", None, NOT_TRUSTED),          # no SmtpTrustedCa
    ("127.0.12.6", IMPLICIT, "server", "other-ca.pem", NOT_TRUSTED),  # another CA in it
    ("127.0.12.41", STARTTLS, "server", "ca.pem", NAME_MISMATCH),   # an address the certificate lacks
    ("127.0.12.7", IMPLICIT, "expired", "ca.pem", NOT_TRUSTED),
    ("127.0.12.8", STARTTLS, "client-only", "ca.pem", NOT_TRUSTED),  # not for servers
    ("127.0.12.9", IMPLICIT, "server", "missing.pem", CA_UNREADABLE),
], ids=["no-trusted-ca", "other-ca", "name-mismatch", "expired", "client-usage", "unreadable-ca"])
def test_a_certificate_that_fails_the_check_fails_the_mail_before_any_credential(
        certs, log, address, mode, cert, ca, verdict):
    with TlsSink(address, certs, mode, cert=cert) as sink:
        run = run_mailfile(*secure(certs, mode, sink.port, ca=ca), winpath(log), address, FROM, TO)
        assert run.results == [SECURE_CONNECTION_FAILED]
        assert run.figures == {"tls": str(TLS_CERTIFICATE_REFUSED), "certificate": str(verdict)}
        assert sink.logins == [] and sink.messages == []


def test_a_chain_through_an_intermediate_to_the_trusted_ca_is_accepted(certs, log):
    with TlsSink("127.0.12.10", certs, IMPLICIT, cert="leaf") as sink:
        run = run_mailfile(*secure(certs, IMPLICIT, 465), winpath(log), "127.0.12.10", FROM, TO)
        assert run.results == [SENT]
        assert len(sink.messages) == 1


def test_an_optional_client_certificate_request_is_answered_without_one_at_once(certs, log):
    sink = TlsSink("127.0.12.18", certs, IMPLICIT)
    sink.controller.ssl_context.verify_mode = ssl.CERT_OPTIONAL    # asked for, not required
    sink.controller.ssl_context.load_verify_locations(os.path.join(certs, "ca.pem"))
    with sink:
        # -C: Schannel as on Windows, which stops to ask the caller; Wine's never does.
        run = run_mailfile("-C", "-r", "20000", *secure(certs, IMPLICIT, 465), winpath(log), "127.0.12.18", FROM, TO)
        assert (run.results, run.figures["requests"]) == ([SENT], "1")
        assert run.elapsed < 10 and len(sink.messages) == 1


def test_the_chain_is_built_without_the_network(certs, log):
    # The server sends no intermediate, its certificate names where to fetch it.
    issuer = listening_socket("127.0.12.17", 8080)
    issuer.setblocking(False)
    with TlsSink("127.0.12.16", certs, IMPLICIT, cert="leaf-aia") as sink:
        run = run_mailfile(*secure(certs, IMPLICIT, 465), winpath(log), "127.0.12.16", FROM, TO)
    assert run.results == [SECURE_CONNECTION_FAILED] and run.figures["certificate"] == str(NOT_TRUSTED)
    with pytest.raises(BlockingIOError):
        issuer.accept()             # nobody came for it
    issuer.close()
    assert sink.logins == []


def test_schannel_and_crypt32_come_from_the_system_folder_only(certs, log, tmp_path):
    shutil.copy(MAILFILE, tmp_path)
    for name in ("secur32.dll", "crypt32.dll"):   # planted beside the program: any DLL will do
        shutil.copy(os.path.join(BUILD, "bin", "netapi32.dll"), tmp_path / name)
    env = dict(wine_env(), WINEDLLOVERRIDES=wine_env()["WINEDLLOVERRIDES"] + ";secur32,crypt32=n,b")
    with TlsSink("127.0.12.19", certs, IMPLICIT) as sink:
        run = run_mailfile(*secure(certs, IMPLICIT, 465), winpath(log), "127.0.12.19", FROM, TO,
                           exe=tmp_path / "mailfile.exe", env=env)
        assert run.results == [SENT] and len(sink.messages) == 1


def test_starttls_not_offered_fails_with_no_mail_from_and_no_credential(certs, log):
    with ScriptedServer("127.0.12.11", ehlo=(b"250-no tls here\r\n250 AUTH PLAIN LOGIN\r\n",)) as server:
        run = run_mailfile(*secure(certs, STARTTLS, 25), winpath(log), "127.0.12.11", FROM, TO)
        assert run.results == [SECURE_CONNECTION_FAILED]
    assert server.commands == [b"EHLO KVT\r\n"]


def test_no_credential_crosses_plain_text_and_an_unknown_security_sends_nothing(certs, log):
    with ScriptedServer("127.0.12.12", ehlo=(b"250-plain\r\n250 AUTH PLAIN LOGIN\r\n",)) as server:
        # A user with security None: the mail fails before anything is sent.
        run = run_mailfile(*secure(certs, NONE, 25), winpath(log), "127.0.12.12", FROM, TO)
        assert run.results == [SECURE_CONNECTION_FAILED]
        # A security code that is none of the three: no fall back to plain text.
        run = run_mailfile("-s", "7", winpath(log), "127.0.12.12", FROM, TO)
        assert run.results == [SECURE_CONNECTION_FAILED]
    assert server.connections == 0


@pytest.mark.parametrize("mode, talk", [(IMPLICIT, stall_in_handshake), (STARTTLS, stall_after_starttls)],
                         ids=["tls-from-the-first-byte", "after-starttls"])
def test_a_server_that_stalls_in_the_handshake_is_bounded_by_the_reply_time_out(certs, log, mode, talk):
    with RawServer("127.0.12.13", 2525, talk):
        run = run_mailfile("-r", "1500", *secure(certs, mode, 2525), winpath(log), "127.0.12.13", FROM, TO)
    assert run.results == [SECURE_CONNECTION_FAILED]
    assert run.figures["tls"] == str(TLS_TIMED_OUT)
    assert run.elapsed < 20


def test_what_is_not_tls_fails_promptly(certs, log):
    with AiosmtpdSink("127.0.12.14") as plain, \
            RawServer("127.0.12.15", 465, oversized_record_after_handshake(certs)):
        # A plain server on the TLS port: its greeting is no handshake.
        run = run_mailfile("-r", "20000", *secure(certs, IMPLICIT, 25), winpath(log), "127.0.12.14", FROM, TO)
        assert run.results == [SECURE_CONNECTION_FAILED]
        assert run.figures["tls"] == str(TLS_HANDSHAKE_FAILED)
        assert run.elapsed < 15
        # A record longer than TLS allows, announced after a good handshake:
        # refused at its header, not waited for.
        run = run_mailfile("-r", "20000", *secure(certs, IMPLICIT, 465), winpath(log), "127.0.12.15", FROM, TO)
        assert run.results == [BAD_REPLY]
        assert run.elapsed < 15
        assert plain.messages == []
