// The fault matrix: a representative operation of each kind meets every fault the sandbox can inject
// and ends in its documented result (its failure line and no value, or an error of the library's own
// types), within the time limits, with the process healthy afterwards. The counts are printed as a
// table at the end, and written to the file named by ZORV_FAULT_TABLE when it is set.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>

#include "helpers.hpp"

namespace {

using namespace zorv_rel;
namespace ops = zorv_git_gitlab::ops;

enum class FaultKind { status, not_json, bad_number, truncated, dropped, hang, foreign_ca, huge };

struct Fault {
    std::string name;
    FaultKind kind;
    int status = 0;  // status faults; 0: the operation's own success status
    std::string body;
    Json headers = Json::object();
};

std::vector<Fault> all_faults() {
    const auto message = [](const char* text) { return Json{{"message", text}}.dump(); };
    return {
        {"400", FaultKind::status, 400, message("400 Bad request - branch is missing")},
        {"401", FaultKind::status, 401, message("401 Unauthorized")},
        {"403", FaultKind::status, 403, message("403 Forbidden")},
        {"404", FaultKind::status, 404, message("404 Not Found")},
        {"409", FaultKind::status, 409, message("409 Conflict")},
        {"422", FaultKind::status, 422, message("422 Unprocessable Entity")},
        {"429 with Retry-After", FaultKind::status, 429, "Retry later\n", {{"Retry-After", "0"}}},
        {"500", FaultKind::status, 500, message("500 Internal Server Error")},
        {"502", FaultKind::status, 502, "<html><body><h1>502 Bad Gateway</h1></body></html>"},
        {"503", FaultKind::status, 503, message("503 Service Unavailable")},
        {"2xx, body not JSON", FaultKind::not_json, 0, "<html>Down for maintenance</html>"},
        {"2xx, number beyond double", FaultKind::bad_number, 0, R"({"id": 1e400, "name": "x"})"},
        {"truncated body", FaultKind::truncated, 0, R"({"id": 1, "name": "trunc)"},
        {"dropped connection", FaultKind::dropped, 0, ""},
        {"answer never comes", FaultKind::hang, 0, ""},
        {"certificate from another authority", FaultKind::foreign_ca, 0, ""},
        {"answer of 200 MB", FaultKind::huge, 0, ""},
    };
}

// How an operation reports a refused request.
enum class Shape {
    silent,     // returns no value and prints nothing (lookups, reads, lists)
    reporting,  // prints its failure line and returns no value
    deleting,   // returns nothing; prints its failure line, or its success line on 202/204
    committing  // commit_project: the commit count, then the failure line and the map line
};

struct Outcome {
    std::string result;  // "value", "none", "returned", or the error's kind
    std::string message;
    std::vector<std::string> lines;
    double seconds = 0;
    std::size_t requests = 0;  // how many requests reached the faulted route
};

class FaultMatrix : public ::testing::Test {
protected:
    struct Op {
        std::string kind;  // the table's column
        std::string method;
        std::string path;  // regex of the faulted route
        int success = 200;
        Shape shape = Shape::silent;
        std::string failure;  // the failure line's message
        std::function<std::string()> run;
    };

