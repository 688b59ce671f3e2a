// One HTTPS POST of a form, for the token server of an OAuth 2.0 sign-in:
// a small HTTP/1.1 client over the mail library's own TLS layer, so that
// the server's certificate passes the same check as the SMTP server's (the
// machine's roots, or the private CA it is given) before a byte of the request is sent,
// within the same time-outs. Direct, or through an HTTP proxy (CONNECT).
// Fixed buffers only; not reentrant, like the mailer that calls it.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <stddef.h>

// The reply's body is kept whole up to this size; a larger one fails.
#define HTTPS_BODY_SIZE 16384

// Why a request got no reply to judge.
enum HttpsFailure {
    HttpsNoFailure          = 0,
    HttpsBadUrl             = 1,   // not https://host[:port][/path]
    HttpsNotResolved        = 2,   // the server's (or the proxy's) name
    HttpsConnectFailed      = 3,
    HttpsProxyRefused       = 4,   // the proxy did not open the tunnel
    HttpsSecureFailed       = 5,   // handshake or certificate (see TlsFailure, Verdict)
    HttpsRequestFailed      = 6,   // the request could not be sent whole
    HttpsNoReply            = 7,   // closed, timed out or not HTTP before the reply was whole
    HttpsReplyTooLarge      = 8
};

struct HttpsReply {
    int Status;                     // the HTTP status code
    char Body[HTTPS_BODY_SIZE];     // terminated
    int BodyLength;
    int Failure;                    // HttpsFailure
    int TlsFailure;                 // with HttpsSecureFailed: the TlsFailure
    int Verdict;                    // and the certificate's verdict
};

// Posts form (application/x-www-form-urlencoded) to url, through proxy
// ("host:port") unless it is empty, trusting trustedCaPath (may be empty) as
// the SMTP connection does. Non-zero when a whole reply came, whatever its
// status; otherwise reply->Failure says why. The request's buffer is wiped
// afterwards: the form carries a secret.
int PostHttpsForm(const char *url, const char *form, size_t formLength, const char *proxy,
                  const char *trustedCaPath, HttpsReply *reply);

// Splits "https://host[:port][/path]" (case-insensitive scheme). Host names
// and dotted IPv4 addresses only; no user information, no blanks or control
// characters. Non-zero when the URL is one.
int ParseHttpsUrl(const char *url, char *host, size_t hostSize, unsigned *port, char *path, size_t pathSize);

// Appends the form encoding of text (RFC 6749 appendix B) to form at
// *length, keeping it terminated. Non-zero when it fitted.
int AppendFormText(char *form, size_t size, size_t *length, const char *text);
