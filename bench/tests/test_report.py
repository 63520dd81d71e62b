"""Checks of the benchmark runner's own logic: the wire comparison, the table and its verdicts, the
trace2 breakdown and the generated working-copy content. Run with
`/usr/bin/python3 -m pytest bench/tests` (not part of scripts/test; no time is asserted)."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
import report  # noqa: E402
import run  # noqa: E402


def entry(method="GET", path="/api/v4/projects", query="", headers=None, body=""):
    return {"seq": 1, "method": method, "path": path, "query": query, "body": body, "status": 200,
            "headers": headers if headers is not None else {"Host": "127.0.0.1:1", "Accept": "*/*",
                                                              "PRIVATE-TOKEN": "glpat-secret"}}


class TestWire:
    def test_branch_token_and_host_are_normalized(self):
        got = report.normalize_journal([entry(method="POST", path="/api/v4/projects/3/repository/branches/wire1-0",
                                              body='{"branch":"wire1-0"}')], "wire1-0")
        assert got == [{"method": "POST", "path": "/api/v4/projects/3/repository/branches/<branch>", "query": "",
                        "headers": {"accept": "*/*", "private-token": "<token>"}, "body": '{"branch":"<branch>"}'}]

    def test_same_requests_of_different_branches_compare_equal(self):
        a = report.normalize_journal([entry(path="/b/wire0-0")], "wire0-0")
        b = report.normalize_journal([entry(path="/b/wire3-0")], "wire3-0")
        assert report.compare_wire({"cpp": a, "curl": b}, "cpp")["clients"] == {"cpp": "same", "curl": "same"}

    @pytest.mark.parametrize("change, field", [
        ({"query": "search=x"}, "query"),
        ({"body": "{}"}, "body"),
        ({"method": "PUT"}, "method"),
        ({"headers": {"Accept": "*/*", "PRIVATE-TOKEN": "t", "User-Agent": "python-requests/2.28"}}, "headers"),
    ])
    def test_a_difference_is_named(self, change, field):
        want = report.normalize_journal([entry(), entry()], "x")
        got = report.normalize_journal([entry(), entry(**change)], "x")
        verdict = report.compare_wire({"cpp": want, "requests": got}, "cpp")["clients"]["requests"]
        assert verdict.startswith(f"request 2 differs in {field}")

    def test_a_missing_request_is_reported(self):
        want = report.normalize_journal([entry(), entry()], "x")
        got = report.normalize_journal([entry()], "x")
        assert report.compare_wire({"cpp": want, "a": got}, "cpp")["clients"]["a"] == "1 requests instead of 2"

    def test_accept_encoding_identity_is_allowed_but_said(self):
        plain = entry()
        identity = entry(headers={**plain["headers"], "Accept-Encoding": "identity"})
        gzip = entry(headers={**plain["headers"], "Accept-Encoding": "gzip, deflate"})
        want = report.normalize_journal([plain], "x")
        verdicts = report.compare_wire({"cpp": want, "id": report.normalize_journal([identity], "x"),
                                        "gz": report.normalize_journal([gzip], "x")}, "cpp")["clients"]
        assert verdicts["id"].startswith("same, but for the header Accept-Encoding: identity")
        assert verdicts["gz"].startswith("request 1 differs in headers")


def results():
    ops = ["get_project_info", "get_single_pipeline_status", "create_branch"]
    per_client = {"cpp": 100, "python": 110, "requests": 2500, "curl": 1500, "libcurl": 90}
    latency = {c: {op: {"median_us": us} for op in ops} for c, us in per_client.items()}
    latency["libcurl_requests_us"] = {"create_branch": [100, 90, 1500, 12000]}
    return {
        "quick": False,
        "machine": {"cpus": 2, "system": "Linux", "python": "3.11.2"},
        "latency": latency,
        "cpu": {c: {"per_request": n, "startup": 1} for c, n in
                {"cpp": 300_000, "python": 320_000, "requests": 3_000_000}.items()},
        "costs": {"get_kept_alive_us": 65, "get_fresh_connection_us": 1177, "get_fresh_connection_no_ca_path_us": 923,
                  "decode_search_us": 17, "search_bytes": 2152, "decode_pipeline_us": 5, "pipeline_bytes": 678},
        "import": {"zorv_git_gitlab.git": {"import_s": 0.02, "process_s": 0.04},
                   "requests, git": {"import_s": 0.09, "process_s": 0.12},
                   "modules_ms": {"zorv_git_gitlab.git": 17.6, "logging": 8.7}},
        "threads": {face: {1: {"per_second": 9000, "server_cores": 0.4, "client_cores": 0.4, "idle_cores": 1.1}}
                    for face in ("cpp", "python")},
        "commit": {1000: {"bytes": 31 << 20, "largest": 16 << 20, "library_s": 6.0, "plumbing_s": 5.0,
                          "library_rss_kib": 16 << 10, "git_rss_kib": 52 << 10, "upload_s": 1.0,
                          "before_upload_s": 4.0, "after_upload_s": 1.0, "library_cpu_s": 0.2, "server_cpu_s": 0.5,
                          "server_git_cpu_s": 0.4, "second_fetch_bytes": 31 << 15}},
        "seconds": 600,
    }


class TestTable:
    def test_ratios_and_verdicts(self):
        text = report.table(results())
        row = next(line for line in text.splitlines() if line.startswith("| get_project_info"))
        cells = [c.strip() for c in row.strip("|").split("|")]
        # (a)/C++ = 25, (b)/C++ = 15 (below 20), C++/(c) = 1.11
        assert cells[6:9] == ["25.0x met", "15.0x MISSED", "1.11 met"]
        assert "lookup 0.100, lookup 0.090, branch GET (404) 1.500, POST 12.000." in text
        assert "share of (a)" in text and "| C++ library | 300,000 | 0.100 | met |" in text
        assert "Ratio (import alone): 4.5x, goal >= 5: MISSED" in text
        assert "| 1000 | 31 | 16 | 6.00 | 5.00 | 1.20 met |" in text
        assert "| 1 | 9000 | 0.40 | 0.40 | 1.10 | 9000 | 0.40 | 0.40 | 1.10 |" in text
        assert "| the same GET on a fresh connection (TLS session resumed; what each request costs a client without kept-alive connections) | 1.177 |" in text
        assert "(cumulative ms, `-X importtime`): zorv_git_gitlab.git 17.6, logging 8.7." in text

    def test_round_trips_on_a_link(self):
        # 20 ms round trip; time direct and through the relay (us), requests sent.
        cells = {"cpp": (100, 22_100, 1), "python": (120, 20_120, 1), "requests": (2_000, 72_000, 1),
                 "curl": (7_000, 67_000, 1), "libcurl": (90, 20_090, 1)}
        branch = {"cpp": (20_000, 86_000, 3), "python": (21_000, 87_000, 3), "requests": (30_000, 330_000, 4),
                  "curl": (50_000, 290_000, 4), "libcurl": (20_000, 100_000, 4)}
        link = {20: {"plan": {"rounds": 3, "relayed": {"fast": {"a": 20}, "slow": {"a": 8}}}, "clients": {
            c: {"get_project_info": dict(zip(("direct_us", "relayed_us", "requests"), cells[c])),
                "get_single_pipeline_status": dict(zip(("direct_us", "relayed_us", "requests"), cells[c])),
                "create_branch": dict(zip(("direct_us", "relayed_us", "requests"), branch[c]))} for c in cells}}}
        text = report.table({"machine": results()["machine"], "link": link})
        assert report.round_trips(22_100, 100, 20) == pytest.approx(1.1)
        assert "| get_project_info | C++ library | 1 | 0.100 | 22.1 | 1.10 | 1.10 |" in text
        assert "| create_branch | (a) requests | 4 | 30.000 | 330.0 | 15.00 | 3.75 |" in text
        assert ("- get_project_info: 1.10 round trips per request met, (a)/lib 3.3x met / "
                "1.00 round trips per request met, (a)/lib 3.6x met") in text
        # create_branch: 3.3 round trips for 3 requests met; (a) 330 / 86 = 3.8x
        assert "- create_branch: 1.10 round trips per request met, (a)/lib 3.8x met, 3.30 round trips met" in text
        branch["cpp"] = (20_000, 140_000, 4)  # 6 round trips for 4 requests
        link[20]["clients"]["cpp"]["create_branch"] = dict(zip(("direct_us", "relayed_us", "requests"), branch["cpp"]))
        text = report.table({"machine": results()["machine"], "link": link})
        assert ("- create_branch: 1.50 round trips per request MISSED, (a)/lib 2.4x MISSED, "
                "6.00 round trips MISSED") in text

    def test_parts_not_run_are_left_out(self):
        partial = {k: v for k, v in results().items() if k in ("quick", "machine", "import")}
        text = report.table(partial)
        assert "Import in" in text and "Latency" not in text and "commit_project" not in text

    @pytest.mark.parametrize("value, comparison, bound, expected", [
        (10.0, ">=", 10.0, "met"), (9.99, ">=", 10.0, "MISSED"), (1.2, "<=", 1.2, "met"), (1.21, "<=", 1.2, "MISSED")])
    def test_verdict_bounds(self, value, comparison, bound, expected):
        assert report.verdict(value, comparison, bound) == expected


class TestCommitWorkload:
    def test_trace_breakdown_sums_top_level_commands(self, tmp_path):
        events = [
            {"event": "start", "sid": "a", "argv": ["git", "fetch", "origin"]},
            {"event": "start", "sid": "a/b", "argv": ["git", "remote-https", "origin"]},
            {"event": "exit", "sid": "a/b", "t_abs": 0.5},
            {"event": "exit", "sid": "a", "t_abs": 0.75},
            {"event": "start", "sid": "c", "argv": ["git", "-c", "user.name=x", "merge", "--no-edit", "o/m"]},
            {"event": "exit", "sid": "c", "t_abs": 0.25},
            {"event": "start", "sid": "d", "argv": ["git", "fetch", "origin"]},
            {"event": "exit", "sid": "d", "t_abs": 1.0, "time": "2026-12-10T06:00:01.500000Z"},
        ]
        trace = tmp_path / "trace.json"
        trace.write_text("\n".join(json.dumps(e) for e in events))
        spans = run.trace_breakdown(trace)
        end = run.datetime.datetime(2026, 12, 10, 6, 0, 1, 500000, tzinfo=run.datetime.timezone.utc).timestamp()
        assert spans == [["fetch", 0.75, None], ["merge", 0.25, None], ["fetch", 1.0, end]]

    def test_pack_bytes_are_split_per_fetch(self, tmp_path):
        # Two real packs (the second with deltas) written one after another, as GIT_TRACE_PACKFILE holds
        # them; the trace2 events say which fetch received each.
        git = ["git", "-C", str(tmp_path), "-c", "user.name=b", "-c", "user.email=b@x"]
        subprocess.run(git[:3] + ["init", "-q"], check=True)
        packs = []
        for round_ in range(2):
            for i in range(30):
                (tmp_path / f"f{i}").write_text("line of text\n" * (200 + i) + str(round_) * 50)
            subprocess.run(git + ["add", "-A"], check=True)
            subprocess.run(git + ["commit", "-qm", str(round_)], check=True)
            since = ["HEAD"] if round_ == 0 else ["HEAD", "^HEAD~1"]
            packs.append(subprocess.run(git + ["pack-objects", "--revs", "--stdout", "--thin", "-q"],
                                        input="\n".join(since).encode(), capture_output=True, check=True).stdout)
        assert run.pack_sizes(packs[0] + packs[1]) == [len(packs[0]), len(packs[1])]
        events = [{"event": "start", "sid": "f1", "argv": ["git", "fetch", "origin"]},
                  {"event": "start", "sid": "f1/i", "argv": ["/usr/lib/git-core/git", "index-pack", "--stdin"]},
                  {"event": "start", "sid": "m", "argv": ["git", "merge", "o/m"]},
                  {"event": "start", "sid": "f2", "argv": ["git", "-c", "a=b", "fetch", "origin"]},
                  {"event": "start", "sid": "f3", "argv": ["git", "fetch", "origin"]},
                  {"event": "start", "sid": "f3/r/u", "argv": ["git", "unpack-objects", "--pack_header=2,3"]}]
        (tmp_path / "trace.json").write_text("\n".join(json.dumps(e) for e in events))
        (tmp_path / "packs.bin").write_bytes(packs[0] + packs[1])
        assert run.fetch_received(tmp_path / "trace.json", tmp_path / "packs.bin") == [len(packs[0]), 0,
                                                                                        len(packs[1])]

    def test_the_git_command_is_the_word_after_gits_own_options(self):
        assert run.git_command(["git", "-c", "a=b", "fetch", "origin"]) == "fetch"
        assert run.git_command(["git", "-c", "core.quotePath=true", "--literal-pathspecs", "--no-replace-objects",
                                "log", "--stdin"]) == "log"
        assert run.git_command(["git", "-C", "dir", "status"]) == "status"

    def test_phases_split_at_the_upload(self):
        # diff-tree ends at 10.0; the fetch after the upload starts at 13.0; cat-file ran meanwhile
        spans = [["fetch", 0.5, 5.0], ["add", 2.0, 7.5], ["diff-tree", 0.5, 10.0], ["cat-file", 2.5, 12.9],
                 ["fetch", 1.0, 14.0], ["merge", 0.25, 14.5]]
        assert run.commit_phases(spans) == {"before_upload": 3.0, "upload": 3.0, "after_upload": 1.25}
        # The log that finds the files' last commits runs after the diff-tree and before the upload.
        spans[3:3] = [["log", 0.5, 10.5]]
        assert run.commit_phases(spans) == {"before_upload": 3.5, "upload": 2.5, "after_upload": 1.25}

    def test_files_are_the_requested_count_with_the_large_binaries(self, tmp_path):
        total = run.write_files(tmp_path, 120, seed=7)
        files = [p for p in tmp_path.rglob("*") if p.is_file()]
        assert len(files) == 120  # README.md, the binaries, the text files
        sizes = sorted((p.stat().st_size for p in files), reverse=True)
        assert sizes[:3] == run.LARGE_FILES
        assert total == sum(sizes) - (tmp_path / "README.md").stat().st_size
        assert all(100 <= s <= 16384 for s in sizes[3:] if s != (tmp_path / "README.md").stat().st_size)

    def test_files_are_the_same_for_the_same_seed(self, tmp_path):
        for name in ("a", "b"):
            (tmp_path / name).mkdir()
            run.write_files(tmp_path / name, 20, seed=3)
        a = sorted((p.relative_to(tmp_path / "a"), p.read_bytes()) for p in (tmp_path / "a").rglob("*") if p.is_file())
        b = sorted((p.relative_to(tmp_path / "b"), p.read_bytes()) for p in (tmp_path / "b").rglob("*") if p.is_file())
        assert a == b


class TestRunner:
    def runner(self):
        r = run.Runner.__new__(run.Runner)  # no sandbox: only run() is exercised
        r.env = {"PATH": "/usr/bin:/bin"}
        return r

    def test_the_result_line_is_parsed_among_other_output(self):
        out, stdout, _ = self.runner().run(["/bin/sh", "-c", 'echo 2; echo \'BENCH-RESULT {"seconds": 1.5}\''])
        assert out == {"seconds": 1.5} and stdout.startswith("2\n")

    def test_a_failing_client_stops_the_run_with_its_output(self):
        with pytest.raises(RuntimeError, match="(?s)failed \\(3\\).*boom"):
            self.runner().run(["/bin/sh", "-c", "echo boom >&2; exit 3"])

    def test_import_breakdown_reads_cumulative_times(self):
        modules = run.import_breakdown(self.runner(), "import json", 1)
        assert "json" in modules and all(ms > 0 for ms in modules.values())


class FakeRequests:
    """Records what baseline (a) asks `requests` to send."""

    def __init__(self, answers):
        self.calls, self.answers = [], list(answers)

    def _answer(self, method, url, **kwargs):
        self.calls.append((method, url, kwargs))
        status, body = self.answers.pop(0)
        return type("R", (), {"status_code": status, "json": lambda self: body, "text": json.dumps(body)})()

    def get(self, url, **kwargs):
        return self._answer("GET", url, **kwargs)

    def post(self, url, **kwargs):
        return self._answer("POST", url, **kwargs)


def test_requests_baseline_sends_the_library_requests(monkeypatch):
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "python"))
    import clients

    monkeypatch.setenv("GITLAB_HOST", "h:1")
    monkeypatch.setenv("GITLAB_TOKEN", "t")
    target = type("T", (), {"project": "app", "group": 7, "project_id": 5, "pipeline_id": 9})()
    client = clients.RequestsClient(target)
    projects = [{"name": "app", "namespace": {"id": 8}, "id": 4}, {"name": "app", "namespace": {"id": 7}, "id": 5}]
    client.requests = FakeRequests([(200, projects), (200, projects), (404, {}), (201, {"name": "b"})])
    client.create_branch("b")
    (m1, u1, k1), (m2, _, _), (m3, u3, _), (m4, u4, k4) = client.requests.calls
    assert (m1, u1) == ("GET", "https://h:1/api/v4/groups/7/projects") and m2 == "GET"
    assert list(k1["params"].items()) == [("search", "app"), ("simple", True), ("with_shared", False),
                                          ("include_subgroups", False), ("per_page", 100)]
    assert k1["headers"] == {"PRIVATE-TOKEN": "t", "User-Agent": "zorv_git_gitlab/0.1", "Accept-Encoding": None,
                             "Connection": None}
    assert (m3, u3) == ("GET", "https://h:1/api/v4/projects/5/repository/branches/b")
    assert (m4, u4) == ("POST", "https://h:1/api/v4/projects/5/repository/branches")
    assert k4["data"] == '{"id":5,"branch":"b","ref":"master"}'
    assert k4["headers"]["Content-Type"] == "application/json"
