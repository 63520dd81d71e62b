// The three measured operations, each sent by one of the C++-driven clients:
//   library   GitlabGit's class-level operations (the C++ face of the library)
//   libcurl   baseline (c): one easy handle, one kept-alive connection, the same requests, no decoding
//   curl      baseline (b): the curl program, started once per request
// Every call checks the answer it needs (a found project, a pipeline record, a created branch), so a
// benchmark never times requests that failed.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common.hpp"

namespace zorv_bench {

class Client {
public:
    virtual ~Client() = default;
    virtual void get_project_info() = 0;
    virtual void get_single_pipeline_status() = 0;
    // The four requests: the lookup, the existence test (a second lookup and the branch GET), the POST.
    virtual void create_branch(const std::string& branch) = 0;
    // Microseconds of each request of the last operation, for clients that time them one by one.
    [[nodiscard]] virtual std::vector<double> request_times() const { return {}; }
};

// kind: "library", "libcurl" or "curl".
std::unique_ptr<Client> make_client(const std::string& kind, const Target& target);

// Runs the named operation once ("get_project_info", "get_single_pipeline_status", "create_branch").
void run_operation(Client& client, const std::string& operation, const std::string& branch);

}  // namespace zorv_bench