    static void SetUpTestSuite() {
        auto& sb = zorv_test::sandbox();
        sb.settings({{"merge_check_delay_ms", 0}});
        shared_ = std::make_unique<Shared>();
        auto& s = *shared_;
        s.group = make_group("rel-faults");
        s.project = make_project(s.ctx, "matrix", s.group);
        const std::string pid = std::to_string(s.project);
        if (!ops::create_branch(s.ctx, "matrix", s.group, "topic")) throw std::runtime_error("no branch topic");
        if (!ops::create_branch(s.ctx, "matrix", s.group, "feature")) throw std::runtime_error("no branch feature");
        const auto file = sb.api("POST", "projects/" + pid + "/repository/files/feature.txt",
                                 {{"branch", "feature"}, {"content", "feature\n"}, {"commit_message", "feature"}});
        if (file.status != 201) throw std::runtime_error("cannot commit to feature: " + file.body);
        const auto issue = ops::create_issue(s.ctx, "matrix", s.group, "to close", "issue");
        const auto mr = ops::create_merge_request(s.ctx, "matrix", s.group, "feature", "feature");
        if (!issue || !mr) throw std::runtime_error("cannot create the issue or the merge request");
        s.issue = (*issue)["iid"].get<std::int64_t>();
        s.merge_request = (*mr)["iid"].get<std::int64_t>();
        s.work = ops::clone_project(s.ctx, (s.dir.path() / "matrix").string(), "matrix", s.group);
        (void)s.ctx.take_lines();

        // A certificate authority that did not sign the sandbox's certificate.
        const auto ca = zorv_git::process::run(
            {"openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=Other Authority",
             "-keyout", (s.dir.path() / "other-ca.key").string(), "-out", (s.dir.path() / "other-ca.pem").string()});
        if (!ca.ok()) throw std::runtime_error("openssl failed: " + ca.err);
    }
    static void TearDownTestSuite() {
        zorv_test::sandbox().clear_faults();
        shared_.reset();
    }

    struct Shared {
        TempDir dir;
        RecordingContext ctx;
        std::int64_t group = 0, project = 0, issue = 0, merge_request = 0;
        std::string work;  // the working copy
        std::map<std::string, std::map<std::string, std::string>> table;  // fault -> kind -> cell
        std::vector<std::string> kinds;
    };
    static std::unique_ptr<Shared> shared_;

    std::vector<Op> operations() {
        auto& s = *shared_;
        const std::string pid = std::to_string(s.project);
        const std::string projects = "^/api/v4/projects/" + pid;
        const auto record = [](const std::optional<Json>& r) { return std::string(r ? "value" : "none"); };
        return {
            {"lookup", "GET", "^/api/v4/groups/[0-9]+/projects$", 200, Shape::silent, "",
             [&s, record] { return record(ops::get_project_info(s.ctx, "matrix", s.group)); }},
            {"read", "GET", projects + "/repository/branches/master$", 200, Shape::silent, "",
             [&s, record] { return record(ops::get_branch_info(s.ctx, "matrix", s.group, "master")); }},
            {"list", "GET", projects + "/repository/tags$", 200, Shape::silent, "",
             [&s, record] { return record(ops::get_tag_list(s.ctx, "matrix", s.group)); }},
            {"create", "POST", projects + "/issues$", 201, Shape::reporting, "Failed to create issue matrix. Response:",
             [&s, record] { return record(ops::create_issue(s.ctx, "matrix", s.group, "new", "issue")); }},
            {"update", "PUT", projects + "/issues/" + std::to_string(s.issue) + "$", 200, Shape::reporting,
             "Failed to close issue matrix/" + std::to_string(s.issue) + ". Response:",
             [&s, record] { return record(ops::close_issue(s.ctx, "matrix", s.group, s.issue)); }},
            {"delete", "DELETE", projects + "/repository/branches/topic$", 202, Shape::deleting,
             "Failed to delete the project. Response: ",
             [&s] {
                 ops::delete_branch(s.ctx, "matrix", s.group, "topic");
                 return std::string("returned");
             }},
            {"working-copy commit", "POST", projects + "/repository/commits$", 201, Shape::committing, "Failed to commit:",
             [&s] {
                 ops::commit_project(s.ctx, s.work, "fault case", "matrix", "master", s.group);
                 return std::string("returned");
             }},
            {"merge wait", "GET", projects + "/merge_requests/" + std::to_string(s.merge_request) + "$", 200,
             Shape::reporting, "Failed to perform merge matrix/" + std::to_string(s.merge_request),
             [&s, record] {
                 return record(ops::perform_merge(s.ctx, "matrix", s.group, s.merge_request, "merge", 10));
             }},
        };
    }

