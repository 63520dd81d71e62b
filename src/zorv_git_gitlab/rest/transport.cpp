#include "rest/transport.hpp"

#include <curl/curl.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <random>
#include <thread>

#include "zorv_git_gitlab/errors.hpp"

namespace zorv_git_gitlab::rest {
namespace {

using Clock = std::chrono::steady_clock;

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
    return transfer->request->body_source(buffer, size * count);
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

// `fresh`: send on a new connection rather than a pooled one. libcurl silently resends a request once
// when a reused connection closes before any answer arrives; it cannot know whether the server acted
// on it, so writes and retries never go out on a reused connection.
HttpResponse perform_once(const HttpRequest& request, const Settings& settings, bool fresh) {
    PooledHandle handle;
    CURL* curl = handle.get();
    Transfer transfer;
    transfer.limit = settings.max_response_bytes;
    transfer.request = &request;
    std::array<char, CURL_ERROR_SIZE> error{};

    HeaderList headers;
    for (const auto& header : request.headers) headers.add(header);
    if (request.body_source) headers.add("Transfer-Encoding: chunked");
    headers.add("Expect:");  // no 100-continue round trip for larger bodies

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_SHARE, runtime().share());
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error.data());
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "zorv_git_gitlab/0.1");
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (const auto bundle = ca_bundle_from_environment()) curl_easy_setopt(curl, CURLOPT_CAINFO, bundle->c_str());
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(settings.connect_timeout.count()));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, settings.stall_bytes_per_second);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(settings.stall_time.count()));
    curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
    // One live connection per pooled handle: libcurl's silent resend walks through every connection a
    // handle keeps, so this bounds it to one resend, and fresh connections do not pile up.
    curl_easy_setopt(curl, CURLOPT_MAXCONNECTS, 1L);
    if (fresh) curl_easy_setopt(curl, CURLOPT_FRESH_CONNECT, 1L);
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
        raise_transport(code, request, error.data());
    }
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &transfer.response.status);
    return std::move(transfer.response);
}

bool retryable_status(long status) { return status == 429 || status == 502 || status == 503 || status == 504; }

// Seconds from a Retry-After header holding a number; dates and garbage give no value.
std::optional<std::chrono::milliseconds> retry_after(const HttpResponse& response) {
    const auto value = response.header("Retry-After");
    if (!value || value->empty() || !std::all_of(value->begin(), value->end(), [](unsigned char c) {
            return std::isdigit(c) != 0;
        })) {
        return std::nullopt;
    }
    if (value->size() > 6) return std::chrono::hours(24);
    return std::chrono::seconds(std::stol(*value));
}

std::chrono::milliseconds backoff(const Settings& settings, int attempt) {
    thread_local std::minstd_rand engine{std::random_device{}()};
    const auto base = settings.retry_base_delay * (1LL << std::min(attempt, 16));
    std::uniform_real_distribution<double> jitter(0.5, 1.0);
    return std::chrono::milliseconds(static_cast<long long>(static_cast<double>(base.count()) * jitter(engine)));
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

std::optional<std::string> ca_bundle_from_environment() {
    for (const char* name : {"CURL_CA_BUNDLE", "REQUESTS_CA_BUNDLE", "SSL_CERT_FILE"}) {
        if (const char* value = std::getenv(name); value && *value) return std::string(value);
    }
    return std::nullopt;
}

HttpResponse perform(const HttpRequest& request, const Settings& settings) {
    // Only GET is idempotent here; writes go out exactly once.
    const bool may_retry = request.method == Method::get && settings.max_tries > 1;
    const auto deadline = Clock::now() + settings.retry_total_time;
    for (int attempt = 0;; ++attempt) {
        const bool last = !may_retry || attempt + 1 >= settings.max_tries;
        std::chrono::milliseconds wait{0};
        try {
            HttpResponse response = perform_once(request, settings, request.method != Method::get || attempt > 0);
            if (last || !retryable_status(response.status)) return response;
            wait = backoff(settings, attempt);
            if (const auto asked = retry_after(response)) wait = std::min(*asked, settings.retry_after_cap);
            if (Clock::now() + wait > deadline) return response;
        } catch (const ConnectionDroppedError&) {
            if (last) throw;
            wait = backoff(settings, attempt);
            if (Clock::now() + wait > deadline) throw;
        }
        std::this_thread::sleep_for(wait);
    }
}

}  // namespace zorv_git_gitlab::rest
