#include "fleet/http/CurlHttpClient.h"

#include "tests/support/LoopbackNamespace.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <mutex>

using vex::fleet::CurlHttpClient;
using vex::fleet::CurlSettings;
using vex::fleet::HttpRequest;
using vex::fleet::HttpResponse;

namespace
{
// What the server thread saw, read by the test after the exchange.
struct Seen
{
    std::mutex mutex;
    std::vector<std::string> heads;
    std::vector<std::string> bodies;

    void add(const std::string& head, const std::string& body)
    {
        std::lock_guard<std::mutex> lock(mutex);
        heads.push_back(head);
        bodies.push_back(body);
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return heads.size();
    }
};

// A server that answers every request with `answer`, raw (a few per connection at most).
LoopbackServer::Handler answering(Seen& seen, std::string answer)
{
    return [&seen, answer](LoopbackConnection& connection)
    {
        std::string head, body;
        for (int i = 0; i < 8 && connection.readRequest(head, body); ++i)
        {
            seen.add(head, body);
            connection.send(answer);
        }
    };
}

CurlSettings quickSettings()
{
    CurlSettings settings;
    settings.connectTimeoutSeconds = 5;
    settings.stallSeconds = 5;
    settings.requestTimeoutSeconds = 20;
    return settings;
}

// Everything one exchange showed the caller, in the order it happened.
struct Trace
{
    int checks = 0;
    size_t bodyBytesAtCheck = 0;
    std::string sunk;
    HttpResponse atCheck;
};

HttpResponse sendTraced(CurlHttpClient& client, const HttpRequest& request, Trace& trace, bool accept = true,
                        size_t sinkLimit = size_t(-1))
{
    return client.send(
        request,
        [&](const HttpResponse& answer)
        {
            ++trace.checks;
            trace.bodyBytesAtCheck = trace.sunk.size();
            trace.atCheck = answer;
            return accept;
        },
        [&](const uint8_t* bytes, size_t length)
        {
            trace.sunk.append(reinterpret_cast<const char*>(bytes), length);
            return trace.sunk.size() <= sinkLimit;
        });
}

class CurlHttpClientTest : public testing::Test
{
protected:
    void SetUp() override { VEX_REQUIRE_LOOPBACK_NAMESPACE(); }

