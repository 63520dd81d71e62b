#include "clients.hpp"

#include <curl/curl.h>

#include <stdexcept>
#include <vector>

#include "zorv_git/process.hpp"
#include "zorv_git_gitlab/git.hpp"

namespace zorv_bench {
namespace {

using zorv_git_gitlab::GitlabGit;

void expect(bool ok, const std::string& what) {
    if (!ok) throw std::runtime_error(what);
}

class LibraryClient final : public Client {
public:
    explicit LibraryClient(Target target) : target_(std::move(target)) {}

    void get_project_info() override {
        expect(GitlabGit::get_project_info(target_.project, target_.group).has_value(),
               "get_project_info found no project " + target_.project);
    }
    void get_single_pipeline_status() override {
        expect(GitlabGit::get_single_pipeline_status(target_.project_id, target_.pipeline_id).has_value(),
               "get_single_pipeline_status gave no record");
    }
    void create_branch(const std::string& branch) override {
        expect(GitlabGit::create_branch(target_.project, target_.group, branch, target_.ref).has_value(),
               "create_branch did not create " + branch);
    }

private:
    Target target_;
};

// Baseline (c): a bare libcurl loop. Options are set once; each request only changes the URL and the
// method; the connection stays open between requests.
class LibcurlClient final : public Client {
public:
    explicit LibcurlClient(Target target)
        : target_(std::move(target)), endpoint_(Endpoint::from_environment()), curl_(curl_easy_init()) {
        if (!curl_) throw std::runtime_error("curl_easy_init failed");
        get_headers_.add("PRIVATE-TOKEN: " + endpoint_.token);
        get_headers_.add("Expect:");
        post_headers_.add("PRIVATE-TOKEN: " + endpoint_.token);
        post_headers_.add("Content-Type: application/json");
        post_headers_.add("Expect:");
        CURL* c = curl_.get();
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_USERAGENT, wire::kUserAgent.data());
        if (!endpoint_.ca_bundle.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, endpoint_.ca_bundle.c_str());
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &on_body);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, &body_);
        lookup_url_ = wire::lookup_url(endpoint_, target_);
        pipeline_url_ = wire::pipeline_url(endpoint_, target_);
        branches_url_ = wire::branches_url(endpoint_, target_);
    }

    void get_project_info() override {
        times_.clear();
        expect(get(lookup_url_) == 200, "project search refused");
    }
    void get_single_pipeline_status() override {
        times_.clear();
        expect(get(pipeline_url_) == 200, "pipeline GET refused");
    }
    void create_branch(const std::string& branch) override {
        times_.clear();
        expect(get(lookup_url_) == 200, "project search refused");
        expect(get(lookup_url_) == 200, "project search refused");
        expect(get(wire::branch_url(endpoint_, target_, branch)) == 404, "branch " + branch + " exists");
        expect(post(branches_url_, wire::branch_body(target_, branch)) == 201, "branch creation refused");
    }
    [[nodiscard]] std::vector<double> request_times() const override { return times_; }

