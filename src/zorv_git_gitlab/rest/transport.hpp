// HTTP over libcurl: one request in, one answer out. Easy handles are pooled so that connections,
// TLS sessions and DNS answers are reused across calls and threads; no request waits on another.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zorv_git_gitlab/context.hpp"

namespace zorv_git_gitlab::rest {

enum class Method { get, post, put, del };
std::string_view method_name(Method method) noexcept;

struct HttpRequest {
    Method method = Method::get;
    std::string url;
    std::vector<std::string> headers;  // "Name: value"
    std::string body;                  // sent as is (with a Content-Type header from the caller)
    // When set, the body is produced while it is sent: the function fills the buffer and returns the
    // number of bytes written, 0 at the end. The body is then sent with chunked transfer encoding.
    std::function<std::size_t(char*, std::size_t)> body_source;
};

struct HttpResponse {
    long status = 0;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // in the order received, last answer only

    // The value of the first header of that name (case-insensitive), if any.
    [[nodiscard]] std::optional<std::string> header(std::string_view name) const;
};

// Sends the request and returns the server's answer, whatever its status. GET requests are retried as
// Settings says. Raises TransportError subclasses when no complete answer arrives; messages name the
// method and URL (which never hold a token).
HttpResponse perform(const HttpRequest& request, const Settings& settings);

// The CA bundle requests use: CURL_CA_BUNDLE, REQUESTS_CA_BUNDLE or SSL_CERT_FILE (first set), else
// none (the system default).
std::optional<std::string> ca_bundle_from_environment();

}  // namespace zorv_git_gitlab::rest
