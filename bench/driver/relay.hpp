// A TCP relay on 127.0.0.1 that puts a fixed one-way delay on every chunk in both directions, so that
// the clients can be measured as if the sandbox were a round trip away.
//
// Each accepted connection gets a connection of its own to the target and one thread per direction.
// A thread stamps every chunk it reads with the time it is due (read time + one-way delay) and writes
// the chunks in order once due; the end of a stream travels the same way. A loopback connect completes
// at once, so the TCP handshake's round trip is added by holding the client's first bytes until a
// round trip plus the one-way delay after the accept, when they would reach a server that far away.
// The TLS handshake and the requests pay the delay as any other bytes.
#pragma once

#include <nlohmann/json.hpp>

#include "common.hpp"

namespace zorv_bench {

// relay --to HOST:PORT --one-way-ms MS [--port P]
// Prints "RELAY_PORT=<port>" once listening; runs until standard input ends (or a signal), then
// returns the number of connections relayed.
nlohmann::json relay(const Options& options);

}  // namespace zorv_bench
