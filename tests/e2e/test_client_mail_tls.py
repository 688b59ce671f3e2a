"""The E-mail page's port, security, user, trusted CA and password under
Xvfb, driven from guidriver.exe: the password box's placeholder kept,
cleared and replaced, E-mail Now over STARTTLS with AUTH and its two new
messages, what Save puts in the registry, and a service that mails a
finished log with the saved settings. Retries, zipping and the OAuth 2.0
sign-in with its dialog (client secret like the password), E-mail Now
with a token. Screenshot: docs/props-email-oauth.png."""

import email
import email.policy
import os
import shutil

import pytest

from client_gui import *  # noqa: F401,F403  (fixtures)
from client_driver import screenshot_window, wait_for
from harness import VirtualPort
from harness.instance import leave_in_outbox
from test_client_props import CANCEL, EMAIL, EMAIL_NOW, GENERAL, LOG_FILE, OAUTH, OK, RETRY, SERVICES, SIGN_IN, \
    ZIP, Sheet, error_box, install, no_error_box, saved
from tlssink import CLIENT_ID, CLIENT_SECRET, PASSWORD, STARTTLS, USER, TlsSink, TokenServer, certificates, \
    windows_path

PORT_BOX, SECURITY, USER_BOX, CA_BOX, BROWSE, PASSWORD_BOX = 1044, 1045, 1046, 1047, 1048, 1049
TOKEN_URL, CLIENT_ID_BOX, SECRET_BOX, THUMBPRINT, SCOPE, TOKEN_CA = 1055, 1056, 1057, 1058, 1059, 1060
OAUTH_BOXES = (TOKEN_URL, CLIENT_ID_BOX, SECRET_BOX, THUMBPRINT, SCOPE, TOKEN_CA)
OAUTH_CAPTION = "OAuth 2.0 Settings"
PLACEHOLDER = "\x1f" * 12
FROM, TO = "tallyline@plant.example", "ops@plant.example"
MAIL_VALUES = ("SmtpPort", "SmtpSecurity", "SmtpUser", "SmtpTrustedCa", "SmtpPassword")
NEW_VALUES = ("MailRetryHours", "MailAttachment", "SmtpAuthMethod", "OAuthTokenUrl", "OAuthClientId",
              "OAuthClientSecret", "OAuthCertificate", "OAuthScope", "OAuthTrustedCa")


@pytest.fixture(scope="module")
def certs(tmp_path_factory):
    return certificates(str(tmp_path_factory.mktemp("certs")))


def stored(gui, n, name):
    """A value of instance n's parameters key as `reg query` prints its data, or None."""
    return gui.reg_query(SERVICES + "\\Quillbox%d\\Parameters" % n, name)


def password_blob(gui, n, name="SmtpPassword"):
    data = stored(gui, n, name)
    return bytes.fromhex(data) if data is not None else None


def holds_no_clear_password(blob, password):
    return password.encode() not in blob and password.encode("utf-16-le") not in blob


def fill_in(s, ca_path, password=PASSWORD):
    s.type(PORT_BOX, "5x8y7")            # digits only
    s.choose(SECURITY, STARTTLS)
    s.type(USER_BOX, USER)
    s.type(CA_BOX, ca_path)
    if password is not None:
        s.type(PASSWORD_BOX, password)


def make_log(gui, folder, name):
    path = gui.c_drive(folder, name)
    shutil.rmtree(os.path.dirname(path), ignore_errors=True)
    os.makedirs(os.path.dirname(path))
    with open(path, "wb") as f:
        f.write(b"2026-12-08 00:00:00.000: first call\r\n")
    return "C:\\%s\\%s" % (folder, name)


