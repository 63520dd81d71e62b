// Objects and refs of a bare repository read and written in process, for the paths every branch
// or commit request takes. Each function answers only the plain cases and says
// so otherwise, and the caller then asks git, so the results stay git's own.
#pragma once

#include "repository/git_repo.hpp"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zorv_sandbox::repo::object_files {

// A full object id: 40 (SHA-1) or 64 (SHA-256) lowercase hex digits.
bool is_object_id(std::string_view s);
// git's refname rules (refs.c, check_refname_component and check_refname_format with
// REFNAME_ALLOW_ONELEVEL): no empty component, none starting with '.' or ending with ".lock", no
// "..", "@{", control characters, space, '~', '^', ':', '?', '*', '[', '\\', no trailing '.', not "@".
bool valid_refname(std::string_view name);
// A file's whole content; nullopt when it cannot be read.
std::optional<std::string> read_file(const std::filesystem::path& file);
// SHA-256 of `data` as lowercase hex.
std::string sha256_hex(std::string_view data);

// The commit as `git log` describes it, read from its loose object file. nullopt when the object
// is not loose (packed, absent) or holds anything git would rewrite for display or refuse (an
// encoding header, an identity or date that is not in git's plain form, headers out of git's
// order, a NUL).
std::optional<CommitInfo> read_commit(const std::filesystem::path& git_dir, const std::string& oid);

// The commit parsed from the raw text of a commit object, on the same terms.
std::optional<CommitInfo> parse_commit(const std::string& oid, std::string_view raw);

// Writes each content as a blob and returns their ids in the same order: fewer than 100 new
// blobs as loose objects, more as one pack with its index, as a push through git would leave
// them (receive.unpackLimit). nullopt when the repository does not use SHA-1 ids, which is left
// to git.
std::optional<std::vector<std::string>> write_blobs(const std::filesystem::path& git_dir,
                                                    const std::vector<std::string_view>& contents);

enum class RefUpdate { done, refused, ask_git };

// Compare-and-swap of one ref through git's lock file: `value` is written when the ref holds
// `expected` (empty: the ref must not exist). `refused` when it held something else or another
// writer holds the lock; `ask_git` when the repository keeps packed refs or reflogs (a logs/
// directory, core.logAllRefUpdates), the ref is a symbolic one, or its path is not a plain file
// path, which git handles with rules of its own. `value` names an existing object (a commit for a
// branch): git checks that, this does not.
RefUpdate update_ref(const std::filesystem::path& git_dir, const std::string& ref, const std::string& value,
                     const std::string& expected);

}  // namespace zorv_sandbox::repo::object_files
