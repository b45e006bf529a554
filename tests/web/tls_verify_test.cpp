// The engine's own TLS connections (the HTTP/2 wave's) must take exactly the certificates
// libcurl takes. Each case's certificates are made here, served on loopback, and put to both:
// a libcurl transfer set up as the tool sets up its own, and the connect the wave uses.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <stdlib.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "loopback_server.h"
#include "temp_folder.h"
#include "web/tls_client.h"
#include "web/transfer.h"

namespace vellicor::web {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

struct Names {
    std::vector<std::string> common;  // in subject order
    std::string alt;                  // subjectAltName as openssl writes it; empty for none
};

struct Issued {
    Key key{nullptr, EVP_PKEY_free};
    Cert cert{nullptr, X509_free};
};

// A certificate for `names`, signed by `issuer` (itself when null), valid from `fromDays`
// to `toDays` around now.
Issued issue(const Names& names, const Issued* issuer, bool authority, int fromDays = -1,
             int toDays = 30) {
    static long serial = 1;
    Issued out;
    out.key.reset(EVP_EC_gen("P-256"));
    out.cert.reset(X509_new());
    X509* x = out.cert.get();
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), serial++);
    X509_gmtime_adj(X509_getm_notBefore(x), 86400L * fromDays);
    X509_gmtime_adj(X509_getm_notAfter(x), 86400L * toDays);
    X509_set_pubkey(x, out.key.get());
    X509_NAME* subject = X509_get_subject_name(x);
    X509_NAME_add_entry_by_txt(subject, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("Vellicor tests"), -1, -1, 0);
    for (const std::string& cn : names.common) {
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
    }
    X509* signer = issuer != nullptr ? issuer->cert.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(signer));
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, signer, x, nullptr, nullptr, 0);
    auto add = [&](int nid, const std::string& value) {
        X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
        ASSERT_NE(e, nullptr) << value;
        X509_add_ext(x, e, -1);
        X509_EXTENSION_free(e);
    };
    add(NID_basic_constraints, authority ? "critical,CA:TRUE" : "CA:FALSE");
    if (!names.alt.empty()) {
        add(NID_subject_alt_name, names.alt);
    }
    X509_sign(x, issuer != nullptr ? issuer->key.get() : out.key.get(), EVP_sha256());
    return out;
}

