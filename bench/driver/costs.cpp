#include "costs.hpp"

#include <curl/curl.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "zorv_git_gitlab/json.hpp"

namespace zorv_bench {
namespace {

struct EasyDeleter {
    void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
};
struct ShareDeleter {
    void operator()(CURLSH* s) const noexcept { curl_share_cleanup(s); }
};
struct ListDeleter {
    void operator()(curl_slist* l) const noexcept { curl_slist_free_all(l); }
};

std::size_t keep(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

enum class Connection { kept, fresh, fresh_without_ca_path };

// GETs `url` `count` times on one easy handle and returns the median time of one. `fresh` opens a new
// connection for each, resuming the TLS session through a share as the library's transport does.
double median_get(const Endpoint& endpoint, const std::string& url, Connection connection, int count) {
    std::unique_ptr<CURLSH, ShareDeleter> share(curl_share_init());
    curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
    curl_share_setopt(share.get(), CURLSHOPT_SHARE, CURL_LOCK_DATA_DNS);
    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    const std::string header = "PRIVATE-TOKEN: " + endpoint.token;
    std::unique_ptr<curl_slist, ListDeleter> headers(curl_slist_append(nullptr, header.c_str()));
    if (!curl || !share || !headers) throw std::runtime_error("libcurl set-up failed");
    std::string body;
    std::vector<double> samples;
    for (int i = -2; i < count; ++i) {  // two unmeasured requests open the connection and the session
        CURL* c = curl.get();
        curl_easy_reset(c);
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(c, CURLOPT_SHARE, share.get());
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        if (!endpoint.ca_bundle.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, endpoint.ca_bundle.c_str());
        if (connection == Connection::fresh_without_ca_path) curl_easy_setopt(c, CURLOPT_CAPATH, nullptr);
        if (connection != Connection::kept) {
            curl_easy_setopt(c, CURLOPT_FRESH_CONNECT, 1L);
            curl_easy_setopt(c, CURLOPT_MAXCONNECTS, 1L);
        }
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &keep);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
        body.clear();
        const auto start = Clock::now();
        const CURLcode code = curl_easy_perform(c);
        if (i >= 0) samples.push_back(micros_since(start));
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        if (code != CURLE_OK || status != 200) throw std::runtime_error("GET " + url + " failed");
    }
    return summarize(std::move(samples))["median_us"].get<double>();
}

std::string fetch(const Endpoint& endpoint, const std::string& url) {
    std::unique_ptr<CURL, EasyDeleter> curl(curl_easy_init());
    const std::string header = "PRIVATE-TOKEN: " + endpoint.token;
    std::unique_ptr<curl_slist, ListDeleter> headers(curl_slist_append(nullptr, header.c_str()));
    std::string body;
    curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers.get());
    if (!endpoint.ca_bundle.empty()) curl_easy_setopt(curl.get(), CURLOPT_CAINFO, endpoint.ca_bundle.c_str());
    curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, &keep);
    curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &body);
    if (curl_easy_perform(curl.get()) != CURLE_OK) throw std::runtime_error("GET " + url + " failed");
    return body;
}

// Median time of decoding `body` as the library does (nlohmann::ordered_json::parse).
double median_decode(const std::string& body, int count) {
    std::vector<double> samples;
    std::size_t sink = 0;
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        sink += zorv_git_gitlab::Json::parse(body).size();
        samples.push_back(micros_since(start));
    }
    if (sink == 0) throw std::runtime_error("empty answer");
    return summarize(std::move(samples))["median_us"].get<double>();
}

}  // namespace

nlohmann::json costs(const Options& options) {
    const auto target = Target::from(options);
    const auto endpoint = Endpoint::from_environment();
    const int count = static_cast<int>(options.number("iterations", 200));
    const std::string pipeline = wire::pipeline_url(endpoint, target);
    const std::string search = fetch(endpoint, wire::lookup_url(endpoint, target));
    const std::string record = fetch(endpoint, pipeline);
    return {{"get_kept_alive_us", median_get(endpoint, pipeline, Connection::kept, count)},
            {"get_fresh_connection_us", median_get(endpoint, pipeline, Connection::fresh, count / 4)},
            {"get_fresh_connection_no_ca_path_us",
             median_get(endpoint, pipeline, Connection::fresh_without_ca_path, count / 4)},
            {"decode_search_us", median_decode(search, count)},
            {"search_bytes", search.size()},
            {"decode_pipeline_us", median_decode(record, count)},
            {"pipeline_bytes", record.size()}};
}

}  // namespace zorv_bench
