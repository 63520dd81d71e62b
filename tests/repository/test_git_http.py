"""Git over HTTPS through the sandbox: clone, fetch, push, authentication, gzip'ed request bodies."""

import base64
import gzip
import os
import stat
import subprocess

from helpers import clone_url, commit, git, write_files


def git_env(sandbox):
    return {"GIT_SSL_CAINFO": sandbox.env["GIT_SSL_CAINFO"]}


def pkt(line):
    data = line.encode()
    return f"{len(data) + 4:04x}".encode() + data


def basic(user, password):
    return "Basic " + base64.b64encode(f"{user}:{password}".encode()).decode()


def repo_path(project):
    return "/" + project["path_with_namespace"] + ".git"


class TestCloneAndFetch:
    def test_api_commit_shows_in_a_fresh_clone_with_its_modes(self, sandbox, project, tmp_path):
        reply = commit(sandbox, project, "master", [
            {"action": "create", "file_path": "run.sh", "content": "#!/bin/sh\necho run\n", "execute_filemode": True},
            {"action": "create", "file_path": "docs/guide.md", "content": "guide\n"},
        ], message="scripts")
        assert reply.status == 201
        work = tmp_path / "wc"
        git("clone", "-q", clone_url(sandbox, project), str(work), env=git_env(sandbox))
        assert git("rev-parse", "HEAD", cwd=work).strip() == reply.json["id"]
        assert (work / "docs" / "guide.md").read_text() == "guide\n"
        assert os.stat(work / "run.sh").st_mode & stat.S_IXUSR
        assert not os.stat(work / "docs" / "guide.md").st_mode & stat.S_IXUSR
        assert git("log", "-1", "--format=%s", cwd=work).strip() == "scripts"

        # a later commit through the API arrives with a fetch; chmod turns the bit off again
        reply = commit(sandbox, project, "master", [{"action": "chmod", "file_path": "run.sh",
                                                     "execute_filemode": False}])
        assert reply.status == 201
        git("fetch", "-q", "origin", cwd=work, env=git_env(sandbox))
        assert git("rev-parse", "origin/master", cwd=work).strip() == reply.json["id"]
        git("merge", "-q", "--ff-only", "origin/master", cwd=work)
        assert not os.stat(work / "run.sh").st_mode & stat.S_IXUSR

    def test_a_commit_of_many_files_reads_back_through_the_api_and_a_clone(self, sandbox, project, tmp_path):
        # enough blobs to be stored as a pack, two of them with the same content
        files = {f"d{i % 7}/f{i}.txt": f"file {i}\n" * (i % 5) for i in range(150)}
        files["same-a"] = files["same-b"] = "twice\n"
        head = write_files(sandbox, project, "master", files)["id"]
        status, record = sandbox.api("GET", f"projects/{project['id']}/repository/files/d3%2Ff10.txt",
                                     query={"ref": "master"})
        assert status == 200 and base64.b64decode(record["content"]).decode() == files["d3/f10.txt"]
        work = tmp_path / "wc"
        git("clone", "-q", clone_url(sandbox, project), str(work), env=git_env(sandbox))
        assert git("rev-parse", "HEAD", cwd=work).strip() == head
        assert {p: (work / p).read_text() for p in files} == files
        git("fsck", "--strict", cwd=work)

    def test_clone_of_a_branch_and_of_an_empty_project(self, sandbox, project, tmp_path):
        git("clone", "-q", clone_url(sandbox, project), str(tmp_path / "empty"), env=git_env(sandbox))
        assert os.listdir(tmp_path / "empty") == [".git"]
        write_files(sandbox, project, "master", {"a": "a"})
        assert commit(sandbox, project, "topic", [{"action": "create", "file_path": "t", "content": "t"}],
                      start_branch="master").status == 201
        git("clone", "-q", "--branch", "topic", clone_url(sandbox, project), str(tmp_path / "topic"),
            env=git_env(sandbox))
        assert (tmp_path / "topic" / "t").read_text() == "t"

    def test_first_branch_of_an_empty_project_becomes_its_default(self, sandbox, project, tmp_path):
        assert commit(sandbox, project, "main", [{"action": "create", "file_path": "m", "content": "m"}]).status == 201
        status, record = sandbox.api("GET", f"projects/{project['id']}")
        assert record["default_branch"] == "main"
        status, branch = sandbox.api("GET", f"projects/{project['id']}/repository/branches/main")
        assert branch["default"] is True and branch["protected"] is True
        git("clone", "-q", clone_url(sandbox, project), str(tmp_path / "wc"), env=git_env(sandbox))
        assert git("symbolic-ref", "--short", "HEAD", cwd=tmp_path / "wc").strip() == "main"

    def test_push_moves_the_branch_and_creates_a_pipeline(self, sandbox, project, tmp_path):
        first = write_files(sandbox, project, "master", {"a": "a", ".gitlab-ci.yml": "t:\n  script: [x]\n"})["id"]
        work = tmp_path / "wc"
        git("clone", "-q", clone_url(sandbox, project), str(work), env=git_env(sandbox))
        (work / "b").write_text("b\n")
        git("add", "b", cwd=work)
        git("commit", "-q", "-m", "pushed", cwd=work)
        git("push", "-q", "origin", "master", "master:side", cwd=work, env=git_env(sandbox))
        pushed = git("rev-parse", "HEAD", cwd=work).strip()
        status, branch = sandbox.api("GET", f"projects/{project['id']}/repository/branches/side")
        assert status == 200 and branch["commit"]["id"] == pushed
        status, pipelines = sandbox.api("GET", f"projects/{project['id']}/pipelines")
        assert {(p["ref"], p["sha"]) for p in pipelines} == {("master", first), ("master", pushed), ("side", pushed)}


    def test_pushed_commits_read_back_as_git_describes_them(self, sandbox, project, tmp_path):
        write_files(sandbox, project, "master", {"a": "a"})
        work = tmp_path / "wc"
        git("clone", "-q", clone_url(sandbox, project), str(work), env=git_env(sandbox))
        # zones east and west of UTC, "-0000", a message without its last newline, an identity with
        # trailing blanks before the address, a signature header and a non-UTF-8 encoding
        for date, message, env in [("1700000000 +0530", "east\n\nbody\n", {}),
                                   ("1000000000 -0800", "west no newline", {"GIT_AUTHOR_NAME": "Ann  "}),
                                   ("1600000000 -0000", "zero\n", {})]:
            tree = git("write-tree", cwd=work).strip()
            sha = git("commit-tree", tree, "-p", "HEAD", cwd=work, input=message,
                      env={"GIT_AUTHOR_DATE": date, "GIT_COMMITTER_DATE": date, **env}).strip()
            git("update-ref", "HEAD", sha, cwd=work)
        head = git("rev-parse", "HEAD", cwd=work).strip()
        raw = git("cat-file", "commit", head, cwd=work)
        signed = raw.replace("\n\n", "\ngpgsig -----BEGIN PGP SIGNATURE-----\n \n -----END PGP SIGNATURE-----\n\n", 1)
        head = git("hash-object", "-t", "commit", "-w", "--stdin", cwd=work, input=signed).strip()
        latin = subprocess.run(["git", "commit-tree", git("write-tree", cwd=work).strip(), "-p", head],
                               cwd=work, input="caf\xe9\n".encode("latin-1"), capture_output=True, check=True,
                               env={**os.environ, "GIT_AUTHOR_NAME": "T", "GIT_AUTHOR_EMAIL": "t@x",
                                    "GIT_COMMITTER_NAME": "T", "GIT_COMMITTER_EMAIL": "t@x",
                                    "GIT_CONFIG_PARAMETERS": "'i18n.commitencoding=ISO-8859-1'"}).stdout
        git("update-ref", "HEAD", latin.decode().strip(), cwd=work)
        git("push", "-q", "origin", "master", cwd=work, env=git_env(sandbox))
        for sha in git("rev-list", "-5", "HEAD", cwd=work).split():
            described = git("show", "-s", "--format=%an%x00%ae%x00%aI%x00%cI%x00%B", sha, cwd=work)
            name, email, authored, committed, message = described[:-1].split("\0")  # show adds a newline
            status, record = sandbox.api("GET", f"projects/{project['id']}/repository/commits/{sha}")
            assert status == 200, sha
            assert (record["author_name"], record["author_email"], record["message"]) == (name, email, message)
            assert record["authored_date"] == authored[:19] + ".000" + authored[19:]
            assert record["committed_date"] == committed[:19] + ".000" + committed[19:]
        status, branch = sandbox.api("GET", f"projects/{project['id']}/repository/branches/master")
        assert branch["commit"]["message"] == "café\n"