    HttpRequest get(const LoopbackServer& server, const std::string& path = "/file")
    {
        HttpRequest request;
        request.url = server.url(path);
        return request;
    }
};

TEST_F(CurlHttpClientTest, FinalHeadersReachTheCheckBeforeAnyBodyByte)
{
    Seen seen;
    LoopbackServer server(answering(seen,
                                    "HTTP/1.1 200 OK\r\nETag:  \"v1\" \r\nX-Mixed-Case: A b\r\n"
                                    "Content-Length: 5\r\n\r\nhello"));
    CurlHttpClient client(quickSettings());
    HttpRequest request = get(server);
    request.headers = {{"If-None-Match", "\"v0\""}, {"Range", "bytes=0-"}};
    Trace trace;
    const HttpResponse response = sendTraced(client, request, trace);

    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(trace.checks, 1);
    EXPECT_EQ(trace.bodyBytesAtCheck, 0u);
    EXPECT_EQ(trace.atCheck.status, 200);
    ASSERT_NE(trace.atCheck.header("etag"), nullptr);
    EXPECT_EQ(*trace.atCheck.header("etag"), "\"v1\"");
    ASSERT_NE(response.header("x-mixed-case"), nullptr);
    EXPECT_EQ(*response.header("x-mixed-case"), "A b");
    EXPECT_EQ(trace.sunk, "hello");
    EXPECT_EQ(response.body, "") << "a sink takes the body";

    ASSERT_EQ(seen.count(), 1u);
    const std::string& head = seen.heads[0];
    EXPECT_EQ(head.rfind("GET /file HTTP/1.1\r\n", 0), 0u) << head;
    EXPECT_EQ(LoopbackConnection::headerValue(head, "if-none-match"), "\"v0\"");
    EXPECT_EQ(LoopbackConnection::headerValue(head, "range"), "bytes=0-");
    EXPECT_EQ(LoopbackConnection::headerValue(head, "user-agent"), CurlHttpClient::defaultUserAgent());
    EXPECT_EQ(CurlHttpClient::defaultUserAgent().rfind("vex-pkg-fetch/", 0), 0u);
    EXPECT_EQ(LoopbackConnection::headerValue(head, "accept-encoding"), "") << "bytes must arrive as stored";
}

TEST_F(CurlHttpClientTest, AnswerWithoutBodyIsCheckedOnceAtItsEnd)
{
    Seen seen;
    LoopbackServer server(answering(seen, "HTTP/1.1 304 Not Modified\r\nETag: \"v1\"\r\n\r\n"));
    CurlHttpClient client(quickSettings());
    for (int round = 0; round < 2; ++round)  // the second exchange reuses the handle
    {
        Trace trace;
        const HttpResponse response = sendTraced(client, get(server), trace);
        EXPECT_EQ(response.error, "");
        EXPECT_EQ(response.status, 304);
        EXPECT_EQ(trace.checks, 1);
        EXPECT_EQ(trace.atCheck.status, 304);
        EXPECT_EQ(trace.sunk, "");
    }
}

TEST_F(CurlHttpClientTest, RefusedHeadersOrSinkEndTheExchangeAsAnError)
{
    Seen seen;
    LoopbackServer server(
        answering(seen, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + std::string(100000, 'x')));
    CurlHttpClient client(quickSettings());

    Trace refused;
    HttpResponse response = sendTraced(client, get(server), refused, /*accept=*/false);
    EXPECT_EQ(refused.checks, 1);
    EXPECT_EQ(refused.sunk, "") << "no body byte after a refused check";
    EXPECT_NE(response.error.find("aborted"), std::string::npos) << response.error;

    Trace cut;
    response = sendTraced(client, get(server), cut, true, /*sinkLimit=*/10);
    EXPECT_NE(response.error.find("aborted by the caller in the body"), std::string::npos) << response.error;
    EXPECT_LT(cut.sunk.size(), 100000u);
}

TEST_F(CurlHttpClientTest, CollectedBodyIsBoundedByTheRequest)
{
    Seen seen;
    LoopbackServer server(answering(seen, "HTTP/1.1 200 OK\r\nContent-Length: 11\r\n\r\nhello world"));
    CurlHttpClient client(quickSettings());
    HttpRequest request = get(server);
    request.largestBody = 11;
    HttpResponse response = client.send(request);
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.body, "hello world");

    request.largestBody = 10;
    response = client.send(request);
    EXPECT_EQ(response.error, "answer longer than 10 bytes");
    EXPECT_LE(response.body.size(), 10u);
}

TEST_F(CurlHttpClientTest, StalledTransferIsCutByTheStallLimit)
{
    LoopbackServer server(
        [](LoopbackConnection& connection)
        {
            std::string head, body;
            if (connection.readRequest(head, body))
            {
                connection.send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n" + std::string(500, 's'));
                connection.waitForClose(10000);
            }
        });
    CurlSettings settings = quickSettings();
    settings.stallSeconds = 2;
    settings.requestTimeoutSeconds = 30;
    CurlHttpClient client(settings);
    Trace trace;
    const HttpResponse response = sendTraced(client, get(server), trace);
    EXPECT_EQ(response.error, "nothing moved for 2 seconds");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(trace.sunk.size(), 500u);
}

TEST_F(CurlHttpClientTest, RefusedConnectionAndCutBodyAreErrors)
{
    uint16_t closedPort;
    {
        LoopbackServer gone([](LoopbackConnection&) {});
        closedPort = gone.port();
    }
    CurlHttpClient client(quickSettings());
    HttpRequest request;
    request.url = "http://127.0.0.1:" + std::to_string(closedPort) + "/file";
    HttpResponse response = client.send(request);
    EXPECT_EQ(response.status, 0);
    EXPECT_NE(response.error.find("Connection refused"), std::string::npos) << response.error;

    Seen seen;
    LoopbackServer server(
        [&seen](LoopbackConnection& connection)
        {
            std::string head, body;
            if (connection.readRequest(head, body))
                connection.send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n" + std::string(50, 'c'));
            // and the connection closes
        });
    Trace trace;
    response = sendTraced(client, get(server), trace);
    EXPECT_NE(response.error, "") << "a short body is never a complete answer";
    EXPECT_EQ(response.error.find('\n'), std::string::npos);
    EXPECT_EQ(trace.sunk.size(), 50u);
}

