// The saved state: state.json in a persistent data directory, written by a background saver.
#include "server.hpp"

#include <nlohmann/json.hpp>

#include <fstream>
#include <optional>
#include <iostream>
#include <sstream>

// Optional values saved as the value or null (token.group_id).
template <typename T>
struct nlohmann::adl_serializer<std::optional<T>> {
    template <typename BasicJson>
    static void to_json(BasicJson& j, const std::optional<T>& value) {
        if (value) j = *value;
        else j = nullptr;
    }
    template <typename BasicJson>
    static void from_json(const BasicJson& j, std::optional<T>& value) {
        if (j.is_null()) value.reset();
        else value = j.template get<T>();
    }
};

namespace zorv_sandbox {

namespace fs = std::filesystem;

// The saved state is the State itself, field by field, through nlohmann's macro machinery.
// NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT of nlohmann 3.11.2 is written for nlohmann::json
// only; the records are ordered_json (they keep GitLab's field order), so the same expansion is made
// for it here. Fields missing from a file keep their defaults. token_ids and namespace_projects are derived, not saved.
#define ZORV_SAVED_FIELDS(Type, ...)                                                                 \
    inline void to_json(Json& nlohmann_json_j, const Type& nlohmann_json_t) {                        \
        NLOHMANN_JSON_EXPAND(NLOHMANN_JSON_PASTE(NLOHMANN_JSON_TO, __VA_ARGS__))                     \
    }                                                                                                \
    inline void from_json(const Json& nlohmann_json_j, Type& nlohmann_json_t) {                      \
        const Type nlohmann_json_default_obj{};                                                      \
        NLOHMANN_JSON_EXPAND(NLOHMANN_JSON_PASTE(NLOHMANN_JSON_FROM_WITH_DEFAULT, __VA_ARGS__))      \
    }

// A merge request is saved as its record alone: its check and held status are not kept.
inline void to_json(Json& j, const MergeRequestEntry& entry) { j = entry.record; }
inline void from_json(const Json& j, MergeRequestEntry& entry) { entry.record = j; }

ZORV_SAVED_FIELDS(UserEntry, record, admin, namespace_id)
ZORV_SAVED_FIELDS(TokenEntry, record, secret, group_id)
ZORV_SAVED_FIELDS(ProjectEntry, record, repository_made, next_issue_iid, next_pipeline_iid, next_merge_request_iid)
ZORV_SAVED_FIELDS(State, next_user_id, next_token_id, next_namespace_id, next_project_id, next_pipeline_id,
                  next_issue_id, next_note_id, next_merge_request_id, next_group_link_id, users, tokens, groups,
                  projects, project_variables, group_variables, pipelines, issues, notes, merge_requests, group_members,
                  project_group_links)

#undef ZORV_SAVED_FIELDS

namespace {

constexpr int kFormat = 2;  // 1: the hand-written layout of earlier versions (not read)

}  // namespace

// ---------------------------------------------------------------------------------------------
// Saved state

Json Sandbox::state_to_json(const State& s) const {
    return Json{{"format", kFormat}, {"base_url", base_url()}, {"admin_token", admin_token_}, {"state", s}};
}

void Sandbox::state_from_json(const Json& j) {
    if (j.value("format", 0) != kFormat) {
        throw std::runtime_error("state.json was saved by an earlier sandbox in another format; start with a new "
                                 "data directory");
    }
    State s = j.at("state").get<State>();
    for (const auto& [id, token] : s.tokens) s.token_ids[token.secret] = id;
    for (const auto& [id, project] : s.projects) {
        s.namespace_projects[project.record["namespace"]["id"].get<std::int64_t>()].insert(id);
    }
    state_ = std::move(s);
}

void Sandbox::persist() {
    if (temporary_) return;
    {
        std::lock_guard lock(save_mutex_);
        save_pending_ = true;
    }
    save_cv_.notify_one();
}

// Saves the state shortly after changes, gathering those of 0.2 s into one write, so that a burst
// of requests costs a few saves instead of one each; saves what is pending once more on stop.
void Sandbox::save_loop() {
    std::unique_lock lock(save_mutex_);
    while (true) {
        save_cv_.wait(lock, [this] { return save_pending_ || save_stop_; });
        if (!save_pending_) return;
        save_cv_.wait_for(lock, std::chrono::milliseconds(200), [this] { return save_stop_; });
        save_pending_ = false;
        lock.unlock();
        try {
            save_now();
        } catch (const std::exception& e) {
            std::cerr << "zorv-gitlab-sandbox: saving the state failed: " << e.what() << std::endl;
        }
        lock.lock();
    }
}

void Sandbox::save_now() {
    State copy;
    {
        std::lock_guard lock(state_mutex_);
        copy = state_;
    }
    const std::string text = state_to_json(copy).dump(1, ' ', false, Json::error_handler_t::replace);
    const auto file = data_dir_ / "state.json";
    const auto tmp = data_dir_ / "state.json.tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) throw std::runtime_error("cannot write " + tmp.string());
    }
    fs::rename(tmp, file);
}

void Sandbox::load_state() {
    const auto file = data_dir_ / "state.json";
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    // Addresses saved under an earlier port are rewritten to the current one.
    const auto head = Json::parse(content);
    const auto old_base = head.value("base_url", std::string{});
    const auto new_base = base_url();
    if (!old_base.empty() && old_base != new_base) {
        std::string replaced;
        std::size_t pos = 0;
        while (true) {
            const auto at = content.find(old_base, pos);
            replaced.append(content, pos, at == std::string::npos ? std::string::npos : at - pos);
            if (at == std::string::npos) break;
            replaced += new_base;
            pos = at + old_base.size();
        }
        content = std::move(replaced);
    }
    const auto j = Json::parse(content);
    std::lock_guard lock(state_mutex_);
    state_from_json(j);
    if (admin_token_.empty()) admin_token_ = j.value("admin_token", std::string{});
}

}  // namespace zorv_sandbox