class TestAuthentication:
    def test_no_or_wrong_credentials_are_refused_with_a_basic_challenge(self, sandbox, project):
        write_files(sandbox, project, "master", {"a": "a"})
        target = repo_path(project) + "/info/refs?service=git-upload-pack"
        for headers in ({}, {"Authorization": basic("oauth2", "not-a-token")}):
            reply = sandbox.request("GET", target, headers=headers)
            assert reply.status == 401
            assert reply.headers["www-authenticate"] == 'Basic realm="GitLab"'
        reply = sandbox.request("GET", target, headers={"Authorization": basic("anyone", sandbox.token)})
        assert reply.status == 200
        assert reply.headers["content-type"] == "application/x-git-upload-pack-advertisement"
        assert b"refs/heads/master" in reply.body
        # an unknown project answers 404 once the caller is known
        reply = sandbox.request("GET", "/nobody/nothing.git/info/refs?service=git-upload-pack",
                                headers={"Authorization": basic("oauth2", sandbox.token)})
        assert reply.status == 404

        env = dict(git_env(sandbox))
        result = subprocess.run(["git", "ls-remote", project["http_url_to_repo"]], capture_output=True, text=True,
                                env={**os.environ, **env, "GIT_TERMINAL_PROMPT": "0", "GIT_ASKPASS": "/bin/false"})
        assert result.returncode != 0

    def test_a_read_only_token_clones_but_cannot_push(self, sandbox, project, tmp_path):
        write_files(sandbox, project, "master", {"a": "a"})
        user = sandbox.create_user("reader" + str(project["id"]))
        status, token = sandbox.api("POST", f"users/{user['id']}/personal_access_tokens",
                                    {"name": "ro", "scopes": ["read_repository"]})
        assert status == 201, token
        work = tmp_path / "wc"
        git("clone", "-q", clone_url(sandbox, project, token["token"]), str(work), env=git_env(sandbox))
        reply = sandbox.request("GET", repo_path(project) + "/info/refs?service=git-receive-pack",
                                headers={"Authorization": basic("oauth2", token["token"])})
        assert reply.status == 403


