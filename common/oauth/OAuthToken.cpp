#include "common/oauth/OAuthToken.h"

#include <stdio.h>
#include <string.h>

#include "common/net/HttpsClient.h"
#include "common/net/ServerCertificate.h"
#include "common/net/TlsStream.h"
#include "common/oauth/JwtAssertion.h"
#include "common/secrets/SmtpPassword.h"
#include "common/text/JsonReader.h"

// An assertion is good for five minutes.
#define ASSERTION_LIFETIME_S 300
#define FORM_SIZE 7680
#define JWT_SIZE 6144
#define CLAIMS_SIZE 2048
#define KEY_FILE_SIZE 16384
#define FAILURE_SIZE 320
// How much of the server's error_description the failure keeps.
#define DESCRIPTION_KEPT 160

static char Token[ACCESS_TOKEN_SIZE];
static ULONGLONG ReuseUntil;            // GetTickCount64
static OAuthSettings TokenSettings;     // what the token in memory was obtained with
static char TokenMailbox[SMTP_USER_SIZE];
static char Failure[FAILURE_SIZE];

static char Form[FORM_SIZE];
static char Claims[CLAIMS_SIZE];
static char Jwt[JWT_SIZE];
static char KeyFile[KEY_FILE_SIZE];
static HttpsReply Reply;

// What the key file gives a Google sign-in.
struct ServiceAccount {
    char ClientEmail[SMTP_FIELD_SIZE * 2];
    char KeyId[64];
    char TokenUri[OAUTH_URL_SIZE];
};

const char *AccessTokenFailure()
{
    return Failure;
}

void ForgetAccessToken()
{
    WipeSecret(Token, sizeof Token);
    ReuseUntil = 0;
}

static int Failed(const char *text)
{
    snprintf(Failure, sizeof Failure, "%s", text);
    return 0;
}

static ULONGLONG UnixTime()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULARGE_INTEGER t;
    t.LowPart = now.dwLowDateTime;
    t.HighPart = now.dwHighDateTime;
    return (t.QuadPart - 116444736000000000ULL) / 10000000ULL;
}

// 16 random bytes in hex: the assertion's jti, never used twice.
static int RandomId(char *text, size_t size)
{
    BYTE bytes[16];
    HCRYPTPROV provider;
    if (size < 2 * sizeof bytes + 1 ||
        !CryptAcquireContextW(&provider, NULL, MS_ENH_RSA_AES_PROV_W, PROV_RSA_AES, CRYPT_VERIFYCONTEXT | CRYPT_SILENT))
        return 0;
    int ok = CryptGenRandom(provider, sizeof bytes, bytes);
    CryptReleaseContext(provider, 0);
    for (size_t i = 0; ok && i < sizeof bytes; i++)
        snprintf(text + 2 * i, 3, "%02x", bytes[i]);
    return ok;
}

static int AppendText(char *buffer, size_t size, size_t *length, const char *text)
{
    size_t add = strlen(text);
    if (*length + add >= size)
        return 0;
    memcpy(buffer + *length, text, add + 1);
    *length += add;
    return 1;
}

// "&name=value" (no "&" first), the value form-encoded.
static int AppendField(size_t *length, const char *name, const char *value)
{
    return AppendText(Form, sizeof Form, length, *length > 0 ? "&" : "") &&
           AppendText(Form, sizeof Form, length, name) && AppendText(Form, sizeof Form, length, "=") &&
           AppendFormText(Form, sizeof Form, length, value);
}

// "name":"value" as the next member of the claims.
static int AppendClaim(size_t *length, const char *name, const char *value)
{
    return AppendText(Claims, sizeof Claims, length, *length > 1 ? "," : "") &&
           AppendJsonString(Claims, sizeof Claims, length, name) && AppendText(Claims, sizeof Claims, length, ":") &&
           AppendJsonString(Claims, sizeof Claims, length, value);
}

static int AppendTimeClaim(size_t *length, const char *name, ULONGLONG value)
{
    char number[48];
    snprintf(number, sizeof number, ",\"%s\":%llu", name, value);
    return AppendText(Claims, sizeof Claims, length, number);
}

