// The parts of an OAuth 2.0 sign-in that need no server: reading the token
// server's reply and taking its URL and form apart.
#include <gtest/gtest.h>

#include <string.h>
#include <string>

#include "common/net/HttpsClient.h"
#include "common/text/JsonReader.h"

namespace {

int Text(const std::string &json, const char *name, char *text, size_t size)
{
    return JsonString(json.data(), json.size(), name, text, size);
}

int Number(const std::string &json, const char *name, DWORD *value)
{
    return JsonNumber(json.data(), json.size(), name, value);
}

TEST(TokenReply, MembersAreFoundInAnyOrderUnescapedAndNestedOnesAreNotTaken)
{
    const std::string reply =
        " {\"ext\": {\"access_token\": \"inner\", \"a\": [1, -2.5e-3, true, null, [\"]}\"]]},\r\n"
        "\t\"access_token\" : \"a\\/b\\\"c\\\\d\\u00e9\\ud83d\\ude00\\n\", \"expires_in\":\"3599\", \"n\": 42 } ";
    char text[64];
    EXPECT_EQ(JsonTaken, Text(reply, "access_token", text, sizeof text));
    EXPECT_STREQ("a/b\"c\\d\xc3\xa9\xf0\x9f\x98\x80\n", text);
    DWORD n = 0;
    EXPECT_EQ(JsonTaken, Number(reply, "expires_in", &n));   // quoted, as some servers send it
    EXPECT_EQ(3599u, n);
    EXPECT_EQ(JsonTaken, Number(reply, "n", &n));
    EXPECT_EQ(42u, n);
    EXPECT_EQ(JsonAbsent, Text(reply, "error", text, sizeof text));
    EXPECT_EQ(JsonUnusable, Number(reply, "access_token", &n));
    EXPECT_EQ(JsonUnusable, Text(reply, "n", text, sizeof text));
}

TEST(TokenReply, WhatIsNotOneWholeObjectOrDoesNotFitIsRefusedWithinTheBuffer)
{
    char text[8];
    memset(text, 'x', sizeof text);
    EXPECT_EQ(JsonUnusable, Text("{\"error\":\"12345678\"}", "error", text, sizeof text));
    EXPECT_STREQ("", text);
    EXPECT_EQ(JsonTaken, Text("{\"error\":\"1234567\"}", "error", text, sizeof text));
    const char *broken[] = {"", "[]", "{\"error\":\"x\"", "{\"error\":\"x\"} {}", "{\"error\":\"a\nb\"}",
                            "{\"error\":\"\\q\"}", "{\"error\" \"x\"}", "{\"error\":\"x\",}", "{\"error\":\"\\u12\"}"};
    for (const char *json : broken)
        EXPECT_EQ(JsonUnusable, Text(json, "error", text, sizeof text)) << json;
    // Nesting deeper than the limit is refused, not followed down.
    std::string deep = "{\"a\":" + std::string(1000, '[') + std::string(1000, ']') + ",\"error\":\"x\"}";
    EXPECT_EQ(JsonUnusable, Text(deep, "error", text, sizeof text));
    // The length given bounds the reading: a reply cut short is refused.
    const std::string whole = "{\"error\":\"invalid\"}";
    EXPECT_EQ(JsonUnusable, JsonString(whole.data(), whole.size() - 1, "error", text, sizeof text));
    DWORD n = 7;
    EXPECT_EQ(JsonUnusable, Number("{\"n\":4294967296}", "n", &n));
    EXPECT_EQ(JsonUnusable, Number("{\"n\":-1}", "n", &n));
    EXPECT_EQ(7u, n);
}

TEST(TokenUrl, OnlyHttpsToAHostWithAPathThatCannotBreakTheRequest)
{
    char host[64], path[64];
    unsigned port = 0;
    ASSERT_TRUE(ParseHttpsUrl("HTTPS://login.microsoftonline.com/tenant/oauth2/v2.0/token", host, sizeof host, &port,
                              path, sizeof path));
    EXPECT_STREQ("login.microsoftonline.com", host);
    EXPECT_EQ(443u, port);
    EXPECT_STREQ("/tenant/oauth2/v2.0/token", path);
    ASSERT_TRUE(ParseHttpsUrl("https://127.0.12.30:8443", host, sizeof host, &port, path, sizeof path));
    EXPECT_EQ(8443u, port);
    EXPECT_STREQ("/", path);
    const std::string refused[] = {"http://login.example/token", "https://user:pw@login.example/",
                                   "https://login.example/a b", "https://login.example/a\r\nX-Header: y",
                                   "https://:443/", "https://login.example:0/", "https://login.example:65536/",
                                   "https://[::1]/", "https://" + std::string(64, 'h') + "/",
                                   "https://login.example/" + std::string(64, 'p')};
    for (const std::string &url : refused)
        EXPECT_FALSE(ParseHttpsUrl(url.c_str(), host, sizeof host, &port, path, sizeof path)) << url;

    char form[24];
    size_t length = 0;
    EXPECT_TRUE(AppendFormText(form, sizeof form, &length, "a b&c=d~/"));
    EXPECT_STREQ("a+b%26c%3Dd%7E%2F", form);
    EXPECT_FALSE(AppendFormText(form, sizeof form, &length, "&&&"));
    EXPECT_STREQ("a+b%26c%3Dd%7E%2F", form);
}

}  // namespace