def test_password_box_keeps_clears_and_replaces_and_email_now_signs_in(client, gui, certs):
    log = make_log(gui, "tlsmaillogs", "Quillbox1.log")
    install(gui, 1, LogFilename=log, SmtpServer="127.0.12.20", SmtpFromAddress=FROM, SmtpToAddress=TO)
    # An instance that never used the new values keeps its key as it was
    # through an edit and a save.
    install(gui, 2, LogFilename=log)
    before = [stored(gui, 2, name) for name in MAIL_VALUES + NEW_VALUES]
    c = client()
    s = Sheet(c, 2)
    s.tab(EMAIL)
    assert not s.apply_enabled()
    assert [s.text(PORT_BOX), s.ctl(SECURITY).cursel, s.text(USER_BOX), s.text(CA_BOX), s.text(PASSWORD_BOX),
            s.text(RETRY), s.ctl(ZIP).cursel, s.ctl(SIGN_IN).cursel] == ["25", 0, "", "", "", "0", 0, 0]
    s.tab(GENERAL)
    s.type(LOG_FILE, log + ".old")
    s.close(OK)
    saved(c)
    assert [stored(gui, 2, name) for name in MAIL_VALUES + NEW_VALUES] == before == [None] * len(MAIL_VALUES + NEW_VALUES)

    ca = windows_path(certs, "ca.pem")
    s = Sheet(c, 1)
    s.tab(EMAIL)
    fill_in(s, ca)
    assert s.text(PORT_BOX) == "587" and s.apply_enabled()
    with TlsSink("127.0.12.20", certs, STARTTLS, port=587) as sink:
        s.click(EMAIL_NOW)           # not applied yet: the button uses the boxes
        assert no_error_box(c)
        assert sink.logins == [("PLAIN", USER, PASSWORD, True)] and len(sink.messages) == 1
        s.type(PASSWORD_BOX, "wrong")
        s.d("postclick %d" % EMAIL_NOW)
        assert error_box(c) == "The SMTP server refused the user name or password"
        s.type(CA_BOX, "")
        s.d("postclick %d" % EMAIL_NOW)
        # Without the CA the server's chain stops short: the message names what to add.
        box = error_box(c)
        assert box.startswith("Could not establish a secure connection to the SMTP server") and \
            "chain is incomplete" in box, box
        assert len(sink.messages) == 1
        s.type(CA_BOX, ca)
        s.type(PASSWORD_BOX, PASSWORD)
        s.close(OK)
        saved(c)
        assert [stored(gui, 1, name) for name in MAIL_VALUES[:4]] == ["0x24b", "0x1", USER, ca]
        first = password_blob(gui, 1)
        assert first and holds_no_clear_password(first, PASSWORD)

        # Kept: the box shows the placeholder, never the password; an edit
        # elsewhere and a save leave the stored password as it was, and it
        # still signs in.
        s = Sheet(c, 1)
        s.tab(EMAIL)
        assert s.text(PASSWORD_BOX) == PLACEHOLDER
        assert not s.apply_enabled()
        s.type(USER_BOX, USER)
        s.click(EMAIL_NOW)
        assert no_error_box(c) and sink.logins[-1] == ("PLAIN", USER, PASSWORD, True)
        s.close(OK)
        saved(c)
        assert password_blob(gui, 1) == first

        # The box shows what will be stored: typing into the placeholder
        # starts from empty, and undo cannot bring the placeholder back.
        s = Sheet(c, 1)
        s.tab(EMAIL)
        s.type(PASSWORD_BOX, "xy", at_caret=True)
        assert s.text(PASSWORD_BOX) == "xy"
        s.type(PASSWORD_BOX, "\x1a", at_caret=True)       # Ctrl+Z takes back the "y" only
        assert s.text(PASSWORD_BOX) == "x"
        s.close(CANCEL)

        # Replaced: a new password is stored, encrypted, and is the one
        # used; any character, sent as its UTF-8.
        new = "n3w p\u00e4ss \u2713"
        sink.recorder.passwords = {new}
        s = Sheet(c, 1)
        s.tab(EMAIL)
        s.type(PASSWORD_BOX, new)
        s.click(EMAIL_NOW)
        assert no_error_box(c) and sink.logins[-1] == ("PLAIN", USER, new, True)
        s.close(OK)
        saved(c)
        second = password_blob(gui, 1)
        assert second and second != first and holds_no_clear_password(second, new)

        # Browse opens the file dialog on the box's file; OK puts the
        # chosen file in the box, Cancel leaves the box as it was.
        s = Sheet(c, 1)
        s.tab(EMAIL)
        der = windows_path(certs, "ca.der")
        s.type(CA_BOX, der)
        for button, expected in ((2, der), (1, der)):
            s.d("postclick %d" % BROWSE)
            assert c.dialog("Trusted CA file", 20000)
            if button == 1:
                s.type(CA_BOX, "")          # the dialog already holds the file it was opened on
            c.press("Trusted CA file", button)
            assert wait_for(lambda: c.d("dialog 300 Trusted CA file", check=False)[-1].startswith("ERR"), 10)
            assert wait_for(lambda: s.text(CA_BOX) == expected, 10), (button, s.text(CA_BOX))
        s.close(OK)
        saved(c)
        assert stored(gui, 1, "SmtpTrustedCa") == der

        # Cleared: the value leaves the registry.
        s = Sheet(c, 1)
        s.tab(EMAIL)
        s.type(PASSWORD_BOX, "")
        s.close(OK)
        saved(c)
        assert stored(gui, 1, "SmtpPassword") is None
        assert stored(gui, 1, "SmtpUser") == USER