// The signed assertion: the claims given, the times, and the header with
// x5t (a certificate) or kid (a key file's key id).
static int MakeAssertion(JwtSigner *signer, size_t claims, const char *keyId)
{
    ULONGLONG now = UnixTime();
    if (!AppendTimeClaim(&claims, "iat", now) || !AppendTimeClaim(&claims, "nbf", now) ||
        !AppendTimeClaim(&claims, "exp", now + ASSERTION_LIFETIME_S) || !AppendText(Claims, sizeof Claims, &claims, "}"))
        return Failed("the assertion's claims are too long");
    char header[160];
    size_t headerLength = 0;
    header[0] = '\0';
    const char *idName = signer->Thumbprint[0] != '\0' ? "x5t" : "kid";
    const char *id = signer->Thumbprint[0] != '\0' ? signer->Thumbprint : keyId;
    if (!AppendText(header, sizeof header, &headerLength, "{\"alg\":\"RS256\",\"typ\":\"JWT\"") ||
        (id[0] != '\0' && (!AppendText(header, sizeof header, &headerLength, ",") ||
                           !AppendJsonString(header, sizeof header, &headerLength, idName) ||
                           !AppendText(header, sizeof header, &headerLength, ":") ||
                           !AppendJsonString(header, sizeof header, &headerLength, id))) ||
        !AppendText(header, sizeof header, &headerLength, "}"))
        return Failed("the assertion's key id is too long");
    if (SignJwt(signer, header, Claims, Jwt, sizeof Jwt) == 0)
        return Failed(signer->Failure[0] != '\0' ? signer->Failure : "the assertion could not be signed");
    return 1;
}

// The client-credentials form with the certificate's assertion.
static int CertificateForm(const OAuthSettings *oauth, const char *tokenUrl, size_t *length)
{
    JwtSigner signer;
    if (!OpenCertificateKey(oauth->OAuthCertificate, &signer)) {
        CloseJwtKey(&signer);
        return Failed(signer.Failure);
    }
    char jti[40];
    size_t claims = 1;
    strcpy(Claims, "{");
    int ok = RandomId(jti, sizeof jti) ? 1 : Failed("no random number for the assertion");
    ok = ok && AppendClaim(&claims, "aud", tokenUrl) && AppendClaim(&claims, "iss", oauth->OAuthClientId) &&
         AppendClaim(&claims, "sub", oauth->OAuthClientId) && AppendClaim(&claims, "jti", jti);
    ok = ok && MakeAssertion(&signer, claims, "");
    CloseJwtKey(&signer);
    return ok && AppendField(length, "client_assertion_type",
                             "urn:ietf:params:oauth:client-assertion-type:jwt-bearer") &&
           AppendField(length, "client_assertion", Jwt);
}

// Reads the service account's key file: its e-mail, key id, token URI and
// key, which opens the signer.
static int ReadKeyFile(const char *path, ServiceAccount *account, JwtSigner *signer)
{
    int length = ReadSmallFile(path, (BYTE *)KeyFile, sizeof KeyFile - 1);
    if (length <= 0) {
        memset(signer, 0, sizeof *signer);
        return Failed("the key file cannot be read");
    }
    KeyFile[length] = '\0';
    static char pem[KEY_FILE_SIZE];
    int ok = JsonString(KeyFile, length, "client_email", account->ClientEmail, sizeof account->ClientEmail) ==
                 JsonTaken &&
             JsonString(KeyFile, length, "private_key", pem, sizeof pem) == JsonTaken;
    JsonString(KeyFile, length, "private_key_id", account->KeyId, sizeof account->KeyId);
    JsonString(KeyFile, length, "token_uri", account->TokenUri, sizeof account->TokenUri);
    WipeSecret(KeyFile, sizeof KeyFile);
    if (!ok) {
        memset(signer, 0, sizeof *signer);
        WipeSecret(pem, sizeof pem);
        return Failed("the key file holds no client_email and private_key");
    }
    ok = OpenPemKey(pem, strlen(pem), signer);
    WipeSecret(pem, sizeof pem);
    return ok ? 1 : Failed(signer->Failure);
}

