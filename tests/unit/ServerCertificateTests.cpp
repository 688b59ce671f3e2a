// The certificate check on certificates made by openssl before the tests
// (tests/tools/make-test-certificates.sh, folder in TALLY_TEST_CERTS).
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>

#include "common/net/ServerCertificate.h"

namespace {

std::string CertificateFolder()
{
    const char *folder = getenv("TALLY_TEST_CERTS");
    return folder != NULL ? folder : "";
}

std::string PathOf(const char *name)
{
    return CertificateFolder() + "\\" + name;
}

// The server's certificate as the handshake hands it over: the first
// certificate of a PEM file, in a store that also holds the rest of the file
// (the chain the server sent).
class ServerChain {
public:
    explicit ServerChain(const char *name)
    {
        m_Store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, NULL);
        FILE *file = fopen(PathOf(name).c_str(), "rb");
        if (file == NULL)
            return;
        static char text[32768];
        size_t length = fread(text, 1, sizeof text - 1, file);
        fclose(file);
        text[length] = '\0';
        const char *at = text;
        while ((at = strstr(at, "-----BEGIN CERTIFICATE-----")) != NULL) {
            const char *end = strstr(at, "-----END CERTIFICATE-----");
            if (end == NULL)
                break;
            end += strlen("-----END CERTIFICATE-----");
            BYTE der[8192];
            DWORD size = sizeof der;
            PCCERT_CONTEXT added = NULL;
            if (CryptStringToBinaryA(at, (DWORD)(end - at), CRYPT_STRING_BASE64HEADER, der, &size, NULL, NULL))
                CertAddEncodedCertificateToStore(m_Store, X509_ASN_ENCODING, der, size, CERT_STORE_ADD_ALWAYS,
                                                 m_First == NULL ? &added : NULL);
            if (m_First == NULL)
                m_First = added;
            at = end;
        }
    }
    ~ServerChain()
    {
        if (m_First != NULL)
            CertFreeCertificateContext(m_First);
        CertCloseStore(m_Store, 0);
    }
    CertificateVerdict Check(const char *serverName, const std::string &trustedCa) const
    {
        return CheckServerCertificate(m_First, serverName, trustedCa.c_str());
    }
    PCCERT_CONTEXT First() const { return m_First; }

private:
    HCERTSTORE m_Store;
    PCCERT_CONTEXT m_First = NULL;
};

class CertificateCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (CertificateFolder().empty())
            GTEST_SKIP() << "TALLY_TEST_CERTS is not set (the certificates are made by ctest's fixture)";
    }
};

TEST_F(CertificateCheck, AChainEndingAtTheTrustedCaIsAcceptedForTheNamesItCarries)
{
    ServerChain server("server.pem");
    ASSERT_NE(server.First(), nullptr);
    EXPECT_EQ(server.Check("localhost", PathOf("ca.pem")), CertificateAccepted);
    EXPECT_EQ(server.Check("LOCALHOST", PathOf("ca.der")), CertificateAccepted);    // DER as well as PEM
    EXPECT_EQ(server.Check("127.0.12.1", PathOf("ca.pem")), CertificateAccepted);
    EXPECT_EQ(server.Check("127.0.0.1", PathOf("ca.pem")), CertificateAccepted);
    // Through an intermediate the server sends beside its own certificate.
    ServerChain leaf("leaf-chain.pem");
    EXPECT_EQ(leaf.Check("localhost", PathOf("ca.pem")), CertificateAccepted);
}

TEST_F(CertificateCheck, NamesTheCertificateDoesNotCarryAreRefused)
{
    ServerChain server("server.pem");
    EXPECT_EQ(server.Check("mail.example.org", PathOf("ca.pem")), CertificateNotTrusted);
    EXPECT_EQ(server.Check("localhost.example.org", PathOf("ca.pem")), CertificateNotTrusted);
    EXPECT_EQ(server.Check("127.0.12.41", PathOf("ca.pem")), CertificateNameMismatch);
    // Not an address, so a host name, which the certificate does not carry.
    EXPECT_EQ(server.Check("127.0.12", PathOf("ca.pem")), CertificateNotTrusted);
    EXPECT_EQ(server.Check("127.0.12.1.", PathOf("ca.pem")), CertificateNotTrusted);
    // Connected to as 127.0.12.8 (octal): never checked as 127.0.12.10.
    EXPECT_EQ(server.Check("127.0.12.010", PathOf("ca.pem")), CertificateNotTrusted);
}

TEST_F(CertificateCheck, AnUnknownRootIsRefusedWhateverElseIsRightNamingTheCertificateMissing)
{
    // The root found nowhere: the chain stops short, and says at what.
    ServerChain server("server.pem");
    char why[400];
    EXPECT_EQ(server.Check("localhost", ""), CertificateIssuerMissing);
    FormatIssuerMissing(why, sizeof why);
    EXPECT_STREQ(why, "its chain is incomplete: the certificate of \"CN=Tallyline Test CA\" is neither sent by the "
                      "server nor in this machine's certificate stores (none is fetched)");
    EXPECT_EQ(server.Check("127.0.12.1", ""), CertificateIssuerMissing);
    EXPECT_EQ(server.Check("localhost", PathOf("other-ca.pem")), CertificateIssuerMissing);
    // Only the first certificate of a file is the trusted root.
    EXPECT_EQ(server.Check("localhost", PathOf("two-cas.pem")), CertificateIssuerMissing);
    // The intermediate missing, the chain stops short of the root.
    ServerChain leaf("leaf.pem");
    EXPECT_EQ(leaf.Check("localhost", PathOf("ca.pem")), CertificateIssuerMissing);
    FormatIssuerMissing(why, sizeof why);
    EXPECT_NE(strstr(why, "\"CN=Tallyline Test Intermediate CA\""), nullptr) << why;
    // Trusting the intermediate itself is not trusting a root.
    EXPECT_EQ(leaf.Check("localhost", PathOf("intermediate.pem")), CertificateIssuerMissing);
}

TEST_F(CertificateCheck, DatesAndUsageStillCountUnderTheTrustedCa)
{
    ServerChain expired("expired.pem");
    EXPECT_EQ(expired.Check("localhost", PathOf("ca.pem")), CertificateNotTrusted);
    EXPECT_EQ(expired.Check("127.0.12.1", PathOf("ca.pem")), CertificateNotTrusted);
    ServerChain clientOnly("client-only.pem");
    EXPECT_EQ(clientOnly.Check("localhost", PathOf("ca.pem")), CertificateNotTrusted);
}

TEST_F(CertificateCheck, ATrustedCaFileThatCannotBeReadRefusesEveryServer)
{
    ServerChain server("server.pem");
    EXPECT_EQ(server.Check("localhost", PathOf("missing.pem")), CertificateCaUnreadable);
    EXPECT_EQ(server.Check("localhost", PathOf("ca.key")), CertificateCaUnreadable);   // no certificate in it
    std::string big = PathOf("big.pem");
    FILE *file = fopen(big.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    std::string padding(TRUSTED_CA_FILE_LIMIT, '#');
    fwrite(padding.data(), 1, padding.size(), file);
    FILE *ca = fopen(PathOf("ca.pem").c_str(), "rb");
    char text[4096];
    size_t length = fread(text, 1, sizeof text, ca);
    fclose(ca);
    fwrite(text, 1, length, file);
    fclose(file);
    EXPECT_EQ(server.Check("localhost", big), CertificateCaUnreadable);
    remove(big.c_str());
}

}  // namespace
