// Certificates made with the OpenSSL API: no external program needed at start-up.
#include "tls.hpp"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>

namespace zorv_sandbox {

namespace {

namespace fs = std::filesystem;

struct KeyFree {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
struct CertFree {
    void operator()(X509* p) const { X509_free(p); }
};
struct ExtFree {
    void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
};
struct FileClose {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Cert = std::unique_ptr<X509, CertFree>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("certificate creation failed: ") + what);
}

Key new_key() {
    Key key(EVP_EC_gen("P-256"));
    check(key != nullptr, "EC key");
    return key;
}

void add_ext(X509* cert, X509* issuer, int nid, const char* value) {
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, ExtFree> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    check(ext != nullptr, value);
    check(X509_add_ext(cert, ext.get(), -1) == 1, "add extension");
}

Cert new_cert(EVP_PKEY* key, const char* common_name, long serial, X509* issuer, EVP_PKEY* issuer_key) {
    Cert cert(X509_new());
    check(cert != nullptr, "X509_new");
    check(X509_set_version(cert.get(), 2) == 1, "version");
    check(ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial) == 1, "serial");
    check(X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr, "notBefore");
    check(X509_gmtime_adj(X509_getm_notAfter(cert.get()), 60L * 60 * 24 * 3650) != nullptr, "notAfter");
    check(X509_set_pubkey(cert.get(), key) == 1, "pubkey");
    X509_NAME* name = X509_get_subject_name(cert.get());
    check(X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>("zorv-gitlab-sandbox"), -1, -1, 0) == 1,
          "O");
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(common_name),
                                     -1, -1, 0) == 1,
          "CN");
    X509* signer = issuer != nullptr ? issuer : cert.get();
    check(X509_set_issuer_name(cert.get(), X509_get_subject_name(signer)) == 1, "issuer");
    if (issuer == nullptr) {
        add_ext(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        add_ext(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        add_ext(cert.get(), signer, NID_subject_key_identifier, "hash");
    } else {
        add_ext(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        add_ext(cert.get(), signer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
        add_ext(cert.get(), signer, NID_ext_key_usage, "serverAuth");
        add_ext(cert.get(), signer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
        add_ext(cert.get(), signer, NID_subject_key_identifier, "hash");
        add_ext(cert.get(), signer, NID_authority_key_identifier, "keyid:always");
    }
    check(X509_sign(cert.get(), issuer_key, EVP_sha256()) > 0, "sign");
    return cert;
}

std::unique_ptr<std::FILE, FileClose> open_write(const fs::path& path) {
    std::unique_ptr<std::FILE, FileClose> f(std::fopen(path.c_str(), "wb"));
    check(f != nullptr, path.c_str());
    return f;
}

}  // namespace

TlsFiles ensure_certificates(const fs::path& dir) {
    TlsFiles files{dir / "ca.pem", dir / "server.pem", dir / "server-key.pem"};
    if (fs::exists(files.ca_certificate) && fs::exists(files.server_certificate) && fs::exists(files.server_key)) {
        return files;
    }
    fs::create_directories(dir);
    const Key ca_key = new_key();
    const Cert ca = new_cert(ca_key.get(), "zorv-gitlab-sandbox CA", 1, nullptr, ca_key.get());
    const Key server_key = new_key();
    const Cert server = new_cert(server_key.get(), "127.0.0.1", 2, ca.get(), ca_key.get());

    {
        auto f = open_write(files.ca_certificate);
        check(PEM_write_X509(f.get(), ca.get()) == 1, "write CA");
    }
    {
        auto f = open_write(files.server_certificate);
        check(PEM_write_X509(f.get(), server.get()) == 1, "write server certificate");
    }
    {
        fs::remove(files.server_key);
        auto f = open_write(files.server_key);
        fs::permissions(files.server_key, fs::perms::owner_read | fs::perms::owner_write);
        check(PEM_write_PrivateKey(f.get(), server_key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1,
              "write server key");
    }
    return files;
}

}  // namespace zorv_sandbox