    static Json rule_for(const Op& op, const Fault& fault) {
        Json rule = {{"method", op.method}, {"path", op.path}, {"times", 0}};
        switch (fault.kind) {
        case FaultKind::status:
            rule["status"] = fault.status;
            rule["body"] = fault.body;
            rule["headers"] = fault.headers;
            break;
        case FaultKind::not_json:
        case FaultKind::bad_number:
            rule["status"] = op.success;
            rule["body"] = fault.body;
            break;
        case FaultKind::truncated:
            rule["action"] = "truncate";
            rule["status"] = op.success;
            rule["body"] = fault.body;
            break;
        case FaultKind::dropped:
            rule["action"] = "drop";
            break;
        case FaultKind::hang:
            rule["action"] = "hang";
            break;
        case FaultKind::huge:
            rule["action"] = "huge";
            break;
        case FaultKind::foreign_ca:
            return nullptr;
        }
        return rule;
    }

    // Empty when the outcome is the documented one, else what differs.
    static std::string verdict(const Op& op, const Fault& fault, const Outcome& got, const std::string& file) {
        std::vector<std::string> want_lines;
        std::string want;
        const bool commit = op.shape == Shape::committing;
        const bool throttled = throttled_to_the_end(fault);
        switch (fault.kind) {
        case FaultKind::status:
            if (throttled) {  // never an answer to judge: no value, no failure line
                want = "RateLimitedError";
                break;
            }
            want = op.shape == Shape::silent || op.shape == Shape::reporting ? "none" : "returned";
            if (op.shape == Shape::reporting || op.shape == Shape::deleting) {
                want_lines = {op.failure + " " + fault.body};
            }
            break;
        case FaultKind::not_json:
        case FaultKind::bad_number:
            // Operations judge the status alone; those that read the body cannot decode it.
            if (op.shape == Shape::deleting) {
                want = "returned";
                want_lines = {"Project matrix/topic accepted deletion successfully."};
            } else if (commit) {
                want = "returned";
            } else {
                want = "JsonDecodeError";
            }
            break;
        case FaultKind::truncated:
        case FaultKind::dropped:
            want = "ConnectionDroppedError";
            break;
        case FaultKind::hang:
            want = "TimeoutError";
            break;
        case FaultKind::foreign_ca:
            want = "TlsError";
            break;
        case FaultKind::huge:
            want = "ResponseTooLargeError";
            break;
        }
        std::ostringstream why;
        if (got.result != want) why << "result " << got.result << " (" << got.message << "), expected " << want << "; ";
        if (commit) {
            // The commit count comes first whatever happens to the request.
            if (got.lines.empty() || got.lines[0].find_first_not_of("0123456789") != std::string::npos) {
                why << "no commit count line; ";
            }
            std::vector<std::string> rest(got.lines.begin() + std::min<std::size_t>(1, got.lines.size()), got.lines.end());
            if (fault.kind == FaultKind::status && !throttled) {
                if (rest.size() != 2 || rest[0] != "Failed to commit: " + fault.body ||
                    rest[1].find("'" + file + "': 'create'") == std::string::npos) {
                    why << "failure lines differ; ";
                }
            } else if (want == "returned") {
                if (rest != std::vector<std::string>{"Successfully committed"}) why << "success line missing; ";
            } else if (!rest.empty()) {
                why << "unexpected lines; ";
            }
        } else if (got.lines != want_lines) {
            why << "lines differ; ";
        }
        if (!why.str().empty()) {
            why << "lines:";
            for (const auto& line : got.lines) why << " [" << line << "]";
        }
        return why.str();
    }

    // A 429 on every try: every method is sent again until the tries run out, then RateLimitedError.
    static bool throttled_to_the_end(const Fault& fault) { return fault.kind == FaultKind::status && fault.status == 429; }

