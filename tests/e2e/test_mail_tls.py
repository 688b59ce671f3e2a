"""MailLogFile over STARTTLS and TLS from the first byte, with AUTH (a
password, or an OAuth 2.0 access token from a token server), through
mailfile.exe under Wine, against aiosmtpd with a test CA made by openssl and
trusted through SmtpTrustedCa; and servers that refuse, stall or misbehave."""
import os
import re
import shutil
import ssl
import subprocess

import pytest

from smtpsink import BUILD, MAILFILE, listening_socket, wine_env
from smtpsink import AiosmtpdSink, ScriptedServer, run_mailfile, wine_session, winpath  # noqa: F401
from tlssink import (CLIENT_ID, CLIENT_SECRET, IMPLICIT, JWT_BEARER, NONE, PASSWORD, STARTTLS, USER, RawServer,
                     TlsSink, TokenServer, certificates, connect_proxy, oversized_record_after_handshake,
                     stall_after_starttls, stall_in_handshake, windows_path)

SENT, BAD_REPLY, SECURE_CONNECTION_FAILED, AUTHENTICATION_REFUSED, ACCESS_TOKEN_NOT_OBTAINED = 0, 3, 5, 6, 8
# Why a secure connection failed (TlsFailure) and the certificate's verdict.
TLS_HANDSHAKE_FAILED, TLS_TIMED_OUT, TLS_CERTIFICATE_REFUSED = 2, 3, 5
NOT_TRUSTED, NAME_MISMATCH, CA_UNREADABLE, ISSUER_MISSING = 2, 3, 4, 5
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
    boundary number (the tick count), the Date and the Message-ID."""
    raw = re.sub(rb"--=_KVTMsgPart123X456_001_[0-9a-f]+", b"BOUNDARY", raw)
    return re.sub(rb"\r\nDate: [^\r]*\r\nMessage-ID: [^\r]*\r\n", b"\r\nDate: DATE\r\nMessage-ID: ID\r\n", raw)


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
    ("127.0.12.5", STARTTLS, "server", None, ISSUER_MISSING),       # no SmtpTrustedCa
    ("127.0.12.6", IMPLICIT, "server", "other-ca.pem", ISSUER_MISSING),  # another CA in it
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
    assert run.results == [SECURE_CONNECTION_FAILED] and run.figures["certificate"] == str(ISSUER_MISSING)
    # Said in words that name what to add to the machine's store.
    assert run.stderr.strip() == ('the server\'s certificate was refused: its chain is incomplete: the certificate of '
                                  '"CN=Tallyline Test Intermediate CA" is neither sent by the server nor in this '
                                  'machine\'s certificate stores (none is fetched)')
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
        assert run.results == [SENT] and len(sink.messages) == 1, (run.stdout, run.stderr, run.returncode)


def test_starttls_not_offered_fails_with_no_mail_from_and_no_credential(certs, log):
    with ScriptedServer("127.0.12.11", ehlo=(b"250-no tls here\r\n250 AUTH PLAIN LOGIN\r\n",)) as server:
        run = run_mailfile(*secure(certs, STARTTLS, 25), winpath(log), "127.0.12.11", FROM, TO)
        assert run.results == [SECURE_CONNECTION_FAILED]
    assert len(server.commands) == 1 and server.commands[0].startswith(b"EHLO ")


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


@pytest.fixture(scope="module")
def client_certificate(certs):
    """The thumbprint of client.pem, imported with its key into the machine's store."""
    assert run_mailfile("-import", windows_path(certs, "client.pfx"), "tallyline").stdout.split() == ["imported", "1"]
    with open(os.path.join(certs, "client.thumbprint")) as f:
        return f.read().strip()


def oauth(certs, url, *extra):
    """mailfile options for STARTTLS and an OAuth 2.0 sign-in at url."""
    return ["-v", "-s", STARTTLS, "-p", 587, "-a", windows_path(certs, "ca.pem"), "-A", windows_path(certs, "ca.pem"),
            "-u", USER, "-o", url, "-i", CLIENT_ID] + list(extra)


def test_oauth_signs_in_with_a_secret_a_certificate_or_a_key_file_one_token_for_several_mails(
        certs, log, client_certificate, tmp_path):
    with TokenServer("127.0.12.31", certs, chunked=True) as tokens, TlsSink("127.0.12.31", certs, tokens=tokens) \
            as sink, RawServer("127.0.12.35", 3128, connect_proxy) as proxy:
        group = [winpath(log), "127.0.12.31", FROM, TO]
        runs = [run_mailfile(*oauth(certs, tokens.url, "-k", CLIENT_SECRET, "-x", "127.0.12.35:3128"), *group * 3),
                run_mailfile(*oauth(certs, tokens.url, "-t", client_certificate), *group),
                run_mailfile(*oauth(certs, "", "-j", tokens.key_file(str(tmp_path / "key.json"))), *group)]
        assert [run.results for run in runs] == [[SENT] * 3, [SENT], [SENT]], ([run.stderr for run in runs], tokens.refusals)
        # One token served the three mails of one process. The server judged
        # each grant: the secret, the certificate's assertion (signature,
        # x5t, aud, iss, sub, times), the key file's for the mailbox.
        assert tokens.refusals == [] and len(tokens.requests) == 3
        forms = [form for _, form in tokens.requests]
        assert forms[0]["client_secret"] == CLIENT_SECRET and "client_secret" not in forms[1]
        assert forms[1]["client_assertion"].count(".") == 2 and forms[2]["grant_type"] == JWT_BEARER
        assert [user for user, _, accepted in sink.recorder.xoauth2 if accepted] == [USER] * 5
        assert len(sink.messages) == 5 and all(authenticated for _, authenticated in sink.recorder.messages)
    # The proxy opened the tunnel and saw only TLS: never the secret.
    [(request, relayed)] = proxy.received
    assert request.startswith(b"CONNECT 127.0.12.31:443 HTTP/1.1\r\n") and relayed[:1] == b"\x16"
    assert CLIENT_SECRET.encode() not in relayed