def oauth_dialog(s, *texts):
    """Opens the OAuth 2.0 dialog, types the texts given (None: left as it
    is) into its boxes, and returns what they showed first."""
    s.open_dialog(OAUTH, OAUTH_CAPTION)
    shown = [s.text(box) for box in OAUTH_BOXES]
    for box, text in zip(OAUTH_BOXES, texts):
        if text is not None:
            s.type(box, text)
    return shown


def test_retries_zipping_and_the_oauth_dialog_are_saved_and_email_now_signs_in_with_a_token(client, gui, certs):
    log = make_log(gui, "oauthmaillogs", "Quillbox1.log")
    install(gui, 1, LogFilename=log, SmtpServer="127.0.12.22", SmtpFromAddress=FROM, SmtpToAddress=TO)
    install(gui, 2, LogFilename=log, MailRetryHours=12, MailAttachment=7, SmtpAuthMethod=1)
    c = client()
    # Shown as stored, which is no edit; a zip code of a later version is
    # no choice and is kept until one is made; retries are at most 240.
    s = Sheet(c, 2)
    s.tab(EMAIL)
    assert (s.text(RETRY), s.ctl(ZIP).cursel, s.ctl(SIGN_IN).cursel, s.apply_enabled()) == ("12", -1, 1, False)
    s.type(RETRY, "999")
    assert s.text(RETRY) == "240" and s.apply_enabled()
    s.close(OK)
    saved(c)
    assert [stored(gui, 2, name) for name in NEW_VALUES[:3]] == ["0xf0", "0x7", "0x1"]
    s = Sheet(c, 2)
    s.tab(EMAIL)
    s.choose(ZIP, 0)
    s.close(OK)
    saved(c)
    assert stored(gui, 2, "MailAttachment") is None

    s = Sheet(c, 1)
    s.tab(EMAIL)
    fill_in(s, windows_path(certs, "ca.pem"), password=None)
    s.type(RETRY, "36")
    s.choose(ZIP, 2)
    s.choose(SIGN_IN, 1)
    # Cancel keeps nothing of the dialog (shown with a tenant's values).
    assert oauth_dialog(s, "https://login.microsoftonline.com/8d2f6b1c-0e4a-4b7e-9d3a-5c1f2e7a9b40/oauth2/v2.0/token",
                        CLIENT_ID, CLIENT_SECRET) == [""] * 6
    screenshot_window(c, "props-email-oauth.png", OAUTH_CAPTION)
    s.close_dialog(CANCEL)
    with TokenServer("127.0.12.22", certs) as tokens, TlsSink("127.0.12.22", certs, tokens=tokens) as sink:
        # The page's CA (SmtpTrustedCa) is not trusted for the token server.
        assert oauth_dialog(s, tokens.url, CLIENT_ID, CLIENT_SECRET) == [""] * 6
        s.close_dialog(OK)
        s.d("postclick %d" % EMAIL_NOW)
        assert error_box(c) == "Could not obtain an access token from the token server"
        assert oauth_dialog(s, None, None, "wrong", None, None, windows_path(certs, "ca.pem"))[1] == CLIENT_ID
        s.close_dialog(OK)
        s.d("postclick %d" % EMAIL_NOW)    # not applied yet: the page's values
        assert error_box(c) == "Could not obtain an access token from the token server"
        assert oauth_dialog(s, None, None, CLIENT_SECRET)[:3] == [tokens.url, CLIENT_ID, PLACEHOLDER]
        s.close_dialog(OK)
        s.click(EMAIL_NOW)
        assert no_error_box(c)
        assert [accepted for user, _, accepted in sink.recorder.xoauth2] == [True] and len(sink.messages) == 1
        message = email.message_from_bytes(sink.messages[0].original_content, policy=email.policy.compat32)
        assert message.get_payload()[1].get_filename() == "Quillbox1.log.zip"
        s.close(OK)
        saved(c)
    assert {name: stored(gui, 1, name) for name in NEW_VALUES if name != "OAuthClientSecret"} == dict(
        MailRetryHours="0x24", MailAttachment="0x2", SmtpAuthMethod="0x1", OAuthTokenUrl=tokens.url,
        OAuthClientId=CLIENT_ID, OAuthCertificate=None, OAuthScope=None, OAuthTrustedCa=windows_path(certs, "ca.pem"))
    first = password_blob(gui, 1, "OAuthClientSecret")
    assert first and holds_no_clear_password(first, CLIENT_SECRET)

    # The secret as the password box: kept (never shown), replaced, cleared.
    def edit_oauth(*texts):
        s = Sheet(c, 1)
        s.tab(EMAIL)
        assert oauth_dialog(s, *texts)[2] == PLACEHOLDER
        s.close_dialog(OK)
        assert s.apply_enabled()
        s.close(OK)
        saved(c)
        return password_blob(gui, 1, "OAuthClientSecret")

    thumbprint, scope = "3F 2A 91 C4 5B 07 6E D8 19 A0 4C 7B E2 53 08 F6 9D 1E 64 B3", "https://example.org/.default"
    assert edit_oauth(None, None, None, thumbprint, scope) == first
    assert [stored(gui, 1, name) for name in ("OAuthCertificate", "OAuthScope")] == [thumbprint, scope]
    second = edit_oauth(None, None, "n3w s\u00e9cret")
    assert second and second != first and holds_no_clear_password(second, "n3w s\u00e9cret")
    assert edit_oauth(None, None, "") is None


