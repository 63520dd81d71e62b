"""The commits API, the repository files API and the commit listing, compared with GitLab's answers."""

import base64
import re
import tempfile
import threading

from helpers import clone_url, commit, git, quote, write_files

ISO = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d$")


def b64(text):
    return base64.b64encode(text.encode()).decode()


def files_of(sandbox, project, ref):
    """{path: (mode, text)} of a ref, read from a fresh fetch of the project over HTTPS."""
    with tempfile.TemporaryDirectory() as repo:
        git("init", "-q", "--bare", repo)
        git("fetch", "-q", clone_url(sandbox, project), f"+{ref}:refs/heads/probe", cwd=repo,
            env={"GIT_SSL_CAINFO": sandbox.env["GIT_SSL_CAINFO"]})
        out = {}
        for line in git("ls-tree", "-r", "probe", cwd=repo).splitlines():
            meta, path = line.split("\t", 1)
            mode, _, oid = meta.split()
            out[path] = (mode, git("cat-file", "blob", oid, cwd=repo))
        return out


class TestCommitsApi:
    def test_first_commit_answers_commit_detail_and_creates_the_branch(self, sandbox, project):
        reply = commit(sandbox, project, "master", [
            {"action": "create", "file_path": "README.md", "content": "hello\n"},
            {"action": "create", "file_path": "bin/run.sh", "content": b64("#!/bin/sh\necho hi\n"),
             "encoding": "base64", "execute_filemode": True},
        ], message="Initial import\n\nwith a body", author_name="Ann Author", author_email="ann@example.com")
        assert reply.status == 201, reply
        c = reply.json
        assert list(c)[:15] == ["id", "short_id", "created_at", "parent_ids", "title", "message", "author_name",
                                "author_email", "authored_date", "committer_name", "committer_email",
                                "committed_date", "trailers", "extended_trailers", "web_url"]
        assert re.fullmatch(r"[0-9a-f]{40}", c["id"]) and c["short_id"] == c["id"][:8]
        assert c["parent_ids"] == []
        assert c["title"] == "Initial import"
        assert c["message"] == "Initial import\n\nwith a body"
        assert (c["author_name"], c["author_email"]) == ("Ann Author", "ann@example.com")
        assert c["committer_name"] != "Ann Author"
        for key in ("created_at", "authored_date", "committed_date"):
            assert ISO.match(c[key]), c[key]
        assert c["stats"] == {"additions": 3, "deletions": 0, "total": 3}
        assert c["status"] is None and c["project_id"] == project["id"]
        assert c["web_url"] == project["web_url"] + "/-/commit/" + c["id"]
        assert c["last_pipeline"] is None  # no .gitlab-ci.yml, no pipeline

        files = files_of(sandbox, project, "master")
        assert files == {"README.md": ("100644", "hello\n"), "bin/run.sh": ("100755", "#!/bin/sh\necho hi\n")}

    def test_every_action_kind_in_one_commit(self, sandbox, project):
        first = write_files(sandbox, project, "master", {"a.txt": "a\n", "b.txt": "b\n", "c.txt": "c\n",
                                                         "d.sh": "d\n"})
        reply = commit(sandbox, project, "master", [
            {"action": "update", "file_path": "a.txt", "content": "a2\n"},
            {"action": "delete", "file_path": "b.txt"},
            {"action": "move", "previous_path": "c.txt", "file_path": "dir/c.txt"},
            {"action": "chmod", "file_path": "d.sh", "execute_filemode": True},
            {"action": "create", "file_path": "docs/guide.md", "content": "guide\n"},
        ])
        assert reply.status == 201, reply
        assert reply.json["parent_ids"] == [first["id"]]
        assert files_of(sandbox, project, "master") == {
            "a.txt": ("100644", "a2\n"), "dir/c.txt": ("100644", "c\n"), "d.sh": ("100755", "d\n"),
            "docs/guide.md": ("100644", "guide\n")}

    def test_refusals_use_gitlabs_words_and_change_nothing(self, sandbox, project):
        head = write_files(sandbox, project, "master", {"a.txt": "a\n"})["id"]
        cases = [
            ([{"action": "create", "file_path": "a.txt", "content": "x"}], "A file with this name already exists"),
            ([{"action": "update", "file_path": "zz.txt", "content": "x"}], "A file with this name doesn't exist"),
            ([{"action": "delete", "file_path": "zz.txt"}], "A file with this name doesn't exist"),
            ([{"action": "move", "previous_path": "zz.txt", "file_path": "y.txt"}],
             "A file with this name doesn't exist"),
            ([{"action": "chmod", "file_path": "zz.txt", "execute_filemode": True}],
             "A file with this name doesn't exist"),
            # a later action failing undoes the earlier ones: the whole commit is refused
            ([{"action": "create", "file_path": "new.txt", "content": "n"},
              {"action": "update", "file_path": "missing.txt", "content": "x"}], "A file with this name doesn't exist"),
        ]
        for actions, message in cases:
            reply = commit(sandbox, project, "master", actions)
            assert (reply.status, reply.json) == (400, {"message": message}), actions
        reply = commit(sandbox, project, "nobranch", [{"action": "create", "file_path": "x", "content": "x"}])
        assert (reply.status, reply.json) == (
            400, {"message": "You can only create or edit files when you are on a branch"})
        status, branch = sandbox.api("GET", f"projects/{project['id']}/repository/branches/master")
        assert branch["commit"]["id"] == head

        reply = commit(sandbox, project, "master", [{"action": "remove", "file_path": "a.txt"}])
        assert (reply.status, reply.json) == (400, {"error": "actions[0][action] does not have a valid value"})
        reply = sandbox.call("POST", f"projects/{project['id']}/repository/commits", {"branch": "master"})
        assert reply.status == 400 and "commit_message is missing" in reply.json["error"]

    def test_start_branch_creates_a_new_branch_and_last_commit_id_guards_updates(self, sandbox, project):
        base = write_files(sandbox, project, "master", {"a.txt": "a\n"})
        reply = commit(sandbox, project, "feature", [{"action": "update", "file_path": "a.txt", "content": "f\n"}],
                       start_branch="master")
        assert reply.status == 201 and reply.json["parent_ids"] == [base["id"]]
        reply = commit(sandbox, project, "feature", [{"action": "create", "file_path": "b", "content": "x"}],
                       start_branch="master")
        assert reply.status == 400
        assert reply.json["message"].startswith("A branch called 'feature' already exists")

        # a.txt changed after base: base is stale for it, which is checked before any action is tried
        # (the create of an existing file comes first). A later commit that did not touch a.txt is not
        # stale: GitLab compares the file's last commit as of last_commit_id with its last on the branch.
        newer = commit(sandbox, project, "master", [{"action": "update", "file_path": "a.txt", "content": "y"}])
        assert newer.status == 201
        stale = commit(sandbox, project, "master", [{"action": "create", "file_path": "a.txt", "content": "c"},
                                                     {"action": "update", "file_path": "a.txt", "content": "z",
                                                      "last_commit_id": base["id"]}])
        assert (stale.status, stale.json) == (
            400, {"message": "The file has changed since you started editing it: a.txt"})
        later = commit(sandbox, project, "master", [{"action": "create", "file_path": "d.txt", "content": "d"}])
        fresh = commit(sandbox, project, "master", [{"action": "update", "file_path": "a.txt", "content": "z",
                                                      "last_commit_id": later.json["id"]}])
        assert fresh.status == 201

    def test_form_encoded_actions_are_read_like_json(self, sandbox, project):
        reply = sandbox.call("POST", f"projects/{project['id']}/repository/commits", form=[
            ("branch", "master"), ("commit_message", "form"),
            ("actions[][action]", "create"), ("actions[][file_path]", "f.txt"), ("actions[][content]", "x")])
        assert reply.status == 201, reply
        assert files_of(sandbox, project, "master") == {"f.txt": ("100644", "x")}

    def test_concurrent_commits_to_one_branch_are_all_kept(self, sandbox, project):
        write_files(sandbox, project, "master", {"seed": "0"})
        results = []

        def worker(n):
            r = commit(sandbox, project, "master", [{"action": "create", "file_path": f"f{n}.txt", "content": str(n)}])
            results.append(r.status)

        threads = [threading.Thread(target=worker, args=(n,)) for n in range(12)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert results == [201] * 12
        assert len(files_of(sandbox, project, "master")) == 13
        status, commits = sandbox.api("GET", f"projects/{project['id']}/repository/commits",
                                      query={"per_page": 100})
        assert len(commits) == 13  # a straight line of 13 commits: none was lost

    def test_new_commits_get_a_pipeline_once_the_tree_holds_ci_configuration(self, sandbox, project):
        write_files(sandbox, project, "master", {"a": "a"})
        assert sandbox.api("GET", f"projects/{project['id']}/pipelines") == (200, [])
        c = write_files(sandbox, project, "master", {".gitlab-ci.yml": "test:\n  script: [\"true\"]\n"})
        assert c["last_pipeline"]["sha"] == c["id"] and c["last_pipeline"]["ref"] == "master"
        status, pipelines = sandbox.api("GET", f"projects/{project['id']}/pipelines")
        assert status == 200
        assert [(p["sha"], p["ref"]) for p in pipelines] == [(c["id"], "master")]


class TestFilesApi:
    def test_create_read_and_refuse_an_existing_file(self, sandbox, project):
        path = f"projects/{project['id']}/repository/files/{quote('docs/guide.md')}"
        body = {"branch": "master", "content": b64("Hello World"), "commit_message": "docs/guide.md",
                "encoding": "base64"}
        reply = sandbox.call("POST", path, body)
        assert (reply.status, reply.json) == (201, {"file_path": "docs/guide.md", "branch": "master"})
        again = sandbox.call("POST", path, body)
        assert (again.status, again.json) == (400, {"message": "A file with this name already exists"})

        status, f = sandbox.api("GET", path, query={"ref": "master"})
        assert status == 200
        assert (f["file_name"], f["file_path"], f["size"], f["encoding"]) == ("guide.md", "docs/guide.md", 11, "base64")
        assert base64.b64decode(f["content"]) == b"Hello World"
        assert f["content_sha256"] == "a591a6d40bf420404a011733cfb7b190d62c65bf0bcda32b57b277d9ad9f146e"
        assert f["execute_filemode"] is False
        reply = sandbox.call("GET", path + "/raw", query={"ref": "master"})
        assert (reply.status, reply.body) == (200, b"Hello World")

        # '/' unencoded makes the path two segments: no such route, as on GitLab
        reply = sandbox.call("GET", f"projects/{project['id']}/repository/files/docs/guide.md", query={"ref": "master"})
        assert reply.status == 404
        status, body = sandbox.api("GET", f"projects/{project['id']}/repository/files/nothing.md",
                                   query={"ref": "master"})
        assert (status, body) == (404, {"message": "404 File Not Found"})

    def test_empty_content_and_missing_parameters(self, sandbox, project):
        path = f"projects/{project['id']}/repository/files/empty.txt"
        reply = sandbox.call("POST", path, {"branch": "master", "content": "", "commit_message": "empty"})
        assert reply.status == 201
        assert files_of(sandbox, project, "master") == {"empty.txt": ("100644", "")}
        reply = sandbox.call("POST", f"projects/{project['id']}/repository/files/x.txt",
                             {"content": "x", "commit_message": "m"})
        assert (reply.status, reply.json) == (400, {"error": "branch is missing"})
        reply = sandbox.call("POST", f"projects/{project['id']}/repository/files/x.txt",
                             {"branch": "nope", "content": "x", "commit_message": "m"})
        assert (reply.status, reply.json) == (
            400, {"message": "You can only create or edit files when you are on a branch"})


class TestCommitListing:
    def make_history(self, sandbox, project, n):
        return [write_files(sandbox, project, "master", {"f.txt": str(i)}, message=f"c{i}")["id"] for i in range(n)]

    def test_pages_newest_first_with_next_page_only_when_full(self, sandbox, project):
        ids = self.make_history(sandbox, project, 5)
        url = f"projects/{project['id']}/repository/commits"
        first = sandbox.call("GET", url, query={"per_page": 2})
        assert [c["id"] for c in first.json] == ids[::-1][:2]
        h = first.headers
        assert (h["x-page"], h["x-per-page"], h["x-next-page"], h["x-prev-page"]) == ("1", "2", "2", "")
        assert "x-total" not in h and "x-total-pages" not in h
        assert 'rel="next"' in h["link"] and 'rel="last"' not in h["link"]
        assert "page=2&per_page=2" in h["link"]

        last = sandbox.call("GET", url, query={"per_page": 2, "page": 3})
        assert [c["id"] for c in last.json] == [ids[0]]
        assert (last.headers["x-next-page"], last.headers["x-prev-page"]) == ("", "2")

        # a full last page still announces a next page, which then comes back empty
        full = sandbox.call("GET", url, query={"per_page": 5})
        assert full.headers["x-next-page"] == "2"
        assert sandbox.api("GET", url, query={"per_page": 5, "page": 2})[1] == []
        assert len(sandbox.api("GET", url)[1]) == 5  # default page size 20

    def test_refs_and_ranges(self, sandbox, project):
        base = self.make_history(sandbox, project, 2)
        assert commit(sandbox, project, "topic", [{"action": "create", "file_path": "t", "content": "t"}],
                      start_branch="master", message="topic").status == 201
        main_only = write_files(sandbox, project, "master", {"m": "m"}, message="main")["id"]
        url = f"projects/{project['id']}/repository/commits"
        status, tags = sandbox.api("POST", f"projects/{project['id']}/repository/tags",
                                   {"tag_name": "release-1", "ref": base[0]})
        assert status == 201

        def titles(ref):
            status, body = sandbox.api("GET", url, query={"ref_name": ref})
            assert status == 200, body
            return [c["title"] for c in body]

        assert titles("topic") == ["topic", "c1", "c0"]
        assert titles("release-1") == ["c0"]
        assert titles(base[1]) == ["c1", "c0"]
        assert titles("master..topic") == ["topic"]
        assert titles("topic..master") == ["main"]
        assert sorted(titles("master...topic")) == ["main", "topic"]  # symmetric difference
        assert titles("release-1...master") == ["main", "c1"]
        assert titles("") == ["main", "c1", "c0"]  # empty: the default branch
        assert main_only

        assert sandbox.api("GET", url, query={"ref_name": "no-such-ref"}) == (200, [])
        assert sandbox.api("GET", url, query={"ref_name": "-main"}) == (400, {"message": "ref_name is invalid"})
        assert sandbox.api("GET", url, query={"ref_name": "main branch"}) == (400, {"message": "ref_name is invalid"})

    def test_single_commit(self, sandbox, project):
        c = write_files(sandbox, project, "master", {"x": "1\n2\n"})
        status, body = sandbox.api("GET", f"projects/{project['id']}/repository/commits/{c['id']}")
        assert status == 200 and body["id"] == c["id"] and body["stats"]["additions"] == 2
        status, body = sandbox.api("GET", f"projects/{project['id']}/repository/commits/{'0' * 40}")
        assert (status, body) == (404, {"message": "404 Commit Not Found"})
