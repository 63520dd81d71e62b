"""A crowded instance: a group's projects (GET /groups/:id/projects), the offset paging limit and keyset
paging, projects seeded in bulk whose bare repositories are made on first use, and lists too long to
count."""

import json
import os
import subprocess
import urllib.parse

import pytest

import zorv_sandbox
from conftest import ok, unique

BASIC_PROJECT = ["id", "description", "name", "name_with_namespace", "path", "path_with_namespace", "created_at",
                 "default_branch", "tag_list", "topics", "ssh_url_to_repo", "http_url_to_repo", "web_url",
                 "readme_url", "forks_count", "avatar_url", "star_count", "last_activity_at", "namespace"]


def new_group(sb, parent_id=None):
    name = unique("grp")
    body = {"name": name, "path": name}
    if parent_id is not None:
        body["parent_id"] = parent_id
    return ok(sb, "POST", "groups", body)["id"]


def names(sb, path, **query):
    reply = sb.call("GET", path, query={"per_page": 100, **query})
    assert reply.status == 200, reply.text
    return [p["name"] for p in reply.json]


def test_a_groups_projects_are_its_own_unless_asked_for_more(sb):
    home = new_group(sb)
    sub, elsewhere = new_group(sb, parent_id=home), new_group(sb)
    made = {n: ok(sb, "POST", "projects", {"name": n, "namespace_id": home})["id"] for n in ["app-a", "app-b", "web"]}
    ok(sb, "POST", f"projects/{made['app-b']}/archive")
    ok(sb, "POST", "projects", {"name": "app-sub", "namespace_id": sub})
    shared = ok(sb, "POST", "projects", {"name": "app-shared", "namespace_id": elsewhere})
    link = ok(sb, "POST", f"projects/{shared['id']}/share", {"group_id": home, "group_access": 30})
    assert link == {"id": link["id"], "project_id": shared["id"], "group_id": home, "group_access": 30,
                    "expires_at": None}
    base = f"groups/{home}/projects"

    # Newest first; archived projects are in unless archived says otherwise; shared ones by default.
    assert names(sb, base) == ["app-shared", "web", "app-b", "app-a"]
    assert names(sb, base, search="APP", with_shared="false") == ["app-b", "app-a"]
    assert names(sb, base, archived="true") == ["app-b"]
    assert names(sb, base, archived="false", with_shared="false") == ["web", "app-a"]
    assert names(sb, base, include_subgroups="true", with_shared="false", order_by="name", sort="asc") == [
        "app-a", "app-b", "app-sub", "web"]
    simple = sb.call("GET", base, query={"simple": "true", "search": "app-a"}).json
    assert [list(p) for p in simple] == [BASIC_PROJECT]
    assert simple[0]["namespace"]["id"] == home

    paged = sb.call("GET", base, query={"per_page": 1, "page": 2, "with_shared": "false"}).headers
    assert [paged[h] for h in ("x-total", "x-total-pages", "x-next-page", "x-prev-page")] == ["3", "3", "3", "1"]
    assert sb.api("GET", "groups/999999/projects") == (404, {"message": "404 Group Not Found"})
    assert sb.api("GET", base, query={"order_by": "size"}) == (400, {"error": "order_by does not have a valid value"})

    # Shares: the holder's group and its ancestors are refused, a second share too, and unsharing ends it.
    assert sb.api("POST", f"projects/{made['web']}/share", {"group_id": home, "group_access": 30})[0] == 409
    assert sb.api("POST", f"projects/{shared['id']}/share", {"group_id": home, "group_access": 30})[0] == 409
    assert sb.api("POST", f"projects/{shared['id']}/share", {"group_id": 999999, "group_access": 30})[0] == 404
    shown = ok(sb, "GET", f"projects/{shared['id']}")["shared_with_groups"]
    assert [(g["group_id"], g["group_access_level"]) for g in shown] == [(home, 30)]
    assert [p["id"] for p in ok(sb, "GET", f"groups/{home}")["shared_projects"]] == [shared["id"]]
    assert sb.call("DELETE", f"projects/{shared['id']}/share/{home}").status == 204
    assert "app-shared" not in names(sb, base)


def test_offset_paging_stops_at_the_limit_and_keyset_paging_goes_on(sb):
    group = new_group(sb)
    ids = sb.projects(group, [unique("lim") for _ in range(5)])
    sb.settings(offset_pagination_limit=4)
    try:
        assert sb.call("GET", "projects", query={"per_page": 2, "page": 2}).status == 200  # 2 x 2 = 4: allowed
        refused = sb.call("GET", "projects", query={"per_page": 2, "page": 3})
        assert (refused.status, refused.json) == (405, {"error": (
            "Offset pagination has a maximum allowed offset of 4 for requests that return objects of type Project. "
            "Remaining records can be retrieved using keyset pagination.")})
        groups = sb.call("GET", "groups", query={"per_page": 5})
        assert groups.status == 405 and "objects of type Group." in groups.json["error"]
        # A group's projects and its subgroups are paged without a limit, as GitLab pages them.
        assert sb.call("GET", f"groups/{group}/projects", query={"per_page": 2, "page": 3}).status == 200

        # Keyset paging by id, following Link rel="next" to the end.
        seen, query = [], {"pagination": "keyset", "order_by": "id", "sort": "asc", "per_page": 2,
                           "id_after": ids[0] - 1}
        while query:
            reply = sb.call("GET", "projects", query=query)
            assert reply.status == 200 and reply.headers.get("x-total", "") == ""
            seen += [p["id"] for p in reply.json]
            link = reply.headers.get("link", "")
            query = link and dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(link[1:link.index(">")]).query))
        assert seen == ids
        assert sb.api("GET", "projects", query={"pagination": "keyset", "order_by": "name"}) == (
            405, {"error": "Keyset pagination is not yet available for this type of request"})
        with pytest.raises(zorv_sandbox.SandboxError):
            sb.settings(offset_pagination_limit=-1)
    finally:
        sb.settings(offset_pagination_limit=50000)


