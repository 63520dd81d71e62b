// The journal of requests received (control route /-/sandbox/journal).
#include "server.hpp"

#include <algorithm>

namespace zorv_sandbox {

namespace {

constexpr std::size_t kJournalBodyLimit = 1024 * 1024;
constexpr std::size_t kJournalMaxEntries = 100000;  // the oldest entries go first beyond this

}  // namespace

// ---------------------------------------------------------------------------------------------
// Journal

std::int64_t Sandbox::journal_begin(const httplib::Request& req, const std::string& raw_path,
                                    const std::string& raw_query) {
    Json headers = Json::object();
    for (const auto& [name, value] : req.headers) {
        // httplib adds these itself; they were not sent by the client.
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT") continue;
        if (headers.contains(name)) {
            headers[name] = headers[name].get<std::string>() + ", " + value;
        } else {
            headers[name] = value;
        }
    }
    Json entry = Json::object();
    entry["method"] = req.method;
    entry["path"] = raw_path;
    entry["query"] = raw_query;
    entry["headers"] = std::move(headers);
    if (req.body.size() > kJournalBodyLimit) {
        entry["body"] = req.body.substr(0, kJournalBodyLimit);
        entry["body_truncated"] = true;
    } else {
        entry["body"] = req.body;
    }
    entry["status"] = nullptr;
    std::lock_guard lock(journal_mutex_);
    const auto seq = next_seq_++;
    if (journal_.size() >= kJournalMaxEntries) journal_.pop_front();
    Json full = Json::object();
    full["seq"] = seq;
    for (auto& [k, v] : entry.items()) full[k] = std::move(v);
    journal_.push_back(std::move(full));
    return seq;
}

void Sandbox::journal_end(std::int64_t seq, const Json& status) {
    std::lock_guard lock(journal_mutex_);
    const auto it = std::lower_bound(journal_.begin(), journal_.end(), seq,
                                     [](const Json& e, std::int64_t s) { return e["seq"].get<std::int64_t>() < s; });
    if (it != journal_.end() && (*it)["seq"].get<std::int64_t>() == seq) (*it)["status"] = status;
}

Json Sandbox::journal() const {
    std::lock_guard lock(journal_mutex_);
    Json out = Json::array();
    for (const auto& e : journal_) out.push_back(e);
    return out;
}

void Sandbox::clear_journal() {
    std::lock_guard lock(journal_mutex_);
    journal_.clear();
}

}  // namespace zorv_sandbox
