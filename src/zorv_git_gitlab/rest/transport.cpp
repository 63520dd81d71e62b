#include "rest/transport.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <mutex>

#include "rest/retry_policy.hpp"
#include "zorv_git_gitlab/errors.hpp"

namespace zorv_git_gitlab::rest {
namespace {

// Process-wide libcurl state, created on first use: the global init (done once, thread-safe through
// the static initialisation below), a share object for DNS answers and TLS sessions, and the pool of
// idle easy handles, each of which keeps its own live connections.
class CurlRuntime {
public:
    CurlRuntime() {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        share_ = curl_share_init();
        curl_share_setopt(share_, CURLSHOPT_LOCKFUNC, &CurlRuntime::lock);
        curl_share_setopt(share_, CURLSHOPT_UNLOCKFUNC, &CurlRuntime::unlock);
        curl_share_setopt(share_, CURLSHOPT_USERDATA, this);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
        curl_share_setopt(share_, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    }
    ~CurlRuntime() {
        idle_.clear();
        curl_share_cleanup(share_);
        curl_global_cleanup();
    }
    CurlRuntime(const CurlRuntime&) = delete;
    CurlRuntime& operator=(const CurlRuntime&) = delete;

    struct HandleDeleter {
        void operator()(CURL* handle) const noexcept { curl_easy_cleanup(handle); }
    };
    using Handle = std::unique_ptr<CURL, HandleDeleter>;

    Handle acquire() {
        {
            std::lock_guard lock(pool_mutex_);
            if (!idle_.empty()) {
                Handle handle = std::move(idle_.back());
                idle_.pop_back();
                return handle;
            }
        }
        Handle handle(curl_easy_init());
        if (!handle) throw TransportError("cannot create an HTTP handle (out of memory)");
        return handle;
    }

    void release(Handle handle) {
        std::lock_guard lock(pool_mutex_);
        if (idle_.size() < kMaxIdle) idle_.push_back(std::move(handle));
    }

    [[nodiscard]] CURLSH* share() const noexcept { return share_; }

private:
    static constexpr std::size_t kMaxIdle = 64;

    static void lock(CURL*, curl_lock_data data, curl_lock_access, void* self) {
        static_cast<CurlRuntime*>(self)->share_mutex(data).lock();
    }
    static void unlock(CURL*, curl_lock_data data, void* self) {
        static_cast<CurlRuntime*>(self)->share_mutex(data).unlock();
    }
    std::mutex& share_mutex(curl_lock_data data) {
        return share_mutexes_[static_cast<std::size_t>(data) % share_mutexes_.size()];
    }

    CURLSH* share_ = nullptr;
    std::array<std::mutex, CURL_LOCK_DATA_LAST> share_mutexes_;
    std::mutex pool_mutex_;
    std::vector<Handle> idle_;
};

CurlRuntime& runtime() {
    static CurlRuntime instance;
    return instance;
}

// A handle taken from the pool for one request and given back afterwards, also on errors.
class PooledHandle {
public:
    PooledHandle() : handle_(runtime().acquire()) { curl_easy_reset(handle_.get()); }
    ~PooledHandle() {
        if (handle_) runtime().release(std::move(handle_));
    }
    PooledHandle(const PooledHandle&) = delete;
    PooledHandle& operator=(const PooledHandle&) = delete;
    [[nodiscard]] CURL* get() const noexcept { return handle_.get(); }
    // A handle whose transfer broke is closed rather than pooled, so its connection is not reused.
    void discard() noexcept { handle_.reset(); }

private:
    CurlRuntime::Handle handle_;
};

struct HeaderList {
    curl_slist* list = nullptr;
    HeaderList() = default;
    HeaderList(const HeaderList&) = delete;
    HeaderList& operator=(const HeaderList&) = delete;
    ~HeaderList() { curl_slist_free_all(list); }
    void add(const std::string& header) {
        curl_slist* next = curl_slist_append(list, header.c_str());
        if (!next) throw TransportError("cannot build request headers (out of memory)");
        list = next;
    }
};

struct Transfer {
    HttpResponse response;
    std::size_t limit = 0;
    bool too_large = false;
    const HttpRequest* request = nullptr;
};

std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    if (transfer->response.body.size() + bytes > transfer->limit) {
        transfer->too_large = true;
        return 0;  // aborts the transfer
    }
    transfer->response.body.append(data, bytes);
    return bytes;
}

std::size_t on_header(char* data, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t bytes = size * count;
    std::string_view line(data, bytes);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.starts_with("HTTP/")) {
        transfer->response.headers.clear();  // a new answer (after 100-continue or a redirect)
    } else if (const auto colon = line.find(':'); colon != std::string_view::npos) {
        std::string_view value = line.substr(colon + 1);
        while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
        transfer->response.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
    }
    return bytes;
}

std::size_t on_read(char* buffer, std::size_t size, std::size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const std::size_t written = transfer->request->body_source(buffer, size * count);
    return written == kAbortBody ? CURL_READFUNC_ABORT : written;
}

// libcurl resends a request by itself when a reused connection closes before any answer byte (it takes
// that for a keep-alive connection the server had closed). It cannot know whether the server acted on
// the request, so for a write the resend is refused once any byte of the request was written: the
// pre-request callback runs before every send on a connection, the resend included, and the request
// size libcurl reports counts the bytes written so far. A resend after a send that wrote nothing (the
// connection was found dead at once) goes ahead. Refusing the body's rewind alone would not do: libcurl
// rewinds a body only when body bytes were written, so a write without a body would be resent unseen.
// A streamed body's rewind is refused too (on_seek), as libcurl asks for it before this callback.
struct ResendGuard {
    CURL* curl = nullptr;
    bool started = false;
    long written_at_start = 0;
    bool refused = false;
};

int on_prerequest(void* user, char*, char*, int, int) {
    auto* guard = static_cast<ResendGuard*>(user);
    long written = 0;
    curl_off_t body_written = 0;
    curl_easy_getinfo(guard->curl, CURLINFO_REQUEST_SIZE, &written);
    curl_easy_getinfo(guard->curl, CURLINFO_SIZE_UPLOAD_T, &body_written);
    if (guard->started && (written > guard->written_at_start || body_written > 0)) {
        guard->refused = true;
        return CURL_PREREQFUNC_ABORT;
    }
    guard->started = true;
    guard->written_at_start = written;
    return CURL_PREREQFUNC_OK;
}

// libcurl asks to rewind a streamed body before resending it, which happens before the pre-request
// callback; it asks only once body bytes were written, so the answer is always no.
int on_seek(void* user, curl_off_t, int) {
    static_cast<ResendGuard*>(user)->refused = true;
    return CURL_SEEKFUNC_FAIL;
}

bool has_header(const HttpRequest& request, std::string_view name) {
    return std::any_of(request.headers.begin(), request.headers.end(), [&](const std::string& header) {
        return header.size() > name.size() && header[name.size()] == ':' &&
               std::equal(name.begin(), name.end(), header.begin(), [](char a, char b) {
                   return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
               });
    });
}

[[noreturn]] void raise_transport(CURLcode code, const HttpRequest& request, const char* detail) {
    std::string message = std::string(method_name(request.method)) + " " + request.url + ": ";
    message += (detail && *detail) ? detail : curl_easy_strerror(code);
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_CONNECT:
    case CURLE_URL_MALFORMAT:
    case CURLE_UNSUPPORTED_PROTOCOL:
        throw ConnectError(message);
    case CURLE_OPERATION_TIMEDOUT:
        throw TimeoutError(message);
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_ENGINE_INITFAILED:
        throw TlsError(message);
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
        throw ConnectionDroppedError(message);
    default:
        throw TransportError(message);
    }
}