def test_projects_seeded_in_bulk_are_whole_projects_whose_repositories_come_on_first_use(sb, tmp_path):
    group = new_group(sb)
    made = ok(sb, "POST", "projects", {"name": unique("single"), "namespace_id": group})
    first, second, third = sb.projects(group, ["bulk-a", "bulk-b", "bulk-c"], description="seeded")
    assert (second, third) == (first + 1, first + 2)
    record = ok(sb, "GET", f"projects/{first}")
    assert list(record) == list(made) and (record["name"], record["description"]) == ("bulk-a", "seeded")
    assert record["empty_repo"] is True and record["creator_id"] == 1
    # All or nothing: a name taken (here within the batch) adds none of them.
    with pytest.raises(zorv_sandbox.SandboxError, match="has already been taken"):
        sb.projects(group, ["bulk-d", "bulk-d"])
    assert names(sb, f"groups/{group}/projects", search="bulk-d") == []

    repositories = os.path.dirname(os.path.dirname(sb.env["CURL_CA_BUNDLE"])) + "/repositories"
    repository = f"{repositories}/{record['path_with_namespace']}.git"
    # Every route that works on the repository finds one: branches, commits, files, tags, merge requests.
    ok(sb, "POST", f"projects/{second}/repository/branches", {"branch": "topic", "ref": "main"})
    ok(sb, "POST", f"projects/{second}/repository/commits", {"branch": "topic", "commit_message": "m", "actions": [
        {"action": "create", "file_path": "a.txt", "content": "a"}]})
    assert sb.call("GET", f"projects/{second}/repository/files/a.txt/raw", query={"ref": "topic"}).text == "a"
    ok(sb, "POST", f"projects/{second}/repository/tags", {"tag_name": "v1", "ref": "topic"})
    ok(sb, "POST", f"projects/{second}/merge_requests", {"source_branch": "topic", "target_branch": "main",
                                                         "title": "t"})
    # Git over HTTPS on a project no route has touched yet.
    remote = f"https://oauth2:{sb.token}@{sb.host}/{ok(sb, 'GET', f'projects/{third}')['path_with_namespace']}.git"
    env = {**os.environ, "GIT_SSL_CAINFO": sb.env["CURL_CA_BUNDLE"]}
    subprocess.run(["git", "clone", "-q", remote, str(tmp_path / "c")], check=True, env=env, capture_output=True)
    # Deletion moves the repository with the renamed project.
    assert sb.call("DELETE", f"projects/{first}").status == 202
    moved = ok(sb, "GET", f"projects/{first}")["path_with_namespace"]
    assert not os.path.exists(repository) and os.path.isdir(f"{repositories}/{moved}.git")


def test_a_repository_not_yet_made_is_made_after_a_restart(tmp_path):
    with zorv_sandbox.Sandbox(data_dir=tmp_path) as first:
        group = new_group(first)
        used, unused = first.projects(group, ["used", "unused"])
        ok(first, "POST", f"projects/{used}/repository/branches", {"branch": "kept", "ref": "main"})
    saved = dict(json.loads((tmp_path / "state.json").read_text())["state"]["projects"])  # [id, entry] pairs
    assert (saved[used]["repository_made"], saved[unused]["repository_made"]) == (True, False)
    with zorv_sandbox.Sandbox(data_dir=tmp_path) as second:
        assert ok(second, "GET", f"projects/{used}/repository/branches/kept")["name"] == "kept"
        assert second.call("GET", f"projects/{unused}/repository/branches").json == []
        ok(second, "POST", f"projects/{unused}/repository/branches", {"branch": "new", "ref": "main"})
        assert ok(second, "GET", f"projects/{unused}")["empty_repo"] is False


def test_lists_of_more_than_ten_thousand_records_are_not_counted(tmp_path):
    with zorv_sandbox.Sandbox() as crowded:
        group = new_group(crowded)
        crowded.projects(group, [f"app-{i:05d}" for i in range(10001)])
        last = crowded.call("GET", f"groups/{group}/projects", query={"per_page": 100, "page": 100})
        assert "x-total" not in last.headers and "x-total-pages" not in last.headers
        assert (last.headers["x-next-page"], len(last.json)) == ("101", 100) and 'rel="last"' not in last.headers["link"]
        end = crowded.call("GET", f"groups/{group}/projects", query={"per_page": 100, "page": 101})
        assert (len(end.json), end.headers.get("x-next-page", "")) == (1, "")