void writePem(const std::string& path, const std::vector<const Issued*>& certs,
              const Issued* key = nullptr) {
    FILE* f = std::fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    for (const Issued* c : certs) {
        PEM_write_X509(f, c->cert.get());
    }
    if (key != nullptr) {
        PEM_write_PrivateKey(f, key->key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    }
    std::fclose(f);
}

// Answers one HTTP/1.1 request on each connection whose handshake went through.
void answer(test::LoopbackServer& server, int fd) {
    SSL* ssl = nullptr;
    if (!server.handshake(fd, ssl)) {
        return;
    }
    std::string got;
    char block[4096];
    long n = 0;
    while (got.find("\r\n\r\n") == std::string::npos &&
           (n = test::readSome(fd, ssl, block, sizeof block)) > 0) {
        got.append(block, static_cast<std::size_t>(n));
    }
    if (!got.empty()) {
        test::sendAll(fd, ssl, "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    }
    SSL_shutdown(ssl);
    SSL_free(ssl);
}

struct Verdict {
    bool accepted = false;
    std::string why;
};

// A transfer as the tool makes one; names other than localhost are pointed at 127.0.0.1 the
// way CURLOPT_RESOLVE does it.
Verdict curlVerdict(const std::string& host, int port, const std::string& caFile) {
    ensureCurlReady();
    CURL* easy = curl_easy_init();
    HttpSettings settings;
    settings.caFile = caFile;
    applyConnectionSettings(easy, settings, "");
    const std::string url = "https://" + host + ":" + std::to_string(port) + "/";
    curl_slist* resolve = nullptr;
    if (host != "localhost") {
        resolve =
            curl_slist_append(resolve, (host + ":" + std::to_string(port) + ":127.0.0.1").c_str());
    }
    char error[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_RESOLVE, resolve);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, 15000L);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error);
    const CURLcode rc = curl_easy_perform(easy);
    curl_easy_cleanup(easy);
    curl_slist_free_all(resolve);
    return {rc == CURLE_OK,
            rc == CURLE_OK ? "" : std::string(curl_easy_strerror(rc)) + ": " + error};
}

// The connect the HTTP/2 wave makes, to the run's resolved address.
Verdict ownVerdict(const std::string& host, int port, const std::string& caFile) {
    SocketTarget target;
    target.host = host;
    target.port = port;
    target.numeric = {"127.0.0.1"};
    target.alpn = {"http/1.1"};
    target.caFile = caFile;
    auto socket = ClientSocket::open(target);
    if (!socket) {
        return {false, socket.error().message};
    }
    ClientSocket& s = **socket;
    // Bounded only so that a broken handshake fails the test instead of hanging it.
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    s.advance();
    while ((s.state() == ClientSocket::State::Connecting ||
            s.state() == ClientSocket::State::Handshaking) &&
           std::chrono::steady_clock::now() < giveUp) {
        pollfd p{s.fd(), s.events(false), 0};
        ::poll(&p, 1, 100);
        s.advance();
    }
    return {s.state() == ClientSocket::State::Open, s.error().message};
}

enum class Chain { Root, Intermediate, LeafOnly, Stranger, SelfSigned };
enum class Trust { Root, IntermediateOnly, TheLeafItself, SystemWithEnvironment };

struct Case {
    const char* what;
    Names names;
    std::string host;
    bool accepted;  // libcurl's verdict, seen with this machine's libcurl 7.88 / OpenSSL 3
    Chain chain = Chain::Root;
    Trust trust = Trust::Root;
    bool expired = false;
};

class TlsVerifyTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // A client that refuses the certificate leaves while the server still writes.
        std::signal(SIGPIPE, SIG_IGN);
        ASSERT_FALSE(dir_.empty()) << "no folder for the test";
        root_ = issue({{"Vellicor verify root"}, ""}, nullptr, true, -1, 3650);
        intermediate_ = issue({{"Vellicor verify intermediate"}, ""}, &root_, true, -1, 3650);
        stranger_ = issue({{"Vellicor verify root"}, ""}, nullptr, true, -1, 3650);
        writePem(dir_ + "/root.pem", {&root_});
        writePem(dir_ + "/intermediate.pem", {&intermediate_});
        std::filesystem::create_directory(dir_ + "/empty");
    }

    // Serves the case's certificate and asks both sides.
    void check(const Case& c) {
        SCOPED_TRACE(c.what);
        const Issued* signer = c.chain == Chain::SelfSigned ? nullptr
                               : c.chain == Chain::Stranger ? &stranger_
                               : c.chain == Chain::Root     ? &root_
                                                            : &intermediate_;
        const Issued leaf =
            issue(c.names, signer, false, c.expired ? -10 : -1, c.expired ? -1 : 30);
        std::vector<const Issued*> served = {&leaf};
        if (c.chain == Chain::Intermediate) {
            served.push_back(&intermediate_);
        }
        writePem(dir_ + "/chain.pem", served);
        writePem(dir_ + "/key.pem", {}, &leaf);
        test::LoopbackServer server(dir_ + "/chain.pem", dir_ + "/key.pem");
        server.start([&server](int fd) { answer(server, fd); });
        std::string caFile;
        if (c.trust == Trust::Root) {
            caFile = dir_ + "/root.pem";
        } else if (c.trust == Trust::IntermediateOnly) {
            caFile = dir_ + "/intermediate.pem";
        } else if (c.trust == Trust::TheLeafItself) {
            caFile = dir_ + "/chain.pem";
        }
        const Verdict curl = curlVerdict(c.host, server.port(), caFile);
        const Verdict own = ownVerdict(c.host, server.port(), caFile);
        server.stop();
        EXPECT_EQ(curl.accepted, c.accepted) << "libcurl: " << curl.why;
        EXPECT_EQ(own.accepted, curl.accepted) << "ours: " << own.why << "\nlibcurl: " << curl.why;
        if (!own.accepted) {
            EXPECT_NE(own.why.find("secure connection failed"), std::string::npos) << own.why;
        }
    }

    test::TempFolder folder_{"vellicor-tls"};
    const std::string dir_ = folder_.path();
    Issued root_;
    Issued intermediate_;
    Issued stranger_;
};

