#include "tests/support/KEPTestTls.h"

#if KEP_WITH_TLS

#include <openssl/pem.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "connection/KEPMsgConnectionServicesUtils.h"
#include "tests/sockets/SocketTestSupport.h"
#include "tests/support/KEPTestMessaging.h"

namespace keptest {
namespace {

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertFree {
    void operator()(X509* cert) const { X509_free(cert); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

template <class T, class Reader>
T ReadPem(const std::string& path, Reader reader) {
    FILE* file = std::fopen(path.c_str(), "r");
    T value(file != nullptr ? reader(file, nullptr, nullptr, nullptr) : nullptr);
    if (file != nullptr) {
        std::fclose(file);
    }
    return value;
}

void AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    X509_add_ext(cert, extension, -1);
    X509_EXTENSION_free(extension);
}

// Writes name.pem and name.key: a certificate for key, signed by issuerKey (self-signed when
// issuer is null).
void Write(const std::string& base, const std::string& name, EVP_PKEY* key, X509* issuer,
           EVP_PKEY* issuerKey, bool ca, bool expired) {
    Cert cert(X509_new());
    X509_set_version(cert.get(), 2);
    static std::atomic<long> serial{1};
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    const long day = 24 * 3600;
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), expired ? -2 * day : -60);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), expired ? -day : 30 * day);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(cert.get()), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
    X509_set_issuer_name(cert.get(),
                         X509_get_subject_name(issuer != nullptr ? issuer : cert.get()));
    X509_set_pubkey(cert.get(), key);
    X509* signer = issuer != nullptr ? issuer : cert.get();
    AddExtension(cert.get(), signer, NID_basic_constraints, ca ? "critical,CA:TRUE" : "CA:FALSE");
    if (!ca) {
        AddExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
    }
    X509_sign(cert.get(), issuerKey != nullptr ? issuerKey : key, EVP_sha256());
    FILE* file = std::fopen((base + ".pem").c_str(), "w");
    PEM_write_X509(file, cert.get());
    std::fclose(file);
    file = std::fopen((base + ".key").c_str(), "w");
    PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(file);
}

}  // namespace

void TestPki::MakeCa(const std::string& name) {
    Key key(EVP_EC_gen("P-256"));
    Write(Path(name), name, key.get(), nullptr, nullptr, true, false);
}

void TestPki::MakeLeaf(const std::string& name, const std::string& ca, bool expired) {
    Key key(EVP_EC_gen("P-256"));
    Key caKey = ReadPem<Key>(Path(ca + ".key"), PEM_read_PrivateKey);
    Cert caCert = ReadPem<Cert>(Path(ca + ".pem"), PEM_read_X509);
    Write(Path(name), name, key.get(), caCert.get(), caKey.get(), false, expired);
}

KEPMsgTlsSettings TestPki::Settings(const std::string& leaf, const std::string& ca) const {
    KEPMsgTlsSettings settings;
    if (!leaf.empty()) {
        settings.m_certificateChainFile = KEPString(Path(leaf + ".pem").c_str());
        settings.m_privateKeyFile = KEPString(Path(leaf + ".key").c_str());
    }
    if (!ca.empty()) {
        settings.m_caFile = KEPString(Path(ca + ".pem").c_str());
    }
    return settings;
}

KEPMsgCommSocket* ConnectTlsWhilePumping(int port, const KEPMsgTlsSettings& settings,
                                         std::string& error) {
    std::atomic<bool> done{false};
    KEPMsgCommSocket* socket = nullptr;
    KEPString text;
    std::thread dialer([&] {
        socket = KEPMsgConnectionServicesUtils::Instance().ConnectToServer(
            LoopbackAddress(0), LoopbackAddress(port), 0, 1, settings, text);
        done.store(true);
    });
    PumpUntil([&] { return done.load(); });
    dialer.join();
    error = text.GetUTF8() != nullptr ? text.GetUTF8() : "";
    return socket;
}

}  // namespace keptest

#endif
