// URL, form and base64 encoding of the request layer.
#include <gtest/gtest.h>

#include "rest/base64.hpp"
#include "rest/url.hpp"

namespace rest = zorv_git_gitlab::rest;

TEST(PathSegments, EveryValueStaysOneSegment) {
    const std::pair<std::string, std::string> cases[] = {
        {"release/1.0", "release%2F1.0"},
        {"docs/guide.md", "docs%2Fguide.md"},
        {"a b", "a%20b"},
        {"q?x#y", "q%3Fx%23y"},
        {"100%&+", "100%25%26%2B"},
        {"quote\"'", "quote%22%27"},
        {"line\nbreak", "line%0Abreak"},
        {"ünï😀", "%C3%BCn%C3%AF%F0%9F%98%80"},
        {"..", "%2E%2E"},
        {".", "%2E"},
        {"a..b", "a..b"},
        {"keep-_.~", "keep-_.~"},
    };
    for (const auto& [value, encoded] : cases) EXPECT_EQ(rest::encode_segment(value), encoded) << value;
}

TEST(PathSegments, PathJoinsEncodedSegments) {
    EXPECT_EQ((rest::Path{"projects", "42", "repository", "branches", "feature/x"}.text()),
              "projects/42/repository/branches/feature%2Fx");
    EXPECT_EQ((rest::Path{"projects"}.text()), "projects");
}

TEST(FormEncoding, MatchesWhatFormDecodersExpect) {
    EXPECT_EQ(rest::form_encode(rest::Params{{"search", "my app"}, {"simple", rest::bool_text(true)}}),
              "search=my+app&simple=True");
    EXPECT_EQ(rest::form_encode(rest::Params{{"ref_name", "release-1...release-2"}}), "ref_name=release-1...release-2");
    EXPECT_EQ(rest::form_encode(rest::Params{{"labels", "alpha,beta"}, {"flag", rest::bool_text(false)}}),
              "labels=alpha%2Cbeta&flag=False");
    EXPECT_EQ(rest::form_encode(rest::Params{{"a&b", "c=d+e/f"}}), "a%26b=c%3Dd%2Be%2Ff");
    EXPECT_EQ(rest::form_encode(rest::Params{}), "");
}

TEST(Base64, Rfc4648Vectors) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"Hello World", "SGVsbG8gV29ybGQ="},
    };
    for (const auto& [plain, encoded] : cases) EXPECT_EQ(rest::base64(plain), encoded) << plain;
    const std::string binary("\x00\xff\xfe\x80\x01", 5);
    EXPECT_EQ(rest::base64(binary), "AP/+gAE=");
    EXPECT_EQ(rest::base64_size(5), 8u);
}
