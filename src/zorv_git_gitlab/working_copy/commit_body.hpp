// The JSON body of a commits-API request, produced piece by piece while it is sent: each file's bytes
// are read from the local commit and base64-encoded in small chunks, so memory stays bounded however
// large or many the files are.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "output.hpp"
#include "working_copy/changes.hpp"
#include "working_copy/git_runner.hpp"

namespace zorv_git_gitlab::working_copy {

// Blob contents, one blob at a time: a file up to 1 MiB is read from the working tree when its bytes
// hash to the blob's id (a plain read, much cheaper than a round trip to git's object store); other
// blobs come from one `git cat-file --batch` child started when first needed (large files, and files
// that differ from what was committed: filters, line-ending conversion, a file changed since).
class BlobReader {
public:
    BlobReader(const GitRunner& git, std::filesystem::path work_tree);
    // Opens the blob committed at `path` and returns its size; GitError when it is missing or not a blob.
    std::uint64_t open(const std::string& blob, const std::string& path);
    // Appends the next `n` bytes of the open blob.
    void read(std::size_t n, std::string& out);
    // Ends the open blob (for git's, consumes the separator that follows its last byte).
    void close();
    // Ends the child, if one was started, and checks its exit status.
    void finish();
    // The sizes of the blobs, in their order, from one `git cat-file --batch-check`.
    [[nodiscard]] std::vector<std::uint64_t> sizes(const std::vector<std::string>& blobs) const;

private:
    zorv_git::process::Child& child();

    const GitRunner& git_;
    std::filesystem::path work_tree_;
    Args args_;
    std::optional<zorv_git::process::Child> child_;
    std::optional<std::string> file_;  // the open blob's bytes, when read from the working tree
    std::size_t file_pos_ = 0;
};

class CommitBody {
public:
    // The payload's fields: every string is placed as nlohmann's dump() of it. Error (before anything
    // is sent) when one of them is not valid UTF-8. With `show_progress`, the bytes handed out advance
    // a progress line of the body's total (computed first from the blobs' sizes).
    CommitBody(const std::string& branch, const std::string& message, const std::vector<Action>& actions,
               const std::optional<std::string>& author_name, const std::optional<std::string>& author_email,
               BlobReader& blobs, bool show_progress = false);

    // Writes the next bytes of the body into `buffer`; 0 at the end.
    std::size_t fill(char* buffer, std::size_t capacity);

private:
    bool produce();  // appends the next piece to pending_; false at the end
    void start_action(const Action& action);
    // The action's JSON text up to its content (for a file: through the content's opening quote), and
    // in `after` what follows the content (empty for an action without content).
    [[nodiscard]] static std::string action_text(const Action& action, const std::string& path, std::string& after);
    // The number of bytes fill() hands out in all.
    [[nodiscard]] std::uint64_t total_size() const;

    const std::vector<Action>& actions_;
    std::vector<std::string> paths_;  // file paths as JSON strings
    std::string head_, tail_;
    BlobReader& blobs_;

    std::string pending_;
    std::size_t pending_pos_ = 0;
    std::size_t next_action_ = 0;
    bool head_done_ = false, done_ = false;
    std::uint64_t blob_left_ = 0;
    std::string after_blob_;
    std::string raw_;
    std::optional<ProgressLine> progress_;
};

}  // namespace zorv_git_gitlab::working_copy
