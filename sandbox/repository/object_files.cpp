#include "repository/object_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <exception>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <set>
#include <thread>

namespace zorv_sandbox::repo::object_files {
namespace {

namespace fs = std::filesystem;

bool all_digits(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The inflated content of a zlib stream, nullopt when it is not one.
std::optional<std::string> inflate_all(const std::string& compressed) {
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return std::nullopt;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    z.avail_in = static_cast<uInt>(compressed.size());
    std::string out;
    std::array<char, 16 * 1024> chunk{};
    int rc = Z_OK;
    while (rc == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(chunk.data());
        z.avail_out = static_cast<uInt>(chunk.size());
        rc = inflate(&z, Z_NO_FLUSH);
        out.append(chunk.data(), chunk.size() - z.avail_out);
        if (rc == Z_BUF_ERROR && z.avail_in == 0) break;  // truncated
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) return std::nullopt;
    return out;
}

struct Ident {
    std::string name, email, date;  // date as git's strict ISO 8601 in the ident's own zone
    std::int64_t seconds = 0;
};

// "+hhmm" / "-hhmm" as minutes east of UTC.
std::optional<int> zone_minutes(std::string_view tz) {
    if (tz.size() != 5 || (tz[0] != '+' && tz[0] != '-') || !all_digits(tz.substr(1))) return std::nullopt;
    const int hours = (tz[1] - '0') * 10 + (tz[2] - '0');
    const int minutes = (tz[3] - '0') * 10 + (tz[4] - '0');
    if (minutes >= 60) return std::nullopt;
    return (tz[0] == '-' ? -1 : 1) * (hours * 60 + minutes);
}

// What `%aI` prints: 2024-05-01T12:00:00+02:00, in the zone the commit recorded. nullopt for a
// local time before the epoch, where git stops ("Timestamp before Unix epoch").
std::optional<std::string> iso_strict(std::int64_t seconds, int zone) {
    const std::time_t local = static_cast<std::time_t>(seconds + std::int64_t{zone} * 60);
    std::tm tm{};
    if (local < 0 || gmtime_r(&local, &tm) == nullptr) return std::nullopt;
    const int offset = zone < 0 ? -zone : zone;
    std::array<char, 64> text{};
    const int n = std::snprintf(text.data(), text.size(), "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", tm.tm_year + 1900,
                                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, zone < 0 ? '-' : '+',
                                offset / 60, offset % 60);
    if (n <= 0 || static_cast<std::size_t>(n) >= text.size()) return std::nullopt;
    return std::string(text.data(), static_cast<std::size_t>(n));
}

// "Name <email> 1700000000 +0100", in the plain form only: one '<', one '>', a decimal time and
// a four-digit zone. git has repair rules for anything else, so that is left to git.
std::optional<Ident> parse_ident(std::string_view line) {
    const auto open = line.find('<');
    const auto close = line.find('>');
    if (open == std::string_view::npos || close == std::string_view::npos || close < open ||
        line.find('<', open + 1) != std::string_view::npos || line.find('>', close + 1) != std::string_view::npos)
        return std::nullopt;
    std::string_view name = line.substr(0, open);
    // git trims its own white space (space, tab, CR, LF) from the end of the name.
    while (!name.empty() && std::string_view(" \t\r\n").find(name.back()) != std::string_view::npos)
        name.remove_suffix(1);
    const std::string_view rest = line.substr(close + 1);  // " 1700000000 +0100"
    const auto space = rest.rfind(' ');
    if (rest.size() < 2 || rest[0] != ' ' || space == 0 || space == std::string_view::npos) return std::nullopt;
    const std::string_view time = rest.substr(1, space - 1);
    const auto zone = zone_minutes(rest.substr(space + 1));
    if (!all_digits(time) || time.size() > 12 || !zone) return std::nullopt;
    Ident ident;
    std::from_chars(time.data(), time.data() + time.size(), ident.seconds);
    const auto date = iso_strict(ident.seconds, *zone);
    if (!date) return std::nullopt;
    ident.name = std::string(name);
    ident.email = std::string(line.substr(open + 1, close - open - 1));
    ident.date = *date;
    return ident;
}

// The parts of a ref name between slashes, empty ones included.
std::vector<std::string_view> components(std::string_view name) {
    std::vector<std::string_view> out;
    for (std::size_t start = 0; start <= name.size();) {
        auto end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        out.push_back(name.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// A file written in full under a name of its own (a ref's lock file, a temporary object file) and
// renamed onto its target once complete, so that readers never see part of it. Removed unless placed.
class StagedFile {
public:
    // Creates `path`, which must not exist; opened() says whether it was (errno then says why not).
    StagedFile(fs::path path, mode_t mode) : path_(std::move(path)) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    }
    StagedFile(const StagedFile&) = delete;
    StagedFile& operator=(const StagedFile&) = delete;
    ~StagedFile() {
        if (fd_ >= 0) {
            ::close(fd_);
            ::unlink(path_.c_str());
        }
    }
    [[nodiscard]] bool opened() const noexcept { return fd_ >= 0; }
    [[nodiscard]] const fs::path& path() const noexcept { return path_; }
    [[nodiscard]] bool write(std::string_view bytes) const {
        while (!bytes.empty()) {
            const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    [[nodiscard]] bool place(const fs::path& target) {
        const bool closed = ::close(std::exchange(fd_, -1)) == 0;
        if (closed && ::rename(path_.c_str(), target.c_str()) == 0) return true;
        ::unlink(path_.c_str());
        return false;
    }

private:
    fs::path path_;
    int fd_ = -1;
};

// An object's or a content's digest, SHA-1 unless told otherwise.
class Digest {
public:
    explicit Digest(const EVP_MD* algorithm = EVP_sha1()) : md_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
        if (!md_ || EVP_DigestInit_ex(md_.get(), algorithm, nullptr) != 1) throw GitError("cannot hash an object");
    }
    void add(std::string_view bytes) {
        if (EVP_DigestUpdate(md_.get(), bytes.data(), bytes.size()) != 1) throw GitError("cannot hash an object");
    }
    std::string digest() {
        std::array<unsigned char, EVP_MAX_MD_SIZE> out{};
        unsigned int size = 0;
        if (EVP_DigestFinal_ex(md_.get(), out.data(), &size) != 1) throw GitError("cannot hash an object");
        return std::string(reinterpret_cast<const char*>(out.data()), size);
    }

private:
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md_;
};

std::string to_hex(std::string_view raw) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char c : raw) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

std::string blob_header(std::size_t size) { return "blob " + std::to_string(size) + '\0'; }

// The raw (20-byte) id of a blob: SHA-1 of "blob <size>\0<content>".
std::string blob_id(std::string_view content) {
    Digest sha;
    sha.add(blob_header(content.size()));
    sha.add(content);
    return sha.digest();
}

// Everything given, as one zlib stream at `level`.
std::string deflate_all(std::initializer_list<std::string_view> parts, int level) {
    std::size_t total = 0;
    for (const auto part : parts) total += part.size();
    z_stream z{};
    if (deflateInit(&z, level) != Z_OK) throw GitError("cannot compress an object");
    std::string out(deflateBound(&z, static_cast<uLong>(total)), '\0');
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    int rc = Z_OK;
    std::size_t left = parts.size();
    for (const auto part : parts) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(part.data()));
        z.avail_in = static_cast<uInt>(part.size());
        rc = deflate(&z, --left == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (rc != Z_OK && rc != Z_STREAM_END) break;
    }
    const auto written = out.size() - z.avail_out;
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw GitError("cannot compress an object");
    out.resize(written);
    return out;
}

// A fresh name for an object file being written in `dir`.
fs::path temporary_object(const fs::path& dir) {
    std::mt19937_64 random(std::random_device{}());
    return dir / ("tmp_obj_" + std::to_string(random()));
}

void must(bool done, const fs::path& file) {
    if (!done) throw GitError("cannot write " + file.string());
}

// git keeps a push of fewer objects than this loose (receive.unpackLimit), and so does the sandbox.
constexpr std::size_t kUnpackLimit = 100;

void write_loose(const fs::path& git_dir, const std::string& raw_id, std::string_view content) {
    const std::string id = to_hex(raw_id);
    const fs::path dir = git_dir / "objects" / id.substr(0, 2);
    std::error_code ec;
    if (fs::exists(dir / id.substr(2), ec)) return;
    fs::create_directories(dir, ec);
    // Read-only, as git makes object files; core.looseCompression's default, Z_BEST_SPEED.
    StagedFile file(temporary_object(dir), 0444);
    must(file.opened() && file.write(deflate_all({blob_header(content.size()), content}, Z_BEST_SPEED)), file.path());
    must(file.place(dir / id.substr(2)), dir / id.substr(2));
}

void put_u32(std::string& out, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>((v >> shift) & 0xff);
}

struct PackEntry {
    std::string id;  // raw
    std::uint64_t offset = 0;
    std::uint32_t crc = 0;
};

// An entry's header: type 3 (blob) and the size, four bits and then seven at a time.
std::string pack_object_header(std::uint64_t size) {
    std::string head;
    unsigned char byte = static_cast<unsigned char>((3 << 4) | (size & 0x0f));
    for (size >>= 4; size != 0; size >>= 7) {
        head += static_cast<char>(byte | 0x80);
        byte = static_cast<unsigned char>(size & 0x7f);
    }
    head += static_cast<char>(byte);
    return head;
}

// objects[first, last) compressed, on as many threads as the machine has cores (at most four).
std::vector<std::string> compress(const std::vector<std::pair<std::string, std::string_view>>& objects,
                                  std::size_t first, std::size_t last) {
    std::vector<std::string> out(last - first);
    const std::size_t threads = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, 4);
    std::vector<std::exception_ptr> errors(threads);
    {
        std::vector<std::jthread> workers;
        for (std::size_t t = 0; t < threads; ++t) {
            workers.emplace_back([&, t] {
                try {
                    for (std::size_t i = first + t; i < last; i += threads)
                        out[i - first] = deflate_all({objects[i].second}, Z_BEST_SPEED);
                } catch (...) {
                    errors[t] = std::current_exception();
                }
            });
        }
    }
    for (const auto& error : errors)
        if (error) std::rethrow_exception(error);
    return out;
}

// "PACK", version 2, the objects and the checksum, written to `pack`; the entries and the checksum.
std::pair<std::vector<PackEntry>, std::string> write_pack_data(
    StagedFile& pack, const std::vector<std::pair<std::string, std::string_view>>& objects) {
    Digest checksum;
    std::uint64_t offset = 0;
    const auto emit = [&](std::string_view bytes) {
        must(pack.write(bytes), pack.path());
        checksum.add(bytes);
        offset += bytes.size();
    };
    std::string header = "PACK";
    put_u32(header, 2);
    put_u32(header, static_cast<std::uint32_t>(objects.size()));
    emit(header);
    std::vector<PackEntry> entries;
    // Compressed a batch of about 8 MiB at a time, so memory stays bounded by the batch.
    constexpr std::size_t kBatchBytes = 8 << 20;
    for (std::size_t first = 0; first < objects.size();) {
        std::size_t last = first, bytes = 0;
        while (last < objects.size() && (last == first || bytes < kBatchBytes)) bytes += objects[last++].second.size();
        const auto compressed = compress(objects, first, last);
        for (std::size_t i = first; i < last; ++i) {
            const std::string head = pack_object_header(objects[i].second.size());
            const std::string& data = compressed[i - first];
            auto crc = crc32(0, reinterpret_cast<const Bytef*>(head.data()), static_cast<uInt>(head.size()));
            crc = crc32(crc, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size()));
            entries.push_back({objects[i].first, offset, static_cast<std::uint32_t>(crc)});
            emit(head);
            emit(data);
        }
        first = last;
    }
    std::string sum = checksum.digest();
    must(pack.write(sum), pack.path());
    return {std::move(entries), std::move(sum)};
}

// The index (version 2) of a pack: fan-out, sorted ids, CRCs, offsets, the pack's and its own checksum.
std::string pack_index(std::vector<PackEntry> entries, const std::string& pack_sum) {
    std::sort(entries.begin(), entries.end(), [](const PackEntry& a, const PackEntry& b) { return a.id < b.id; });
    std::string index = "\377tOc";
    put_u32(index, 2);
    std::array<std::uint32_t, 256> fanout{};
    for (const auto& e : entries) ++fanout[static_cast<unsigned char>(e.id[0])];
    std::uint32_t running = 0;
    for (const auto count : fanout) put_u32(index, running += count);
    for (const auto& e : entries) index += e.id;
    for (const auto& e : entries) put_u32(index, e.crc);
    std::string large;
    for (const auto& e : entries) {
        if (e.offset < 0x80000000u) {
            put_u32(index, static_cast<std::uint32_t>(e.offset));
        } else {
            put_u32(index, 0x80000000u | static_cast<std::uint32_t>(large.size() / 8));
            put_u32(large, static_cast<std::uint32_t>(e.offset >> 32));
            put_u32(large, static_cast<std::uint32_t>(e.offset));
        }
    }
    index += large;
    index += pack_sum;
    Digest own;
    own.add(index);
    return index + own.digest();
}

// One pack of whole blobs and its index, as index-pack would leave them:
// objects/pack/pack-<checksum>.{pack,idx}, the index placed last.
void write_pack(const fs::path& git_dir, const std::vector<std::pair<std::string, std::string_view>>& objects) {
    const fs::path dir = git_dir / "objects" / "pack";
    std::error_code ec;
    fs::create_directories(dir, ec);
    StagedFile pack(temporary_object(dir), 0444);
    must(pack.opened(), pack.path());
    auto [entries, pack_sum] = write_pack_data(pack, objects);
    const std::string index = pack_index(std::move(entries), pack_sum);
    const std::string name = "pack-" + to_hex(pack_sum);
    must(pack.place(dir / (name + ".pack")), dir / (name + ".pack"));
    StagedFile idx(temporary_object(dir), 0444);
    must(idx.opened() && idx.write(index), idx.path());
    must(idx.place(dir / (name + ".idx")), dir / (name + ".idx"));
}

// Whether the repository's configuration sets `key` (lower case) at all, to any value.
bool configures(const fs::path& git_dir, std::string_view key) {
    std::string config = read_file(git_dir / "config").value_or("");
    std::transform(config.begin(), config.end(), config.begin(), [](unsigned char c) { return std::tolower(c); });
    return config.find(key) != std::string::npos;
}

bool uses_sha1(const fs::path& git_dir) { return !configures(git_dir, "objectformat"); }

}  // namespace

bool is_object_id(std::string_view s) {
    return (s.size() == 40 || s.size() == 64) &&
           std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::optional<std::string> read_file(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    try {
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        return std::nullopt;  // a directory (a ref with refs below it) opens, but reading it fails
    }
}

std::string sha256_hex(std::string_view data) {
    Digest digest(EVP_sha256());
    digest.add(data);
    return to_hex(digest.digest());
}

std::optional<std::vector<std::string>> write_blobs(const fs::path& git_dir,
                                                    const std::vector<std::string_view>& contents) {
    if (!uses_sha1(git_dir)) return std::nullopt;
    std::vector<std::string> ids;
    std::vector<std::pair<std::string, std::string_view>> unique;  // raw id, content
    std::set<std::string> seen;
    for (const auto content : contents) {
        std::string raw = blob_id(content);
        ids.push_back(to_hex(raw));
        if (seen.insert(raw).second) unique.emplace_back(std::move(raw), content);
    }
    if (unique.size() < kUnpackLimit) {
        for (const auto& [raw, content] : unique) write_loose(git_dir, raw, content);
    } else {
        write_pack(git_dir, unique);
    }
    return ids;
}

std::optional<CommitInfo> parse_commit(const std::string& oid, std::string_view raw) {
    // git ends the message at a NUL.
    const auto blank = raw.find("\n\n");
    if (blank == std::string_view::npos || raw.find('\0') != std::string_view::npos) return std::nullopt;
    CommitInfo commit;
    commit.id = oid;
    std::optional<Ident> author, committer;
    std::string_view headers = raw.substr(0, blank + 1);
    // git takes the tree from the first line and the parents from the lines right after it.
    const auto object_id = [&](std::string_view v) { return v.size() == oid.size() && is_object_id(v); };
    bool seen_tree = false, in_parents = false;
    while (!headers.empty()) {
        const auto end = headers.find('\n');
        const std::string_view line = headers.substr(0, end);
        headers.remove_prefix(end + 1);
        const auto space = line.find(' ');
        const std::string_view key = line.substr(0, space);
        const std::string_view value = space == std::string_view::npos ? std::string_view() : line.substr(space + 1);
        if (!seen_tree) {
            if (key != "tree" || !object_id(value)) return std::nullopt;
            seen_tree = in_parents = true;
            continue;
        }
        if (in_parents && key == "parent" && object_id(value)) {
            commit.parents.emplace_back(value);
            continue;
        }
        in_parents = false;
        if (line.starts_with(' ')) continue;  // continuation of a signature or merge tag
        if (key == "author" && !author) {
            if (!(author = parse_ident(value))) return std::nullopt;
        } else if (key == "committer" && author && !committer) {
            if (!(committer = parse_ident(value))) return std::nullopt;
        } else if (key == "encoding" || key == "tree" || key == "parent" || key == "author" || key == "committer") {
            return std::nullopt;  // re-encoded or unusual: git's own reading decides
        }
    }
    if (!seen_tree || !author || !committer) return std::nullopt;
    commit.author_name = std::move(author->name);
    commit.author_email = std::move(author->email);
    commit.authored_date = gitlab_date(author->date);
    commit.committer_name = std::move(committer->name);
    commit.committer_email = std::move(committer->email);
    commit.committed_date = gitlab_date(committer->date);
    commit.committed_at = committer->seconds;
    commit.message = std::string(raw.substr(blank + 2));
    return commit;
}

std::optional<CommitInfo> read_commit(const fs::path& git_dir, const std::string& oid) {
    if (!is_object_id(oid)) return std::nullopt;
    const auto compressed = read_file(git_dir / "objects" / oid.substr(0, 2) / oid.substr(2));
    if (!compressed) return std::nullopt;
    const auto object = inflate_all(*compressed);
    if (!object) return std::nullopt;
    // "commit <size>\0<content>"
    constexpr std::string_view kind = "commit ";
    const auto nul = object->find('\0');
    if (!object->starts_with(kind) || nul == std::string::npos) return std::nullopt;
    const std::string_view size = std::string_view(*object).substr(kind.size(), nul - kind.size());
    std::size_t declared = 0;
    if (!all_digits(size) || std::from_chars(size.data(), size.data() + size.size(), declared).ec != std::errc() ||
        declared != object->size() - nul - 1)
        return std::nullopt;
    return parse_commit(oid, std::string_view(*object).substr(nul + 1));
}

bool valid_refname(std::string_view name) {
    if (name.empty() || name == "@" || name.back() == '.') return false;
    if (name.find("..") != std::string_view::npos || name.find("@{") != std::string_view::npos) return false;
    for (const unsigned char c : name) {
        if (c < 0x20 || c == 0x7f || std::string_view(" ~^:?*[\\").find(static_cast<char>(c)) != std::string_view::npos)
            return false;
    }
    for (const auto component : components(name)) {
        if (component.empty() || component.starts_with('.') || component.ends_with(".lock")) return false;
    }
    return true;
}

RefUpdate update_ref(const fs::path& git_dir, const std::string& ref, const std::string& value,
                     const std::string& expected) {
    std::error_code ec;
    if (!ref.starts_with("refs/") || !valid_refname(ref) || !is_object_id(value) ||
        fs::exists(git_dir / "packed-refs", ec) || fs::exists(git_dir / "logs", ec) ||
        configures(git_dir, "logallrefupdates"))
        return RefUpdate::ask_git;
    const fs::path target = git_dir / ref;
    fs::create_directories(target.parent_path(), ec);
    if (ec || fs::is_directory(target, ec)) return RefUpdate::ask_git;

    StagedFile lock(target.string() + ".lock", 0666);
    if (!lock.opened()) return errno == EEXIST ? RefUpdate::refused : RefUpdate::ask_git;
    std::string current = read_file(target).value_or("");
    while (!current.empty() && current.back() == '\n') current.pop_back();
    if (!current.empty() && !is_object_id(current)) return RefUpdate::ask_git;  // a symbolic ref: git follows it
    if (current != expected) return RefUpdate::refused;
    if (!lock.write(value + "\n") || !lock.place(target)) return RefUpdate::ask_git;
    return RefUpdate::done;
}

}  // namespace zorv_sandbox::repo::object_files