// How long a pooled connection may stay idle and still be used: well under the keep-alive timeouts of
// common front ends (nginx 75 s, GitLab's bundled nginx 65 s, cloud load balancers 60 s), so that a
// request is not sent on a connection the server is about to close. A server that closes sooner
// closes cleanly, and libcurl sees that before it reuses the connection.
constexpr long kMaxIdleSeconds = 20;

class CurlTransport final : public Transport {
public:
    HttpResponse send(const HttpRequest& request, const Settings& settings) override;
};

HttpResponse CurlTransport::send(const HttpRequest& request, const Settings& settings) {
    PooledHandle handle;
    CURL* curl = handle.get();
    Transfer transfer;
    transfer.limit = settings.max_response_bytes;
    transfer.request = &request;
    std::array<char, CURL_ERROR_SIZE> error{};
    ResendGuard guard;
    guard.curl = curl;

    HeaderList headers;
    for (const auto& header : request.headers) headers.add(header);
    if (request.body_source) headers.add("Transfer-Encoding: chunked");
    headers.add("Expect:");  // no 100-continue round trip for larger bodies
    // libcurl gives every POST a form Content-Type unless told otherwise.
    if (!has_header(request, "Content-Type")) headers.add("Content-Type:");

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_SHARE, runtime().share());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error.data());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "zorv_git_gitlab/" ZORV_VERSION);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const auto bundle = ca_bundle_from_environment()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, bundle->c_str());
        // Without a CA directory libcurl keeps the parsed bundle and reuses it for new connections.
        curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    }
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connect_timeout.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, settings.stall_bytes_per_second);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(settings.stall_timeout.count()));
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    // One live connection per pooled handle: libcurl's silent resend walks through every connection a
    // handle keeps, so this bounds it to one resend, and fresh connections do not pile up.
    curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
    curl_easy_setopt(curl, CURLOPT_MAXAGE_CONN, kMaxIdleSeconds);
    // A retry goes out on a new connection, so that libcurl's resend adds at most one request to a GET.
    if (request.attempt > 1) curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
    if (!idempotent(request.method)) {
        curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &on_prerequest);
        curl_easy_setopt(curl, CURLOPT_PREREQDATA, &guard);
    }
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &on_body);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &on_header);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);

    switch (request.method) {
    case Method::get:
        curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
        break;
    case Method::del:
        curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "DELETE");
        break;
    case Method::post:
    case Method::put:
        if (request.method == Method::put) curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "PUT");
        curl_easy_setopt(curl, CURLOPT_POST, 1L);
        if (request.body_source) {
            curl_easy_setopt(curl, CURLOPT_READFUNCTION, &on_read);
            curl_easy_setopt(curl, CURLOPT_READDATA, &transfer);
            curl_easy_setopt(curl, CURLOPT_SEEKFUNCTION, &on_seek);
            curl_easy_setopt(curl, CURLOPT_SEEKDATA, &guard);
        } else {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, request.body.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body.size()));
        }
        break;
    }

    const CURLcode code = curl_easy_perform(curl);
    if (code != CURLE_OK) {
        handle.discard();
        if (transfer.too_large) {
            throw ResponseTooLargeError(std::string(method_name(request.method)) + " " + request.url +
                                        ": the answer exceeds the limit of " +
                                        std::to_string(settings.max_response_bytes) + " bytes");
        }
        if (guard.refused) {
            throw ConnectionDroppedError(std::string(method_name(request.method)) + " " + request.url +
                                         ": the connection closed before any answer; not sent again, as the "
                                         "server may have acted on it");
        }
        raise_transport(code, request, error.data());
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &transfer.response.status);
    return std::move(transfer.response);
}

}  // namespace

std::string_view method_name(Method method) noexcept {
    switch (method) {
    case Method::get:
        return "GET";
    case Method::post:
        return "POST";
    case Method::put:
        return "PUT";
    case Method::del:
        return "DELETE";
    }
    return "GET";
}

std::optional<std::string> HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (std::equal(key.begin(), key.end(), name.begin(), name.end(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
            })) {
            return value;
        }
    }
    return std::nullopt;
}

std::optional<std::int64_t> HttpResponse::number_header(std::string_view name) const {
    const auto value = header(name);
    if (!value || value->empty() || value->find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    if (value->size() > 18) return 999'999'999'999'999'999;
    return std::stoll(*value);
}

std::optional<std::string> ca_bundle_from_environment() {
    for (const char* name : {"CURL_CA_BUNDLE", "REQUESTS_CA_BUNDLE", "SSL_CERT_FILE"}) {
        if (const char* value = std::getenv(name); value && *value) return std::string(value);
    }
    return std::nullopt;
}

Transport& curl_transport() {
    static CurlTransport transport;  // stateless; the pool lives in the runtime
    return transport;
}

}  // namespace zorv_git_gitlab::rest
