// The tests' name for the installed test kit <zorv_git_gitlab/testing/sandbox.hpp> (one implementation
// for the tests and for users): zorv_test::sandbox(), zorv_test::Json, zorv_test::Reply, ...
#pragma once

#include <zorv_git_gitlab/testing/sandbox.hpp>

namespace zorv_test {
using namespace zorv_git_gitlab::testing;  // NOLINT(google-build-using-namespace)
}  // namespace zorv_test
