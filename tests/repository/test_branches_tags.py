"""Branches and tags: records, encoded names, paging, ordering and GitLab's refusals."""

from helpers import git, quote, write_files

BRANCH_KEYS = ["name", "commit", "merged", "protected", "developers_can_push", "developers_can_merge", "can_push",
               "default", "web_url"]


class TestBranches:
    def test_create_show_and_delete_a_branch_with_a_slash(self, sandbox, project):
        head = write_files(sandbox, project, "master", {"a": "a"})["id"]
        base = f"projects/{project['id']}/repository/branches"
        status, created = sandbox.api("POST", base, {"id": project["id"], "branch": "release/1.0", "ref": "master"})
        assert status == 201, created
        assert list(created) == BRANCH_KEYS
        assert created["name"] == "release/1.0" and created["commit"]["id"] == head
        assert (created["default"], created["protected"], created["merged"]) == (False, False, True)

        status, shown = sandbox.api("GET", f"{base}/release%2F1.0")
        assert status == 200 and shown["name"] == "release/1.0"
        assert sandbox.call("GET", f"{base}/release/1.0").status == 404  # raw '/' is not one segment

        status, master = sandbox.api("GET", f"{base}/master")
        assert (master["default"], master["protected"], master["merged"]) == (True, True, False)

        reply = sandbox.call("DELETE", f"{base}/release%2F1.0")
        assert (reply.status, reply.body) == (204, b"")
        assert sandbox.api("GET", f"{base}/release%2F1.0") == (404, {"message": "404 Branch Not Found"})
        assert sandbox.api("DELETE", f"{base}/release%2F1.0") == (404, {"message": "404 Branch Not Found"})

    def test_refusals(self, sandbox, project):
        sha = write_files(sandbox, project, "master", {"a": "a"})["id"]
        base = f"projects/{project['id']}/repository/branches"
        assert sandbox.api("POST", base, {"branch": "master", "ref": "master"}) == (
            400, {"message": "Branch already exists"})
        for bad in ("bad..name", "ends.lock", "has space", "-dash", "HEAD"):
            assert sandbox.api("POST", base, {"branch": bad, "ref": "master"}) == (
                400, {"message": "Branch name is invalid"}), bad
        assert sandbox.api("POST", base, {"branch": "new", "ref": "nowhere"}) == (
            400, {"message": "Invalid reference name: nowhere"})
        assert sandbox.api("POST", base, {"branch": "new"}) == (400, {"error": "ref is missing"})
        assert sandbox.api("DELETE", f"{base}/master") == (
            400, {"message": "The default branch of a project cannot be deleted."})
        # a branch from a commit id and from a tag
        assert sandbox.api("POST", base, {"branch": "from-sha", "ref": sha})[0] == 201
        assert sandbox.api("POST", f"projects/{project['id']}/repository/tags", {"tag_name": "t1", "ref": sha})[0] == 201
        status, b = sandbox.api("POST", base, {"branch": "from-tag", "ref": "t1"})
        assert status == 201 and b["commit"]["id"] == sha

    def test_a_branch_in_an_empty_repository_starts_from_a_readme_on_the_default_branch(self, sandbox, project):
        status, b = sandbox.api("POST", f"projects/{project['id']}/repository/branches",
                                {"branch": "feature", "ref": "main"})
        assert status == 201, b
        status, main = sandbox.api("GET", f"projects/{project['id']}/repository/branches/main")
        assert main["commit"]["id"] == b["commit"]["id"]
        assert main["commit"]["title"] == "Add README.md"

    def test_list_search_and_paging(self, sandbox, project):
        write_files(sandbox, project, "master", {"a": "a"})
        base = f"projects/{project['id']}/repository/branches"
        names = [f"feature-{i:02}" for i in range(25)] + ["fix/one", "Fix-Two"]
        for name in names:
            assert sandbox.api("POST", base, {"branch": name, "ref": "master"})[0] == 201
        page1 = sandbox.call("GET", base)
        assert len(page1.json) == 20
        assert [b["name"] for b in page1.json][:3] == ["Fix-Two", "feature-00", "feature-01"]
        assert (page1.headers["x-total"], page1.headers["x-total-pages"], page1.headers["x-next-page"]) == (
            "28", "2", "2")
        page2 = sandbox.call("GET", base, query={"page": 2})
        assert [b["name"] for b in page2.json][-3:] == ["feature-24", "fix/one", "master"]
        assert {b["name"] for b in sandbox.api("GET", base, query={"search": "fix"})[1]} == {"fix/one", "Fix-Two"}
        assert [b["name"] for b in sandbox.api("GET", base, query={"search": "^fix"})[1]] == ["Fix-Two", "fix/one"]
        assert [b["name"] for b in sandbox.api("GET", base, query={"search": "one$"})[1]] == ["fix/one"]