def test_neither_the_signed_assertion_nor_the_token_reply_stays_in_memory(certs, log, client_certificate):
    with TokenServer("127.0.12.36", certs) as tokens, TlsSink("127.0.12.36", certs, tokens=tokens):
        args = ["-S"] + oauth(certs, tokens.url, "-t", client_certificate) + [winpath(log), "127.0.12.36", FROM, TO]
        proc = subprocess.Popen(["wine", MAILFILE] + [str(a) for a in args], env=wine_env(), stdin=subprocess.PIPE,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        try:
            lines = [proc.stdout.readline().strip()]
            while lines[-1] not in ("scan", ""):
                lines.append(proc.stdout.readline().strip())
            assert lines[0] == str(SENT) and lines[-1] == "scan", lines
            # Looked for after the mail, in every readable page of its process.
            [(_, form)] = tokens.requests
            secrets = [form["client_assertion"], '"ext" : {"a": [1, 2.5e3']
            found = proc.communicate("".join(text.encode().hex() + "\n" for text in secrets), timeout=120)[0]
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
    assert found.split() == ["found=0", "found=0"]


def test_a_refused_or_expiring_token_is_replaced_once(certs, log):
    # expires_in 300 lies within the five minutes a token is not used in.
    with TokenServer("127.0.12.32", certs, expires_in=300) as tokens, TlsSink("127.0.12.32", certs, tokens=tokens) \
            as sink:
        group = [winpath(log), "127.0.12.32", FROM, TO]
        sink.recorder.refuse = 1
        run = run_mailfile(*oauth(certs, tokens.url, "-k", CLIENT_SECRET), *group * 2)
        assert run.results == [SENT, SENT] and len(tokens.requests) == 3
        # The refusal's challenge was answered with an empty line, then a new
        # token signed in; the next mail asked for another.
        attempts = sink.recorder.xoauth2
        assert [accepted for _, _, accepted in attempts] == [False, False, True, True]
        assert attempts[1] == ("answer", b"", False)
        assert len({token for user, token, _ in attempts if user == USER}) == 3
        sink.recorder.refuse = 2
        run = run_mailfile(*oauth(certs, tokens.url, "-k", CLIENT_SECRET), *group)
        assert run.results == [AUTHENTICATION_REFUSED] and len(tokens.requests) == 5
        assert len(sink.messages) == 2


def test_without_a_token_nothing_is_mailed_and_the_secret_goes_nowhere_else(certs, log):
    with TokenServer("127.0.12.33", certs) as tokens, TokenServer("127.0.12.34", certs, cert="expired") as untrusted, \
            TlsSink("127.0.12.33", certs, tokens=tokens) as sink:
        group = [winpath(log), "127.0.12.33", FROM, TO]
        wrong = run_mailfile(*oauth(certs, tokens.url, "-k", "wrong"), *group)
        assert wrong.results == [ACCESS_TOKEN_NOT_OBTAINED]
        # The server's error and the first line of its description.
        assert wrong.stderr.strip() == ("invalid_client: AADSTS7000215: Invalid client secret provided. Ensure the "
                                        "secret being sent in the request is the client secret value, not the "
                                        "client secret ID.")
        # A token server whose certificate fails the check hears nothing.
        refused = run_mailfile(*oauth(certs, untrusted.url, "-k", CLIENT_SECRET), *group)
        assert refused.results == [ACCESS_TOKEN_NOT_OBTAINED] and untrusted.requests == []
        assert refused.stderr.strip() == "the token server's certificate was refused: it is not trusted"
        # The mail server's private CA (SmtpTrustedCa) vouches for no token server.
        args = oauth(certs, tokens.url, "-k", CLIENT_SECRET)
        del args[args.index("-A"):args.index("-A") + 2]
        mail_ca = run_mailfile(*args, *group)
        assert mail_ca.stderr.strip().startswith("the token server's certificate was refused: its chain is "
                                                 "incomplete: the certificate of \"CN=Tallyline Test CA\"")
        # No TLS to the SMTP server, or a token URL in clear: nothing is asked.
        plain = run_mailfile(*oauth(certs, tokens.url, "-k", CLIENT_SECRET, "-s", NONE), *group)
        clear = run_mailfile(*oauth(certs, tokens.url.replace("https:", "http:"), "-k", CLIENT_SECRET), *group)
        assert plain.results == [SECURE_CONNECTION_FAILED] and clear.results == [ACCESS_TOKEN_NOT_OBTAINED]
        assert len(tokens.requests) == 1
    assert sink.messages == [] and sink.recorder.xoauth2 == []