private:
    struct HandleDeleter {
        void operator()(CURL* c) const noexcept { curl_easy_cleanup(c); }
    };
    class HeaderList {
    public:
        HeaderList() = default;
        HeaderList(const HeaderList&) = delete;
        HeaderList& operator=(const HeaderList&) = delete;
        ~HeaderList() { curl_slist_free_all(list_); }
        void add(const std::string& header) {
            curl_slist* next = curl_slist_append(list_, header.c_str());
            if (!next) throw std::runtime_error("curl_slist_append failed");
            list_ = next;
        }
        [[nodiscard]] curl_slist* get() const noexcept { return list_; }

    private:
        curl_slist* list_ = nullptr;
    };

    static std::size_t on_body(char* data, std::size_t size, std::size_t count, void* user) {
        static_cast<std::string*>(user)->append(data, size * count);
        return size * count;
    }

    long get(const std::string& url) {
        CURL* c = curl_.get();
        curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, get_headers_.get());
        return perform(url);
    }

    long post(const std::string& url, const std::string& body) {
        CURL* c = curl_.get();
        curl_easy_setopt(c, CURLOPT_POST, 1L);
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        curl_easy_setopt(c, CURLOPT_HTTPHEADER, post_headers_.get());
        return perform(url);
    }

    long perform(const std::string& url) {
        CURL* c = curl_.get();
        body_.clear();
        curl_easy_setopt(c, CURLOPT_URL, url.c_str());
        const auto start = Clock::now();
        const CURLcode code = curl_easy_perform(c);
        times_.push_back(micros_since(start));
        if (code != CURLE_OK) throw std::runtime_error(url + ": " + curl_easy_strerror(code));
        long status = 0;
        curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
        return status;
    }

    Target target_;
    Endpoint endpoint_;
    std::unique_ptr<CURL, HandleDeleter> curl_;
    HeaderList get_headers_, post_headers_;
    std::string body_;
    std::vector<double> times_;
    std::string lookup_url_, pipeline_url_, branches_url_;
};

// Baseline (b): `curl` once per request, as a shell script would run it. The token travels in a
// config read from standard input, not on the command line; the status comes back through -w.
class CurlProgramClient final : public Client {
public:
    explicit CurlProgramClient(Target target) : target_(std::move(target)), endpoint_(Endpoint::from_environment()) {
        config_ = "header = \"PRIVATE-TOKEN: " + endpoint_.token + "\"\n";
    }

    void get_project_info() override { expect(run(wire::lookup_url(endpoint_, target_)) == 200, "search refused"); }
    void get_single_pipeline_status() override {
        expect(run(wire::pipeline_url(endpoint_, target_)) == 200, "pipeline GET refused");
    }
    void create_branch(const std::string& branch) override {
        const auto lookup = wire::lookup_url(endpoint_, target_);
        expect(run(lookup) == 200, "project search refused");
        expect(run(lookup) == 200, "project search refused");
        expect(run(wire::branch_url(endpoint_, target_, branch)) == 404, "branch " + branch + " exists");
        expect(run(wire::branches_url(endpoint_, target_), wire::branch_body(target_, branch)) == 201,
               "branch creation refused");
    }

private:
    long run(const std::string& url, const std::string& json_body = {}) {
        std::vector<std::string> argv{"curl", "-sS", "-K", "-", "-A", std::string(wire::kUserAgent), "-w", "\n%{http_code}"};
        if (!json_body.empty()) {
            argv.insert(argv.end(), {"-H", "Content-Type: application/json", "--data-binary", json_body});
        }
        argv.push_back(url);
        zorv_git::process::Options options;
        options.stdin_data = config_;
        const auto result = zorv_git::process::run(argv, options);
        expect(result.ok(), "curl failed: " + result.err);
        const auto newline = result.out.rfind('\n');
        return std::stol(result.out.substr(newline == std::string::npos ? 0 : newline + 1));
    }

    Target target_;
    Endpoint endpoint_;
    std::string config_;
};

}  // namespace

std::unique_ptr<Client> make_client(const std::string& kind, const Target& target) {
    if (kind == "library") return std::make_unique<LibraryClient>(target);
    if (kind == "libcurl") return std::make_unique<LibcurlClient>(target);
    if (kind == "curl") return std::make_unique<CurlProgramClient>(target);
    throw std::invalid_argument("unknown client " + kind);
}

void run_operation(Client& client, const std::string& operation, const std::string& branch) {
    if (operation == "get_project_info") {
        client.get_project_info();
    } else if (operation == "get_single_pipeline_status") {
        client.get_single_pipeline_status();
    } else if (operation == "create_branch") {
        client.create_branch(branch);
    } else {
        throw std::invalid_argument("unknown operation " + operation);
    }
}

}  // namespace zorv_bench