// The JWT-bearer form of a Google service account acting for the mailbox.
// The token URL is the key file's unless one is set.
static int KeyFileForm(const OAuthSettings *oauth, const char *user, const char *scope, char *tokenUrl,
                       size_t urlSize, size_t *length)
{
    ServiceAccount account;
    JwtSigner signer;
    memset(&account, 0, sizeof account);
    if (!ReadKeyFile(oauth->OAuthKeyFile, &account, &signer)) {
        CloseJwtKey(&signer);
        return 0;
    }
    if (tokenUrl[0] == '\0')
        snprintf(tokenUrl, urlSize, "%s", account.TokenUri);
    size_t claims = 1;
    strcpy(Claims, "{");
    int ok = AppendClaim(&claims, "iss", account.ClientEmail) && AppendClaim(&claims, "sub", user) &&
             AppendClaim(&claims, "scope", scope) && AppendClaim(&claims, "aud", tokenUrl) &&
             MakeAssertion(&signer, claims, account.KeyId);
    CloseJwtKey(&signer);
    return ok && AppendField(length, "grant_type", "urn:ietf:params:oauth:grant-type:jwt-bearer") &&
           AppendField(length, "assertion", Jwt);
}

static int TransportFailed(const HttpsReply *reply)
{
    switch (reply->Failure) {
    case HttpsBadUrl:        return Failed("the token URL is not an https:// address, or the proxy not host:port");
    case HttpsNotResolved:   return Failed("the token server's (or the proxy's) name cannot be resolved");
    case HttpsConnectFailed: return Failed("the token server (or the proxy) cannot be reached");
    case HttpsProxyRefused:  return Failed("the proxy did not open a connection to the token server");
    case HttpsSecureFailed:
        if (reply->TlsFailure == TlsCertificateRefused)
            snprintf(Failure, sizeof Failure, "the token server's certificate was refused: %s",
                     CertificateVerdictText(reply->Verdict));
        else
            snprintf(Failure, sizeof Failure, "no secure connection to the token server (TLS failure %d)",
                     reply->TlsFailure);
        return 0;
    case HttpsRequestFailed: return Failed("the token request could not be sent");
    case HttpsReplyTooLarge: return Failed("the token server's reply is too large");
    default:                 return Failed("the token server gave no complete reply");
    }
}

// The server's own words, one line of printable text, without the secret
// should the server echo it.
static void KeepServerText(char *text, const char *secret)
{
    size_t secretLength = strlen(secret);
    char *echo = secretLength >= 4 ? strstr(text, secret) : NULL;
    if (echo != NULL)
        *echo = '\0';
    text[strcspn(text, "\r\n")] = '\0';
    for (char *c = text; *c != '\0'; c++)
        if ((unsigned char)*c < 0x20 || *c == 0x7F)
            *c = ' ';
}

static int IsTokenText(const char *text)
{
    if (*text == '\0')
        return 0;
    for (; *text != '\0'; text++)
        if ((unsigned char)*text <= 0x20 || (unsigned char)*text >= 0x7F)
            return 0;
    return 1;
}

