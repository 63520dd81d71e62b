"""The delaying relay of `scripts/bench --rtt` (zorv-bench relay), in front of a small echo server.

Needs the built driver: build-bench/bench/zorv-bench (scripts/bench builds it), or the path in
ZORV_BENCH_DRIVER."""

import os
import socket
import subprocess
import threading
import time
from pathlib import Path

import pytest

DRIVER = Path(os.environ.get("ZORV_BENCH_DRIVER",
                             Path(__file__).resolve().parents[2] / "build-bench" / "bench" / "zorv-bench"))


class EchoServer:
    """Accepts one connection and sends back every chunk it reads, noting when the first arrived."""

    def __init__(self):
        self.listener = socket.create_server(("127.0.0.1", 0))
        self.port = self.listener.getsockname()[1]
        self.first_seen = None
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        conn, _ = self.listener.accept()
        with conn:
            while chunk := conn.recv(65536):
                if self.first_seen is None:
                    self.first_seen = time.monotonic()
                conn.sendall(chunk)


def read_exactly(sock, size):
    data = bytearray()
    while len(data) < size:
        chunk = sock.recv(size - len(data))
        assert chunk, f"the stream ended after {len(data)} of {size} bytes"
        data += chunk
    return bytes(data)


@pytest.mark.skipif(not DRIVER.exists(), reason=f"{DRIVER} is not built (scripts/bench builds it)")
def test_relay_delays_both_directions_and_keeps_the_bytes():
    one_way = 0.1
    server = EchoServer()
    relay = subprocess.Popen([str(DRIVER), "relay", "--to", f"127.0.0.1:{server.port}",
                              "--one-way-ms", str(one_way * 1000)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        port = int(relay.stdout.readline().strip().removeprefix("RELAY_PORT="))
        with socket.create_connection(("127.0.0.1", port)) as client:
            connected = time.monotonic()
            client.sendall(b"x")
            assert read_exactly(client, 1) == b"x"
            answered = time.monotonic()
            # Client to server: the handshake's round trip and one trip; server to client: one trip.
            assert server.first_seen - connected >= 3 * one_way
            assert answered - server.first_seen >= one_way

            # Bulk in both directions at once: every byte, in order; each chunk is delayed once, not
            # one after the other.
            payload = os.urandom(4 << 20)
            started = time.monotonic()
            sender = threading.Thread(target=client.sendall, args=(payload,))
            sender.start()
            echoed = read_exactly(client, len(payload))
            sender.join()
            assert echoed == payload
            assert 2 * one_way <= time.monotonic() - started < 20 * one_way

            # The end of the stream travels too: the server sees it, closes, and the client sees that.
            client.shutdown(socket.SHUT_WR)
            assert client.recv(1) == b""
    finally:
        relay.stdin.close()  # the relay stops when its input ends
        assert relay.wait(timeout=10) == 0
        assert '"connections":1' in relay.stdout.read()
