// The transport under the request layer: one try of a request in, one answer out. The libcurl
// transport pools easy handles so that connections, TLS sessions and DNS answers are reused across
// calls and threads; no request waits on another. Retries are the request layer's (retry_policy.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zorv_git_gitlab/settings.hpp"

namespace zorv_git_gitlab::rest {

enum class Method { get, post, put, del };
std::string_view method_name(Method method) noexcept;

// Produces a request body while it is sent: fills the buffer and returns the number of bytes written,
// 0 at the end, or kAbortBody to end the transfer (the request then fails with a TransportError, which
// the source's owner may replace by the failure that made it stop).
using BodySource = std::function<std::size_t(char*, std::size_t)>;
inline constexpr std::size_t kAbortBody = static_cast<std::size_t>(-1);

struct HttpRequest {
    Method method = Method::get;
    std::string url;
    std::vector<std::string> headers;  // "Name: value"
    std::string body;                  // sent as is (with a Content-Type header from the caller)
    // When set, the body is produced while it is sent, with chunked transfer encoding.
    BodySource body_source;
    // 1 for the first try of a request, 2 for its first retry, and so on.
    int attempt = 1;
};

struct HttpResponse {
    long status = 0;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received, last answer only

    // The value of the first header of that name (case-insensitive), if any.
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
    // The same when it is a whole number (digits only; beyond 18 digits it reads as 10^18 - 1).
    [[nodiscard]] std::optional<std::int64_t> number_header(std::string_view name) const;
};

// Sends requests. Implementations are shared between threads.
class Transport {
public:
    virtual ~Transport() = default;
    // Sends the request once and returns the server's answer, whatever its status. Raises
    // TransportError subclasses when no complete answer arrives (ConnectionDroppedError when the
    // connection closed before the answer was complete); messages name the method and URL (which
    // never hold a token). A request without a Content-Type header goes out without one.
    virtual HttpResponse send(const HttpRequest& request, const Settings& settings) = 0;
};

// The libcurl transport. A POST, PUT or DELETE reaches the server at most once per send: libcurl's own
// resend on a reused connection is allowed only when no byte of the request was written.
Transport& curl_transport();

// The CA bundle requests use: CURL_CA_BUNDLE, REQUESTS_CA_BUNDLE or SSL_CERT_FILE (first set), else
// none (the system default).
std::optional<std::string> ca_bundle_from_environment();

}  // namespace zorv_git_gitlab::rest
