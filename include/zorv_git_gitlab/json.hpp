// The record type of the library: JSON values that keep the order of their keys, so that request
// bodies go out in the order an operation builds them and server records come back as sent.
#pragma once

#include <nlohmann/json.hpp>

namespace zorv_git_gitlab {

using Json = nlohmann::ordered_json;

}  // namespace zorv_git_gitlab