def test_a_service_mails_with_the_saved_settings(client, gui, certs, workdir):
    port = VirtualPort(gui, 44, os.path.join(workdir, "tls-ports")).open()
    folder = gui.c_drive("tlsmail")
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    try:
        install(gui, 3, PortName=port.name, LogFilename="C:\\tlsmail\\Quillbox3.log", MailRetryHours=1,
                VerboseLevel=9, SmtpServer="127.0.12.21", SmtpFromAddress=FROM, SmtpToAddress=TO)
        c = client()
        s = Sheet(c, 3)
        s.tab(EMAIL)
        fill_in(s, windows_path(certs, "ca.pem"))
        s.close(OK)
        saved(c)
        blob = password_blob(gui, 3)
        assert blob and holds_no_clear_password(blob, PASSWORD)

        # A finished log waits in the outbox: the service mails it at its
        # start, through what the page saved, without a rotation to wait for.
        with open(os.path.join(folder, "Quillbox3-finished.log"), "wb") as f:
            f.write(b"call 1\r\ncall 2\r\n")
        leave_in_outbox(gui, "Quillbox3", "C:\\tlsmail\\Quillbox3-finished.log")
        with TlsSink("127.0.12.21", certs, STARTTLS, port=587) as sink:
            mark = gui.mark()
            gui.scctl("start", "Quillbox3")
            wait_for(lambda: sink.messages, timeout=60)
            gui.scctl("control", "Quillbox3", "stop", check=False)
            gui.scctl("wait", "Quillbox3", "1", "70000", check=False, timeout=90)
            assert len(sink.messages) == 1
            assert sink.logins == [("PLAIN", USER, PASSWORD, True)]
            assert all(authenticated for _, authenticated in sink.recorder.messages)
            message = email.message_from_bytes(sink.messages[0].original_content, policy=email.policy.compat32)
            attachment = message.get_payload()[1]
            assert attachment.get_filename() == "Quillbox3-finished.log"
            assert attachment.get_payload(decode=True) == b"call 1\r\ncall 2\r\n"
            reported = [e.text for e in gui.events_since(mark) if "emailed logfile" in e.text]
            assert reported == ["Successfully emailed logfile C:\\tlsmail\\Quillbox3-finished.log"]
    finally:
        port.close()