TEST_F(TlsVerifyTest, TheVerdictOfLibcurlForEveryCertificate) {
    const Case cases[] = {
        {"a DNS name of the certificate", {{"x"}, "DNS:localhost"}, "localhost", true},
        {"a name the certificate lacks", {{"localhost"}, "DNS:other.test"}, "localhost", false},
        {"expired", {{"x"}, "DNS:localhost"}, "localhost", false, Chain::Root, Trust::Root, true},
        {"an unknown authority", {{"x"}, "DNS:localhost"}, "localhost", false, Chain::Stranger},
        {"an IP address of the certificate", {{"x"}, "IP:127.0.0.1"}, "127.0.0.1", true},
        {"a DNS name asked by address", {{"127.0.0.1"}, "DNS:localhost"}, "127.0.0.1", false},
        {"names in another case", {{"x"}, "DNS:Mall.Test"}, "mALL.tEST", true},
        {"a wildcard", {{"x"}, "DNS:*.mall.test"}, "shop.mall.test", true},
        {"a wildcard two labels up", {{"x"}, "DNS:*.mall.test"}, "a.shop.mall.test", false},
        {"a wildcard over a top-level name", {{"x"}, "DNS:*.test"}, "mall.test", false},
        {"a partial wildcard", {{"x"}, "DNS:s*.mall.test"}, "shop.mall.test", false},
        {"a trailing dot on the host", {{"x"}, "DNS:mall.test"}, "mall.test.", true},
        {"a trailing dot in the certificate", {{"x"}, "DNS:mall.test."}, "mall.test", true},
        // The faults seen against curl on the same CA file:
        {"an IP address alone beside CN=localhost",
         {{"localhost"}, "IP:127.0.0.1"},
         "localhost",
         false},
        {"two common names, the host first", {{"localhost", "other.test"}, ""}, "localhost", false},
        {"two common names, the host last", {{"other.test", "localhost"}, ""}, "localhost", true},
        {"an IP address as the only common name", {{"127.0.0.1"}, ""}, "127.0.0.1", true},
        {"a file holding only the intermediate",
         {{"x"}, "DNS:localhost"},
         "localhost",
         true,
         Chain::Intermediate,
         Trust::IntermediateOnly},
        {"the root trusted, the intermediate served",
         {{"x"}, "DNS:localhost"},
         "localhost",
         true,
         Chain::Intermediate},
        // The name is checked however short the chain: a trusted certificate is no pass.
        {"a self-signed certificate trusted itself",
         {{"x"}, "DNS:localhost"},
         "localhost",
         true,
         Chain::SelfSigned,
         Trust::TheLeafItself},
        {"a self-signed certificate trusted itself, another name",
         {{"x"}, "DNS:other.test"},
         "localhost",
         false,
         Chain::SelfSigned,
         Trust::TheLeafItself},
        {"the root trusted, the intermediate not served",
         {{"x"}, "DNS:localhost"},
         "localhost",
         false,
         Chain::LeafOnly},
    };
    for (const Case& c : cases) {
        check(c);
    }
}

// Without a CA file both read libcurl's built-in store. OpenSSL's own defaults would follow
// SSL_CERT_FILE and SSL_CERT_DIR; libcurl's do not, so a root named there is trusted by
// neither.
TEST_F(TlsVerifyTest, WithoutACaFileTheStoreBuiltIntoLibcurl) {
    ::setenv("SSL_CERT_FILE", (dir_ + "/root.pem").c_str(), 1);
    ::setenv("SSL_CERT_DIR", (dir_ + "/empty").c_str(), 1);
    check({"a root named by SSL_CERT_FILE",
           {{"x"}, "DNS:localhost"},
           "localhost",
           false,
           Chain::Root,
           Trust::SystemWithEnvironment});
    ::unsetenv("SSL_CERT_FILE");
    ::unsetenv("SSL_CERT_DIR");
}

}  // namespace
}  // namespace vellicor::web
