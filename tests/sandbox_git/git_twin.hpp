// What the tests of the sandbox's in-process git against git itself share: a bare repository of
// their own that git runs on as the sandbox runs it, and seeded inputs whose seed every failure names.
#pragma once

#include <gtest/gtest.h>

#include "repository/git_repo.hpp"
#include "repository/object_files.hpp"
#include "temp_dir.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace zorv_test::git_twin {

namespace fs = std::filesystem;
namespace repo = zorv_sandbox::repo;

// Pseudo-random inputs from a fixed seed, so every run checks the same ones; ZORV_GIT_SEED picks others.
class Random {
public:
    Random() {
        if (const char* s = std::getenv("ZORV_GIT_SEED")) seed_ = std::strtoull(s, nullptr, 10);
        engine_.seed(seed_);
    }
    // For SCOPED_TRACE: how to repeat a failure.
    [[nodiscard]] std::string trace() const { return "ZORV_GIT_SEED=" + std::to_string(seed_); }
    std::size_t below(std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(engine_); }
    bool chance(int percent) { return below(100) < static_cast<std::size_t>(percent); }
    template <typename T>
    const T& pick(const std::vector<T>& items) {
        return items[below(items.size())];
    }
    // `n` bytes drawn from `alphabet`, or of any value when it is empty.
    std::string bytes(std::size_t n, std::string_view alphabet = {}) {
        std::string out(n, '\0');
        for (auto& c : out) c = alphabet.empty() ? static_cast<char>(engine_()) : alphabet[below(alphabet.size())];
        return out;
    }
    // `n` pieces picked from `pieces`, joined.
    std::string join(std::size_t n, const std::vector<std::string>& pieces) {
        std::string out;
        while (n-- > 0) out += pick(pieces);
        return out;
    }

private:
    std::uint64_t seed_ = 20261219;
    std::mt19937_64 engine_;
};

// A fresh bare repository, removed at the end; `git` runs git on it the sandbox's way (its own
// configuration only, nothing from the user's environment).
struct Repo {
    explicit Repo(const std::vector<std::string>& init_options = {}) {
        fs::create_directory(dir);
        std::vector<std::string> args{"init", "-q", "--bare"};
        args.insert(args.end(), init_options.begin(), init_options.end());
        git.git(args);
    }
    // git's answer, or nullopt when it refused (non-zero exit).
    [[nodiscard]] std::optional<std::string> ask(const std::vector<std::string>& args) const {
        std::string out;
        if (git.git_status(args, &out) != 0) return std::nullopt;
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }
    // A commit of the empty tree with fixed dates, told apart by its message: the same id in any repository.
    [[nodiscard]] std::string commit(const std::string& message) const {
        const std::string ident = " A <a@example.com> 1700000000 +0100\n";
        const std::string text =
            "tree " + git.write_tree({}) + "\nauthor" + ident + "committer" + ident + "\n" + message;
        auto id = git.git({"hash-object", "-t", "commit", "-w", "--stdin"}, text + '\n');
        id.pop_back();
        return id;
    }

    TempDir temp;
    fs::path dir = temp.path() / "repo.git";
    repo::GitRepo git{dir};
};

// A file's permission bits in octal ("444").
inline std::string permissions(const fs::path& file) {
    const auto bits = static_cast<unsigned>(fs::status(file).permissions()) & 0777U;
    return std::to_string(bits >> 6) + std::to_string((bits >> 3) & 7U) + std::to_string(bits & 7U);
}

// Each file below `root`/`sub` by its path from `root`: permission bits (octal) and bytes. What a
// reader of the repository sees of a ref or an object write.
inline std::map<std::string, std::string> snapshot(const fs::path& root, const std::string& sub) {
    std::map<std::string, std::string> files;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root / sub, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        files[fs::relative(it->path(), root).string()] =
            permissions(it->path()) + " " + repo::object_files::read_file(it->path()).value_or("");
    }
    return files;
}

}  // namespace zorv_test::git_twin
