#include "working_copy/commit_body.hpp"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <memory>

#include "rest/base64.hpp"
#include "zorv_git_gitlab/errors.hpp"
#include "zorv_git_gitlab/json.hpp"

namespace zorv_git_gitlab::working_copy {
namespace {

// Raw bytes encoded at a time: a multiple of 3, so the pieces join into the encoding of the whole.
constexpr std::size_t kRawChunk = 3 * 16384;

// SHA-1 of the two parts one after the other, as lowercase hex.
std::string sha1_hex(std::string_view head, std::string_view rest) {
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
    unsigned int size = 0;
    if (!md || EVP_DigestInit_ex(md.get(), EVP_sha1(), nullptr) != 1 ||
        EVP_DigestUpdate(md.get(), head.data(), head.size()) != 1 ||
        EVP_DigestUpdate(md.get(), rest.data(), rest.size()) != 1 ||
        EVP_DigestFinal_ex(md.get(), digest.data(), &size) != 1)
        return {};
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < size; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

std::string json_string(const std::string& value, std::string_view what) {
    try {
        return Json(value).dump();
    } catch (const Json::type_error&) {
        throw Error("commit_project: " + std::string(what) + " is not valid UTF-8 text");
    }
}

// Files up to this size are read whole from the working tree; larger ones stream from git's object
// store, so memory stays bounded whatever the largest file.
constexpr off_t kWholeFileLimit = off_t{1} << 20;

// The bytes of the regular file `file` when they are the blob `blob` (git's SHA-1 id of
// "blob <size>\0<bytes>"); nothing for a file that is missing, not regular (a symbolic link is not
// followed), larger than kWholeFileLimit, unreadable, or holding other bytes.
std::optional<std::string> read_if_blob(const std::filesystem::path& file, const std::string& blob) {
    if (blob.size() != 40) return std::nullopt;  // a SHA-256 repository: git's object store
    struct Descriptor {
        int fd;
        ~Descriptor() {
            if (fd >= 0) ::close(fd);
        }
    } const opened{::open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC)};
    const int fd = opened.fd;
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size > kWholeFileLimit) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(info.st_size), '\0');
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        done += static_cast<std::size_t>(n);
    }
    if (sha1_hex("blob " + std::to_string(bytes.size()) + '\0', bytes) != blob) return std::nullopt;
    return bytes;
}

}  // namespace

BlobReader::BlobReader(const GitRunner& git, std::filesystem::path work_tree)
    : git_(git), work_tree_(std::move(work_tree)), args_{"cat-file", "--batch"} {}

zorv_git::process::Child& BlobReader::child() {
    if (!child_) child_.emplace(git_.start(args_));
    return *child_;
}

std::uint64_t BlobReader::open(const std::string& blob, const std::string& path) {
    file_ = read_if_blob(work_tree_ / path, blob);
    file_pos_ = 0;
    if (file_) return file_->size();
    child().write(blob + "\n");
    std::string header;
    if (!child().read_line(header)) git_.fail(args_, child().wait());
    // "<object> blob <size>", or "<object> missing"
    const auto last_space = header.rfind(' ');
    const auto type_space = last_space == std::string::npos ? std::string::npos : header.rfind(' ', last_space - 1);
    std::uint64_t size = 0;
    if (type_space != std::string::npos && header.compare(type_space + 1, last_space - type_space - 1, "blob") == 0) {
        const char* first = header.data() + last_space + 1;
        const char* last = header.data() + header.size();
        const auto [end, ec] = std::from_chars(first, last, size);
        if (ec == std::errc{} && end == last) return size;
    }
    git_.fail(args_, "object " + blob + " of the local commit cannot be read as a file: " + header, -1);
}

void BlobReader::read(std::size_t n, std::string& out) {
    if (file_) {
        out.append(*file_, file_pos_, n);
        file_pos_ += n;
        return;
    }
    if (!child().read_exact(n, out)) git_.fail(args_, child().wait());
}

void BlobReader::close() {
    if (file_) {
        file_.reset();
        return;
    }
    std::string separator;
    if (!child().read_exact(1, separator) || separator != "\n") {
        git_.fail(args_, "unexpected output after an object", -1);
    }
}

void BlobReader::finish() {
    if (!child_) return;
    const auto result = child_->wait();
    if (!result.ok()) git_.fail(args_, result);
}

std::vector<std::uint64_t> BlobReader::sizes(const std::vector<std::string>& blobs) const {
    std::vector<std::uint64_t> found;
    if (blobs.empty()) return found;
    std::string ids;
    for (const auto& blob : blobs) ids += blob + "\n";
    const Args args{"cat-file", "--batch-check=%(objectsize)"};
    const std::string out = git_.output(args, {.stdin_data = ids});
    std::string_view rest = out;
    while (found.size() < blobs.size()) {
        const auto end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        std::uint64_t size = 0;
        const auto [last, ec] = std::from_chars(line.data(), line.data() + line.size(), size);
        if (ec != std::errc{} || last != line.data() + line.size()) {
            git_.fail(args, "object " + blobs[found.size()] + " of the local commit: " + std::string(line), -1);
        }
        found.push_back(size);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    }
    return found;
}