TEST_F(CurlHttpClientTest, InterimAnswerIsDiscardedAndRedirectIsNotFollowed)
{
    Seen seen;
    LoopbackServer interim(answering(seen,
                                     "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
                                     "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    CurlHttpClient client(quickSettings());
    Trace trace;
    HttpResponse response = sendTraced(client, get(interim), trace);
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(trace.checks, 1);
    EXPECT_EQ(response.header("x-interim"), nullptr);
    EXPECT_EQ(trace.sunk, "ok");

    Seen redirected;
    LoopbackServer redirect(answering(redirected,
                                      "HTTP/1.1 302 Found\r\nLocation: /elsewhere\r\n"
                                      "Content-Length: 0\r\n\r\n"));
    response = client.send(get(redirect));
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.status, 302);
    ASSERT_NE(response.header("location"), nullptr);
    EXPECT_EQ(redirected.count(), 1u);
}

TEST_F(CurlHttpClientTest, PutSendsTheBodyWithTheCallersContentType)
{
    Seen seen;
    LoopbackServer server(answering(seen, "HTTP/1.1 201 Created\r\nContent-Length: 0\r\n\r\n"));
    CurlHttpClient client(quickSettings());
    HttpRequest request = get(server, "/reports/SN-1/1.2.0.json");
    request.method = HttpRequest::Method::kPut;
    request.body = "{\"state\":\"success\"}" + std::string(3000, ' ');
    request.headers = {{"Content-Type", "application/json"}};
    const HttpResponse response = client.send(request);
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.status, 201);
    ASSERT_EQ(seen.count(), 1u);
    EXPECT_EQ(seen.heads[0].rfind("PUT /reports/SN-1/1.2.0.json HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(LoopbackConnection::headerValue(seen.heads[0], "content-type"), "application/json");
    EXPECT_EQ(LoopbackConnection::headerValue(seen.heads[0], "expect"), "");
    EXPECT_EQ(seen.bodies[0], request.body);
}

TEST_F(CurlHttpClientTest, PostSendsTheBodyAndReadsTheAnswer)
{
    Seen seen;
    LoopbackServer server(answering(seen, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
    CurlHttpClient client(quickSettings());
    HttpRequest request = get(server, "/t/controller/v1/SN-1/deploymentBase/7/feedback");
    request.method = HttpRequest::Method::kPost;
    request.body = "{\"id\":\"7\"}" + std::string(5000, ' ');
    request.headers = {{"Content-Type", "application/json"}};
    const HttpResponse response = client.send(request);
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, "ok");
    ASSERT_EQ(seen.count(), 1u);
    EXPECT_EQ(seen.heads[0].rfind("POST /t/controller/v1/SN-1/deploymentBase/7/feedback HTTP/1.1\r\n", 0),
              0u);
    EXPECT_EQ(LoopbackConnection::headerValue(seen.heads[0], "expect"), "");
    EXPECT_EQ(seen.bodies[0], request.body);
}

TEST_F(CurlHttpClientTest, OversizedOrMalformedExchangesAreRefused)
{
    std::string manyFields = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 101; ++i) manyFields += "X-F" + std::to_string(i) + ": v\r\n";
    Seen seen;
    LoopbackServer many(answering(seen, manyFields + "Content-Length: 0\r\n\r\n"));
    CurlHttpClient client(quickSettings());
    Trace trace;
    HttpResponse response = sendTraced(client, get(many), trace);
    EXPECT_NE(response.error.find("more than 100 header fields"), std::string::npos) << response.error;
    EXPECT_EQ(trace.checks, 0);

    std::string bigFields = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; i < 20; ++i)
        bigFields += "X-Big" + std::to_string(i) + ": " + std::string(4000, 'b') + "\r\n";
    LoopbackServer big(answering(seen, bigFields + "Content-Length: 0\r\n\r\n"));
    response = client.send(get(big));
    EXPECT_NE(response.error.find("header block larger"), std::string::npos) << response.error;

    // Request fields that would smuggle a line of their own, and schemes other than http and https, never
    // reach the network.
    HttpRequest smuggling = get(many);
    smuggling.headers = {{"Range", "bytes=0-\r\nX-Evil: 1"}};
    const size_t before = seen.count();
    response = client.send(smuggling);
    EXPECT_NE(response.error, "");
    EXPECT_EQ(seen.count(), before);
    for (const char* url : {"file:///etc/hostname", "ftp://127.0.0.1/file", "dict://127.0.0.1/"})
    {
        HttpRequest other;
        other.url = url;
        response = client.send(other);
        EXPECT_NE(response.error.find("Protocol"), std::string::npos) << url << ": " << response.error;
        EXPECT_EQ(response.status, 0) << url;
    }
}

TEST_F(CurlHttpClientTest, ProxyOnlyWhenConfiguredNeverFromTheEnvironment)
{
    Seen proxied;
    LoopbackServer proxy(answering(proxied, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nproxy"));
    Seen direct;
    LoopbackServer server(answering(direct, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\norigin"));
    const std::string proxyUrl = proxy.url("");
    ::setenv("http_proxy", proxyUrl.c_str(), 1);
    ::setenv("HTTP_PROXY", proxyUrl.c_str(), 1);
    ::setenv("ALL_PROXY", proxyUrl.c_str(), 1);
    CurlHttpClient client(quickSettings());
    const HttpResponse response = client.send(get(server));
    ::unsetenv("http_proxy");
    ::unsetenv("HTTP_PROXY");
    ::unsetenv("ALL_PROXY");
    EXPECT_EQ(response.body, "origin");
    EXPECT_EQ(proxied.count(), 0u);

    CurlSettings configured = quickSettings();
    configured.proxy = proxyUrl;
    const HttpRequest request = get(server);
    EXPECT_EQ(CurlHttpClient(configured).send(request).body, "proxy");
    ASSERT_EQ(proxied.count(), 1u);
    EXPECT_EQ(proxied.heads[0].rfind("GET " + request.url + " HTTP/1.1\r\n", 0), 0u) << proxied.heads[0];
}

// TLS: a certificate authority made for the test, and server certificates it signs.
struct Pkey
{
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free
{
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct CtxFree
{
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Pkey>;
using CertPtr = std::unique_ptr<X509, X509Free>;
using CtxPtr = std::unique_ptr<SSL_CTX, CtxFree>;

KeyPtr newKey()
{
    return KeyPtr(EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256"));
}

// A certificate for `key`, signed by `issuerKey` (and named after `issuer`, or itself when null).
CertPtr certify(EVP_PKEY* key, const char* commonName, const char* altName, X509* issuer, EVP_PKEY* issuerKey)
{
    CertPtr certificate(X509_new());
    X509* c = certificate.get();
    X509_set_version(c, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(c), issuer == nullptr ? 1 : 2);
    X509_gmtime_adj(X509_getm_notBefore(c), -3600);
    X509_gmtime_adj(X509_getm_notAfter(c), 3600);
    X509_set_pubkey(c, key);
    X509_NAME* name = X509_get_subject_name(c);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName),
                               -1, -1, 0);
    X509_set_issuer_name(c, issuer == nullptr ? name : X509_get_subject_name(issuer));
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer == nullptr ? c : issuer, c, nullptr, nullptr, 0);
    auto extend = [&](int nid, const char* value)
    {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
        X509_add_ext(c, extension, -1);
        X509_EXTENSION_free(extension);
    };
    if (issuer == nullptr)
    {
        extend(NID_basic_constraints, "critical,CA:TRUE");
        extend(NID_key_usage, "critical,keyCertSign");
    }
    else
        extend(NID_subject_alt_name, altName);
    X509_sign(c, issuerKey, EVP_sha256());
    return certificate;
}

// "sha256//BASE64" of a key's SubjectPublicKeyInfo, as pinned keys are written.
std::string pinOf(EVP_PKEY* key)
{
    unsigned char* der = nullptr;
    const int length = i2d_PUBKEY(key, &der);
    unsigned char digest[32];
    unsigned int digestLength = 0;
    EVP_Digest(der, size_t(length), digest, &digestLength, EVP_sha256(), nullptr);
    OPENSSL_free(der);
    unsigned char text[64] = {};
    EVP_EncodeBlock(text, digest, int(digestLength));
    return "sha256//" + std::string(reinterpret_cast<char*>(text));
}

class CurlHttpsTest : public CurlHttpClientTest
{
protected:
    void SetUp() override
    {
        CurlHttpClientTest::SetUp();
        if (IsSkipped())
            return;
        caKey = newKey();
        ca = certify(caKey.get(), "Test CA", nullptr, nullptr, caKey.get());
        serverKey = newKey();
        caFile = dir / "ca.pem";
        FILE* file = std::fopen(caFile.c_str(), "w");
        ASSERT_NE(file, nullptr);
        PEM_write_X509(file, ca.get());
        std::fclose(file);
    }

    CtxPtr serverContext(const char* altName)
    {
        CtxPtr context(SSL_CTX_new(TLS_server_method()));
        leaf = certify(serverKey.get(), "server", altName, ca.get(), caKey.get());
        SSL_CTX_use_certificate(context.get(), leaf.get());
        SSL_CTX_use_PrivateKey(context.get(), serverKey.get());
        return context;
    }

    TempDir dir;
    KeyPtr caKey, serverKey;
    CertPtr ca, leaf;
    std::string caFile;
};

TEST_F(CurlHttpsTest, CertificateIsVerifiedAgainstTheConfiguredAuthority)
{
    CtxPtr context = serverContext("IP:127.0.0.1");
    Seen seen;
    LoopbackServer server(answering(seen, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret"),
                          context.get());

    CurlHttpClient systemStore(quickSettings());
    HttpResponse response = systemStore.send(get(server));
    EXPECT_EQ(response.status, 0);
    EXPECT_NE(response.error, "") << "a certificate no trusted authority signed";
    EXPECT_EQ(response.body, "");

    CurlSettings settings = quickSettings();
    settings.caFile = caFile;
    CurlHttpClient trusting(settings);
    response = trusting.send(get(server));
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.body, "secret");
    EXPECT_EQ(seen.count(), 1u);
}

TEST_F(CurlHttpsTest, CertificateForAnotherNameIsRefused)
{
    CtxPtr context = serverContext("DNS:updates.example.invalid");
    Seen seen;
    LoopbackServer server(answering(seen, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret"),
                          context.get());
    CurlSettings settings = quickSettings();
    settings.caFile = caFile;
    CurlHttpClient client(settings);
    const HttpResponse response = client.send(get(server));
    EXPECT_NE(response.error, "");
    EXPECT_EQ(seen.count(), 0u);
}

TEST_F(CurlHttpsTest, PinnedKeyMustMatchTheServers)
{
    CtxPtr context = serverContext("IP:127.0.0.1");
    Seen seen;
    LoopbackServer server(answering(seen, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret"),
                          context.get());
    CurlSettings settings = quickSettings();
    settings.caFile = caFile;

    KeyPtr otherKey = newKey();
    settings.pinnedKey = pinOf(otherKey.get());
    HttpResponse response = CurlHttpClient(settings).send(get(server));
    EXPECT_NE(response.error, "");
    EXPECT_EQ(response.body, "");
    EXPECT_EQ(seen.count(), 0u);

    settings.pinnedKey = pinOf(serverKey.get());
    response = CurlHttpClient(settings).send(get(server));
    EXPECT_EQ(response.error, "");
    EXPECT_EQ(response.body, "secret");
}

}  // namespace
