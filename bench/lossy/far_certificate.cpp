#include "far_certificate.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace vellicor::bench {
namespace {

struct Issued {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key{nullptr, EVP_PKEY_free};
    std::unique_ptr<X509, decltype(&X509_free)> cert{nullptr, X509_free};
};

bool addExtension(X509* x, X509V3_CTX& ctx, int nid, const char* value) {
    X509_EXTENSION* e = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
    const bool ok = e != nullptr && X509_add_ext(x, e, -1) == 1;
    X509_EXTENSION_free(e);
    return ok;
}

// EC keys: the receiver signs a handshake per connection, a hundred at once, on one thread.
bool issue(Issued& out, const char* name, const Issued* issuer, const std::string& altName) {
    out.key.reset(EVP_EC_gen("P-256"));
    out.cert.reset(X509_new());
    X509* x = out.cert.get();
    if (!out.key || x == nullptr) {
        return false;
    }
    X509_set_version(x, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(x), issuer == nullptr ? 1 : 2);
    X509_gmtime_adj(X509_getm_notBefore(x), -86400L);
    X509_gmtime_adj(X509_getm_notAfter(x), 30 * 86400L);
    X509_set_pubkey(x, out.key.get());
    X509_NAME_add_entry_by_txt(X509_get_subject_name(x), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name), -1, -1, 0);
    X509* signer = issuer != nullptr ? issuer->cert.get() : x;
    X509_set_issuer_name(x, X509_get_subject_name(signer));
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, signer, x, nullptr, nullptr, 0);
    const bool authority = issuer == nullptr;
    bool ok =
        addExtension(x, ctx, NID_basic_constraints, authority ? "critical,CA:TRUE" : "CA:FALSE");
    ok = ok &&
         addExtension(x, ctx, NID_key_usage,
                      authority ? "critical,keyCertSign,cRLSign" : "critical,digitalSignature");
    if (!authority) {
        ok = ok && addExtension(x, ctx, NID_ext_key_usage, "serverAuth") &&
             addExtension(x, ctx, NID_subject_alt_name, altName.c_str());
    }
    EVP_PKEY* signingKey = issuer != nullptr ? issuer->key.get() : out.key.get();
    return ok && X509_sign(x, signingKey, EVP_sha256()) > 0;
}

bool writeCertificate(const std::string& path, X509* cert) {
    FILE* f = std::fopen(path.c_str(), "w");
    const bool ok = f != nullptr && PEM_write_X509(f, cert) == 1;
    return (f == nullptr || std::fclose(f) == 0) && ok;
}

bool writeKey(const std::string& path, EVP_PKEY* key) {
    FILE* f = std::fopen(path.c_str(), "w");
    const bool ok =
        f != nullptr && PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    return (f == nullptr || std::fclose(f) == 0) && ok;
}

}  // namespace

Result<FarCertificate> makeCertificate(const std::string& ipAddress) {
    char folder[] = "/tmp/vellicor-bench-cert-XXXXXX";
    if (::mkdtemp(folder) == nullptr) {
        return makeError(ErrorCode::Io, "cannot make a folder for the certificate");
    }
    FarCertificate made{folder, std::string(folder) + "/ca.pem",
                        std::string(folder) + "/server.pem", std::string(folder) + "/server.key"};
    Issued authority;
    Issued server;
    const bool ok = issue(authority, "Vellicor bench CA", nullptr, {}) &&
                    issue(server, ipAddress.c_str(), &authority, "IP:" + ipAddress) &&
                    writeCertificate(made.authority, authority.cert.get()) &&
                    writeCertificate(made.certificate, server.cert.get()) &&
                    writeKey(made.key, server.key.get());
    if (!ok) {
        removeCertificate(made);
        return makeError(ErrorCode::Internal, "cannot issue a certificate for " + ipAddress);
    }
    return made;
}

void removeCertificate(const FarCertificate& made) {
    for (const std::string& file : {made.authority, made.certificate, made.key}) {
        ::unlink(file.c_str());
    }
    ::rmdir(made.folder.c_str());
}

}  // namespace vellicor::bench
