// The server's commit written from its answer: dates in GitLab's form turned into git's, and the
// object's text, whose id must be the one the server reports.
#include <gtest/gtest.h>

#include "working_copy/server_commit.hpp"

namespace {

namespace wc = zorv_git_gitlab::working_copy;
using zorv_git_gitlab::Json;

TEST(ServerCommit, DatesInGitLabsFormBecomeGitsSecondsAndZone) {
    EXPECT_EQ(wc::git_date("2024-05-01T12:00:00.000+02:00"), "1714557600 +0200");
    EXPECT_EQ(wc::git_date("2024-05-01T10:00:00Z"), "1714557600 +0000");
    EXPECT_EQ(wc::git_date("2024-05-01T04:30:00.123456-05:30"), "1714557600 -0530");
    EXPECT_EQ(wc::git_date("1970-01-01T00:00:00.000+00:00"), "0 +0000");
    for (const char* bad : {"", "2024-05-01", "2024-05-01 12:00:00+02:00", "2024-02-30T12:00:00Z",
                            "2024-05-01T12:00:00+0200", "2024-05-01T12:00:00.000", "2024-05-01T1x:00:00Z"}) {
        EXPECT_EQ(wc::git_date(bad), std::nullopt) << bad;
    }
}

// The text git hashes for the commit the answer describes.
TEST(ServerCommit, ObjectTextIsWhatGitWouldHash) {
    const Json answer = {{"id", "x"},
                         {"parent_ids", {"1111111111111111111111111111111111111111"}},
                         {"author_name", "Ann"},
                         {"author_email", "ann@example.com"},
                         {"authored_date", "2024-05-01T12:00:00.000+02:00"},
                         {"committer_name", "Bob"},
                         {"committer_email", "bob@example.com"},
                         {"committed_date", "2024-05-01T10:00:01.000Z"},
                         {"message", "subject\n\nbody"}};
    EXPECT_EQ(wc::commit_object("4b825dc642cb6eb9a060e54bf8d69288fbee4904", answer, "subject\n\nbody"),
              "tree 4b825dc642cb6eb9a060e54bf8d69288fbee4904\n"
              "parent 1111111111111111111111111111111111111111\n"
              "author Ann <ann@example.com> 1714557600 +0200\n"
              "committer Bob <bob@example.com> 1714557601 +0000\n"
              "\n"
              "subject\n\nbody");
}

}  // namespace