class TestTags:
    def test_version_order_like_git(self, sandbox, project, tmp_path):
        sha = write_files(sandbox, project, "master", {"a": "a"})["id"]
        base = f"projects/{project['id']}/repository/tags"
        names = ["v1.2", "v1.10", "v1.9", "v2.0-rc1", "v2.0", "v10.0", "v1.2.3", "release"]
        for name in names:
            # the client sends a form body whose message is the tag name
            reply = sandbox.call("POST", base, form={"tag_name": name, "ref": "master", "message": name})
            assert reply.status == 201, reply
        local = tmp_path / "r"
        git("init", "-q", str(local))
        for name in names:
            git("tag", name, git("commit-tree", git("mktree", cwd=local, input="").strip(), "-m", "x",
                                 cwd=local).strip(), cwd=local)
        expected = git("tag", "-l", "--sort=version:refname", cwd=local).split()

        ascending = [t["name"] for t in sandbox.api("GET", base, query={"order_by": "version", "sort": "asc"})[1]]
        assert ascending == expected
        descending = [t["name"] for t in sandbox.api("GET", base, query={"order_by": "version"})[1]]
        assert descending == expected[::-1]
        by_name = [t["name"] for t in sandbox.api("GET", base, query={"order_by": "name", "sort": "asc"})[1]]
        assert by_name == sorted(names)
        found = sandbox.api("GET", base, query={"search": "^v1.2", "order_by": "name", "sort": "asc"})[1]
        assert [t["name"] for t in found] == ["v1.2", "v1.2.3"]
        status, tag = sandbox.api("GET", f"{base}/v1.10")
        assert status == 200
        assert list(tag) == ["name", "message", "target", "commit", "release", "protected", "created_at"]
        assert tag["message"] == "v1.10" and tag["commit"]["id"] == sha and tag["target"] != sha
        assert tag["release"] is None and tag["protected"] is False and tag["created_at"]

    def test_lightweight_tag_paging_and_refusals(self, sandbox, project):
        first = write_files(sandbox, project, "master", {"a": "a"})["id"]
        write_files(sandbox, project, "master", {"a": "b"})
        base = f"projects/{project['id']}/repository/tags"
        status, tag = sandbox.api("POST", base, {"tag_name": "light", "ref": first})
        assert status == 201
        assert (tag["target"], tag["commit"]["id"], tag["message"], tag["created_at"]) == (first, first, "", None)
        assert sandbox.api("POST", base, {"tag_name": "light", "ref": "master"}) == (
            400, {"message": "Tag light already exists"})
        assert sandbox.api("POST", base, {"tag_name": "other", "ref": "nothing"}) == (
            400, {"message": "Target nothing is invalid"})
        assert sandbox.api("POST", base, {"tag_name": "bad..tag", "ref": "master"}) == (
            400, {"message": "Tag name invalid"})
        assert sandbox.api("GET", f"{base}/missing") == (404, {"message": "404 Tag Not Found"})
        for i in range(22):
            assert sandbox.api("POST", base, {"tag_name": f"t{i}", "ref": "master"})[0] == 201
        reply = sandbox.call("GET", base)
        assert len(reply.json) == 20 and reply.headers["x-total"] == "23" and reply.headers["x-next-page"] == "2"
        # tag names with a slash travel encoded
        assert sandbox.api("POST", base, {"tag_name": "rel/2", "ref": "master"})[0] == 201
        assert sandbox.api("GET", f"{base}/{quote('rel/2')}")[1]["name"] == "rel/2"