    // Runs one case: fault on, operation, fault off.
    Outcome run_case(const Op& op, const Fault& fault) {
        auto& sb = zorv_test::sandbox();
        auto& s = *shared_;
        sb.clear_faults();
        sb.clear_journal();
        const Json rule = rule_for(op, fault);
        if (!rule.is_null()) sb.add_fault(rule);
        std::optional<std::string> saved_ca;
        if (fault.kind == FaultKind::foreign_ca) {
            saved_ca = std::getenv("CURL_CA_BUNDLE");
            ::setenv("CURL_CA_BUNDLE", (s.dir.path() / "other-ca.pem").c_str(), 1);
        }
        Outcome out;
        const auto start = Clock::now();
        try {
            out.result = op.run();
        } catch (...) {
            out.result = error_kind(std::current_exception());
            out.message = error_message(std::current_exception());
        }
        out.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (saved_ca) ::setenv("CURL_CA_BUNDLE", saved_ca->c_str(), 1);
        sb.clear_faults();
        out.lines = s.ctx.take_lines();
        out.requests = requests(sb.journal(), op.method, op.path).size();
        return out;
    }

    // The process (and its pooled connections) still works: the lookup finds the project.
    static bool healthy() {
        try {
            auto& s = *shared_;
            return ops::get_project_info(s.ctx, "matrix", s.group).has_value();
        } catch (...) {
            return false;
        }
    }
};

std::unique_ptr<FaultMatrix::Shared> FaultMatrix::shared_;

TEST_F(FaultMatrix, EveryOperationKindEndsInItsDocumentedResultForEveryFault) {
    auto& s = *shared_;
    const auto faults = all_faults();
    const auto ops_list = operations();
    int case_number = 0;
    for (const auto& fault : faults) {
        for (const auto& op : ops_list) {
            SCOPED_TRACE(op.kind + " x " + fault.name);
            const std::string file = "fault-" + std::to_string(++case_number) + ".txt";
            const std::string content = "case " + std::to_string(case_number) + ": " + fault.name + "\n";
            if (op.shape == Shape::committing) write_file(std::filesystem::path(s.work) / file, content);

            const Outcome got = run_case(op, fault);
            std::string why = verdict(op, fault, got, file);
            // Within the limits: a stall of 1 s, three tries.
            if (got.seconds > 10.0) why += "took " + std::to_string(got.seconds) + " s; ";
            if (fault.kind != FaultKind::foreign_ca && got.requests == 0) why += "the fault was never met; ";
            // A write reaches the server once, also when its kept-alive connection drops without answering;
            // a request answered 429 goes out as often as the tries allow (three), whatever its method.
            if (throttled_to_the_end(fault) && got.requests != 3) {
                why += "the throttled request reached the server " + std::to_string(got.requests) + " times; ";
            } else if (!throttled_to_the_end(fault) && op.method != "GET" && got.requests > 1) {
                why += "the write reached the server " + std::to_string(got.requests) + " times; ";
            }
            if (op.shape == Shape::committing) {
                // The change is kept in the local commit and in the working tree.
                if (git(s.work, {"show", "HEAD:" + file}, false) != content) why += "local commit lost the change; ";
                if (read_file(std::filesystem::path(s.work) / file) != content) why += "working tree lost the change; ";
            }
            if (!healthy()) why += "the lookup fails afterwards; ";
            (void)s.ctx.take_lines();
            EXPECT_EQ(why, "") << op.kind << " x " << fault.name;

            // What the caller saw: the failure or success line, the result, or the error.
            const auto printed = [&](std::string_view text) {
                return std::any_of(got.lines.begin(), got.lines.end(),
                                   [&](const std::string& line) { return line.find(text) != std::string::npos; });
            };
            std::string seen = got.result == "none" ? "no value" : got.result == "returned" ? "" : got.result;
            if (printed("Failed")) seen = seen.empty() ? "failure line" : "failure line + " + seen;
            if (printed("Successfully") || printed("successfully")) seen = "success line";
            std::ostringstream cell;
            cell << (why.empty() ? "ok: " : "FAIL: ") << seen;
            if (fault.kind != FaultKind::foreign_ca) cell << ", " << got.requests << " req";
            if (got.seconds >= 0.5) cell << ", " << static_cast<int>(got.seconds * 10 + 0.5) / 10.0 << " s";
            s.table[fault.name][op.kind] = cell.str();
        }
    }

    // The table: one row per fault, one column per operation kind, and the count of cases handled.
    std::ostringstream md;
    md << "| fault |";
    for (const auto& op : ops_list) md << ' ' << op.kind << " |";
    md << "\n|---|";
    for (std::size_t i = 0; i < ops_list.size(); ++i) md << "---|";
    md << '\n';
    int handled = 0, total = 0;
    for (const auto& fault : faults) {
        md << "| " << fault.name << " |";
        for (const auto& op : ops_list) {
            const auto& cell = s.table[fault.name][op.kind];
            handled += cell.starts_with("ok") ? 1 : 0;
            ++total;
            md << ' ' << cell << " |";
        }
        md << '\n';
    }
    md << "\nHandled: " << handled << " of " << total << " cases.\n";
    std::cout << md.str();
    if (const char* out = std::getenv("ZORV_FAULT_TABLE"); out && *out) std::ofstream(out) << md.str();
}

// A server of another authority is refused before anything is sent; trusting the right authority
// again (for a new connection) works at once, so nothing of the refused handshake is reused.
TEST_F(FaultMatrix, RefusedCertificateIsNotCachedInEitherDirection) {
    auto& s = *shared_;
    auto& sb = zorv_test::sandbox();
    const std::string good = sb.ca_file();
    ASSERT_TRUE(ops::get_project_info(s.ctx, "matrix", s.group));  // a pooled, verified connection exists
    ::setenv("CURL_CA_BUNDLE", (s.dir.path() / "other-ca.pem").c_str(), 1);
    sb.clear_journal();
    std::string kind;
    try {
        (void)ops::get_project_info(s.ctx, "matrix", s.group);
        kind = "value";
    } catch (...) {
        kind = error_kind(std::current_exception());
    }
    ::setenv("CURL_CA_BUNDLE", good.c_str(), 1);
    EXPECT_EQ(kind, "TlsError") << "a connection verified with another bundle was reused";
    EXPECT_TRUE(requests(sb.journal(), "GET", "^/api/v4/groups/[0-9]+/projects$").empty())
        << "the request reached the server";
    EXPECT_TRUE(ops::get_project_info(s.ctx, "matrix", s.group));
}

// The default limit accepts a large answer whole; a limit below it stops the transfer early instead
// of buffering the rest.
TEST_F(FaultMatrix, ResponseLimitStopsEarlyAndKeepsMemoryBounded) {
    auto& s = *shared_;
    auto& sb = zorv_test::sandbox();
    const std::string pid = std::to_string(s.project);
    auto settings = quick_settings();
    settings.max_response_bytes = 1 << 20;
    RecordingContext small(settings);
    sb.add_fault({{"method", "GET"}, {"path", "^/api/v4/projects/" + pid + "/repository/branches/master$"},
                  {"action", "huge"}, {"size", 64 << 20}, {"times", 1}});
    const auto start = Clock::now();
    EXPECT_THROW((void)ops::get_branch_info(small, "matrix", s.group, "master"), zorv_git_gitlab::ResponseTooLargeError);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));

    settings.max_response_bytes = 16 << 20;
    RecordingContext large(settings);
    sb.add_fault({{"method", "GET"}, {"path", "^/api/v4/projects/" + pid + "/repository/branches/master$"},
                  {"action", "huge"}, {"size", 8 << 20}, {"times", 1}});
    const auto branch = ops::get_branch_info(large, "matrix", s.group, "master");
    ASSERT_TRUE(branch);
    ASSERT_TRUE(branch->is_string());
    EXPECT_EQ(branch->get<std::string>().size(), (8u << 20) - 2);
    sb.clear_faults();
}

}  // namespace
