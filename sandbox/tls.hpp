// The sandbox's own certificate authority and server certificate.
#pragma once

#include <filesystem>

namespace zorv_sandbox {

struct TlsFiles {
    std::filesystem::path ca_certificate;      // PEM; what clients trust (CURL_CA_BUNDLE, GIT_SSL_CAINFO)
    std::filesystem::path server_certificate;  // PEM; for 127.0.0.1 and localhost
    std::filesystem::path server_key;          // PEM
};

// Creates a CA and a server certificate signed by it in `dir` (EC P-256, subjectAltName
// IP:127.0.0.1, DNS:localhost), or keeps the ones already there. Throws std::runtime_error.
TlsFiles ensure_certificates(const std::filesystem::path& dir);

}  // namespace zorv_sandbox