CommitBody::CommitBody(const std::string& branch, const std::string& message, const std::vector<Action>& actions,
                       const std::optional<std::string>& author_name, const std::optional<std::string>& author_email,
                       BlobReader& blobs, bool show_progress)
    : actions_(actions), blobs_(blobs) {
    head_ = "{\"branch\":" + json_string(branch, "the branch name") +
            ",\"commit_message\":" + json_string(message, "the commit message") + ",\"actions\":[";
    paths_.reserve(actions.size());
    for (const auto& action : actions) paths_.push_back(json_string(action.path, "the path " + action.path));
    tail_ = "]";
    if (author_name && author_email && !author_name->empty() && !author_email->empty()) {
        tail_ += ",\"author_name\":" + json_string(*author_name, "the author name") +
                 ",\"author_email\":" + json_string(*author_email, "the author e-mail address");
    }
    tail_ += "}";
    if (show_progress) progress_.emplace("Uploading the commit", total_size());
}

std::uint64_t CommitBody::total_size() const {
    std::vector<std::string> blobs;
    for (const auto& action : actions_) {
        if (action.kind == ActionKind::create || action.kind == ActionKind::update) blobs.push_back(action.blob);
    }
    const auto sizes = blobs_.sizes(blobs);
    std::uint64_t total = head_.size() + tail_.size();
    std::size_t next = 0;
    for (std::size_t i = 0; i < actions_.size(); ++i) {
        std::string after;
        total += (i > 0 ? 1 : 0) + action_text(actions_[i], paths_[i], after).size() + after.size();
        if (!after.empty()) total += 4 * ((sizes[next++] + 2) / 3);  // base64: 4 characters per 3 bytes
    }
    return total;
}

std::size_t CommitBody::fill(char* buffer, std::size_t capacity) {
    std::size_t written = 0;
    while (written < capacity) {
        if (pending_pos_ < pending_.size()) {
            const std::size_t n = std::min(capacity - written, pending_.size() - pending_pos_);
            std::memcpy(buffer + written, pending_.data() + pending_pos_, n);
            written += n;
            pending_pos_ += n;
            continue;
        }
        pending_.clear();
        pending_pos_ = 0;
        if (!produce()) break;
    }
    if (progress_) {
        progress_->advance(written);
        if (written == 0) progress_->complete();
    }
    return written;
}

std::string CommitBody::action_text(const Action& action, const std::string& path, std::string& after) {
    std::string text = "{\"action\":\"";
    text += action_name(action.kind);
    text += "\",\"file_path\":" + path;
    // The last key: the file's last commit on the branch, which makes GitLab refuse the action once
    // the file has changed there since.
    const std::string end =
        action.last_commit_id.empty() ? "}" : ",\"last_commit_id\":\"" + action.last_commit_id + "\"}";
    after.clear();
    switch (action.kind) {
    case ActionKind::remove:
        text += end;
        break;
    case ActionKind::chmod:
        text += action.executable ? ",\"execute_filemode\":true" : ",\"execute_filemode\":false";
        text += end;
        break;
    case ActionKind::create:
    case ActionKind::update:
        text += ",\"content\":\"";
        after = "\",\"encoding\":\"base64\"";
        if (action.executable) after += ",\"execute_filemode\":true";
        after += end;
        break;
    }
    return text;
}

void CommitBody::start_action(const Action& action) {
    if (next_action_ > 0) pending_ += ',';
    pending_ += action_text(action, paths_[next_action_], after_blob_);
    if (after_blob_.empty()) return;
    blob_left_ = blobs_.open(action.blob, action.path);
    if (blob_left_ == 0) {
        blobs_.close();
        pending_ += after_blob_;
    }
}

bool CommitBody::produce() {
    if (blob_left_ > 0) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(blob_left_, kRawChunk));
        raw_.clear();
        blobs_.read(n, raw_);
        blob_left_ -= n;
        rest::base64_append(pending_, raw_);
        if (blob_left_ == 0) {
            blobs_.close();
            pending_ += after_blob_;
        }
        return true;
    }
    if (done_) return false;
    if (!head_done_) {
        head_done_ = true;
        pending_ = head_;
    } else if (next_action_ < actions_.size()) {
        start_action(actions_[next_action_]);
        ++next_action_;
    } else {
        done_ = true;
        pending_ = tail_;
    }
    return true;
}

}  // namespace zorv_git_gitlab::working_copy
