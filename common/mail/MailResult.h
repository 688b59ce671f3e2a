// What became of a mail: the result of MailLogFile and of the parts of the
// mail library beneath it (the sign-in, the token request).
#pragma once

enum MailResult {
    Sent                   = 0,
    ServerNotResolved      = 1,
    ConnectFailed          = 2,
    BadReply               = 3,
    FileNotOpened          = 4,    // also: a read of the file failed (the message was not completed)
    SecureConnectionFailed = 5,    // handshake, certificate, STARTTLS not offered, or security not usable
    AuthenticationRefused  = 6,    // the server refused the user or password, or offers no way we sign in
    MessageTooLarge        = 7,    // larger than the server's SIZE; found before MAIL FROM, nothing sent
    AccessTokenNotObtained = 8     // OAuth 2.0: the token server gave no access token (OAuthToken.h says why)
};