// Takes the token from a reply, or says what the server said instead.
static int JudgeReply(const char *secret)
{
    const char *body = Reply.Body;
    size_t length = (size_t)Reply.BodyLength;
    char error[64], description[DESCRIPTION_KEPT + 1], type[32];
    JsonString(body, length, "error", error, sizeof error);
    static char longDescription[4096];
    JsonString(body, length, "error_description", longDescription, sizeof longDescription);
    snprintf(description, sizeof description, "%s", longDescription);
    KeepServerText(error, secret);
    KeepServerText(description, secret);
    if (error[0] != '\0') {
        snprintf(Failure, sizeof Failure, "%s%s%s", error, description[0] != '\0' ? ": " : "", description);
        return 0;
    }
    int taken = JsonString(body, length, "access_token", Token, sizeof Token);
    if (Reply.Status != 200 || taken != JsonTaken) {
        if (taken == JsonUnusable && Reply.Status == 200)
            return Failed("the token server's reply holds no usable access token");
        snprintf(Failure, sizeof Failure, "the token server answered HTTP %d without an access token", Reply.Status);
        return 0;
    }
    if (!IsTokenText(Token))
        return Failed("the access token holds characters a token cannot have");
    if (JsonString(body, length, "token_type", type, sizeof type) == JsonTaken && _stricmp(type, "Bearer") != 0)
        return Failed("the token is not a Bearer token");
    DWORD expiresIn = 0;
    ReuseUntil = 0;
    if (JsonNumber(body, length, "expires_in", &expiresIn) == JsonTaken && expiresIn > ACCESS_TOKEN_MARGIN_S)
        ReuseUntil = GetTickCount64() + (ULONGLONG)(expiresIn - ACCESS_TOKEN_MARGIN_S) * 1000;
    return 1;
}

static int Request(const SmtpSettings *settings, const char *secret)
{
    const OAuthSettings *oauth = &settings->OAuth;
    int keyFile = oauth->OAuthKeyFile[0] != '\0';
    const char *scope = OAuthScopeOf(oauth);
    char tokenUrl[OAUTH_URL_SIZE];
    snprintf(tokenUrl, sizeof tokenUrl, "%s", oauth->OAuthTokenUrl);
    size_t length = 0;
    Form[0] = '\0';
    int ok;
    if (keyFile) {
        ok = KeyFileForm(oauth, settings->SmtpUser, scope, tokenUrl, sizeof tokenUrl, &length);
    } else {
        ok = AppendField(&length, "grant_type", "client_credentials") &&
             AppendField(&length, "client_id", oauth->OAuthClientId);
        if (ok && oauth->OAuthCertificate[0] != '\0')
            ok = CertificateForm(oauth, tokenUrl, &length);
        else if (ok)
            ok = AppendField(&length, "client_secret", secret);
        ok = ok && AppendField(&length, "scope", scope);
    }
    if (!ok) {
        if (Failure[0] == '\0')
            Failed("the token request is too long");
        return 0;
    }
    if (!PostHttpsForm(tokenUrl, Form, length, oauth->OAuthProxy, settings->SmtpTrustedCa, &Reply))
        return TransportFailed(&Reply);
    return JudgeReply(secret);
}

const char *ObtainAccessToken(const SmtpSettings *settings, int renew)
{
    const OAuthSettings *oauth = &settings->OAuth;
    Failure[0] = '\0';
    if (!renew && Token[0] != '\0' && GetTickCount64() < ReuseUntil &&
        memcmp(&TokenSettings, oauth, sizeof TokenSettings) == 0 && strcmp(TokenMailbox, settings->SmtpUser) == 0)
        return Token;
    ForgetAccessToken();
    char secret[SMTP_PASSWORD_SIZE] = "";
    int usesSecret = oauth->OAuthKeyFile[0] == '\0' && oauth->OAuthCertificate[0] == '\0';
    int ok = 0;
    if (oauth->OAuthTokenUrl[0] == '\0' && oauth->OAuthKeyFile[0] == '\0')
        Failed("no token URL is set");
    else if (usesSecret && oauth->OAuthClientSecretSize == 0)
        Failed("neither a client secret nor a certificate is set");
    else if (usesSecret && !UnprotectOAuthClientSecret(oauth->OAuthClientSecret, oauth->OAuthClientSecretSize,
                                                       secret, sizeof secret))
        Failed("the stored client secret cannot be decrypted on this machine");
    else
        ok = Request(settings, secret);
    WipeSecret(secret, sizeof secret);
    WipeSecret(Form, sizeof Form);
    WipeSecret(&Reply, sizeof Reply);
    if (!ok) {
        ForgetAccessToken();
        return NULL;
    }
    TokenSettings = *oauth;
    snprintf(TokenMailbox, sizeof TokenMailbox, "%s", settings->SmtpUser);
    return Token;
}