class TestUploadPackBodies:
    def ls_refs(self, sandbox, project, body, extra_headers):
        headers = {"Authorization": basic("oauth2", sandbox.token), "Git-Protocol": "version=2",
                   "Content-Type": "application/x-git-upload-pack-request"}
        headers.update(extra_headers)
        return sandbox.request("POST", repo_path(project) + "/git-upload-pack", body, headers)

    def test_plain_and_gzip_request_bodies_get_the_same_answer(self, sandbox, project):
        sha = write_files(sandbox, project, "master", {"a": "a"})["id"]
        body = pkt("command=ls-refs\n") + b"0001" + pkt("peel\n") + pkt("symrefs\n") + b"0000"
        plain = self.ls_refs(sandbox, project, body, {})
        assert plain.status == 200, plain
        assert plain.headers["content-type"] == "application/x-git-upload-pack-result"
        assert f"{sha} refs/heads/master".encode() in plain.body
        zipped = self.ls_refs(sandbox, project, gzip.compress(body), {"Content-Encoding": "gzip"})
        assert (zipped.status, zipped.body) == (200, plain.body)

    def test_fetch_with_a_long_negotiation_sends_gzip_bodies_that_are_understood(self, sandbox, project, tmp_path):
        # 6000 local commits the server does not know: git sends its "have" lines in ever larger
        # rounds, and compresses the larger request bodies with gzip.
        sha = write_files(sandbox, project, "master", {"a": "a"})["id"]
        local = tmp_path / "local"
        git("init", "-q", str(local))
        stream = "".join(
            f"commit refs/heads/main\nmark :{i + 1}\ncommitter T <t@example.com> {1700000000 + i} +0000\n"
            f"data 3\nc{i % 10}\n" + (f"from :{i}\n" if i else "") + f"M 644 inline f\ndata 2\n{i % 10}\n\n"
            for i in range(6000))
        git("fast-import", "--quiet", cwd=local, input=stream)
        sandbox.clear_journal()
        git("-c", "protocol.version=2", "fetch", "-q", clone_url(sandbox, project), "master", cwd=local,
            env=git_env(sandbox))
        assert git("rev-parse", "FETCH_HEAD", cwd=local).strip() == sha
        posts = [e for e in sandbox.journal() if e["path"] == repo_path(project) + "/git-upload-pack"]
        encodings = [{k.lower(): v for k, v in e["headers"].items()}.get("content-encoding") for e in posts]
        assert "gzip" in encodings, encodings
        assert all(e["status"] == 200 for e in posts)
