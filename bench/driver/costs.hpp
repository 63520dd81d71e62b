// Costs measured alone, to explain the ratios: a GET on a kept-alive connection against one on a fresh
// connection (TLS session resumed through a share, with and without libcurl's default CA path), and
// the JSON decoding of the answers the benchmarks receive, as the library decodes them.
#pragma once

#include <nlohmann/json.hpp>

#include "common.hpp"

namespace zorv_bench {

nlohmann::json costs(const Options& options);

}  // namespace zorv_bench
