"""What every route shares: authentication, unknown routes, routing on the raw path, parameter
forms, and GitLab's offset paging headers."""

import re
import urllib.parse

import pytest

from conftest import ok, unique

UNAUTHORIZED = {"message": "401 Unauthorized"}
NOT_FOUND = {"error": "404 Not Found"}


@pytest.mark.parametrize("headers,query", [
    ({}, None),
    ({"PRIVATE-TOKEN": "glpat-wrong"}, None),
    ({"Authorization": "Bearer glpat-wrong"}, None),
    ({}, {"private_token": "glpat-wrong"}),
])
def test_requests_without_a_valid_token_are_refused(sb, headers, query):
    reply = sb.call("GET", "projects", token="", headers=headers, query=query)
    assert (reply.status, reply.json) == (401, UNAUTHORIZED)
    assert reply.headers["content-type"].startswith("application/json")


def test_the_token_may_come_as_header_bearer_or_query_parameter(sb):
    assert sb.call("GET", "user", token="", headers={"Authorization": "Bearer " + sb.token}).status == 200
    assert sb.call("GET", "user", token="", query={"private_token": sb.token}).json["username"] == "root"
    assert sb.call("GET", "user").json["is_admin"] is True


def test_unknown_routes_answer_404_error_with_or_without_token(sb):
    for token in (None, ""):
        for method, path in [("GET", "nothing"), ("POST", "users/1/access_tokens"), ("PATCH", "projects")]:
            reply = sb.call(method, path, token=token)
            assert (reply.status, reply.json) == (404, NOT_FOUND), (method, path, token)
    assert sb.request("GET", "/").status == 404


def test_encoded_slash_is_one_segment_and_a_raw_slash_is_not(sb, group):
    name = unique("prj")
    created = ok(sb, "POST", "projects", {"name": name, "namespace_id": group["id"]})
    full = created["path_with_namespace"]
    assert "/" in full
    encoded = urllib.parse.quote(full, safe="")
    status, record = sb.api("GET", f"projects/{encoded}")
    assert (status, record["id"]) == (200, created["id"])
    # Upper case and a lower-case %2f resolve too, as GitLab's path lookup is case-insensitive.
    assert sb.api("GET", "projects/" + encoded.upper().replace("%2F", "%2f"))[0] == 200
    assert sb.api("GET", f"projects/{full}") == (404, NOT_FOUND)
    assert sb.api("GET", "projects/" + urllib.parse.quote("no/such", safe="")) == (
        404, {"message": "404 Project Not Found"})
    # Values of :name segments are decoded once: %252F is a literal "%2F", not a slash.
    assert sb.api("GET", "projects/" + urllib.parse.quote(encoded, safe=""))[0] == 404


def test_parameters_come_from_query_form_or_json_alike(sb, group):
    for how in ("query", "form", "json"):
        name = unique(how)
        fields = {"name": name, "path": name, "parent_id": str(group["id"])}
        if how == "query":
            reply = sb.call("POST", "groups", query=fields)
        elif how == "form":
            reply = sb.call("POST", "groups", form=fields)
        else:
            reply = sb.call("POST", "groups", {**fields, "parent_id": group["id"]})
        assert reply.status == 201, (how, reply)
        assert (reply.json["name"], reply.json["parent_id"]) == (name, group["id"])
    # A JSON body wins over the query string, as in Rack.
    name = unique("both")
    reply = sb.call("POST", "groups", {"name": name, "path": name}, query={"name": "ignored", "path": "ignored"})
    assert (reply.status, reply.json["path"]) == (201, name)
    # Broken JSON is refused with an "error".
    reply = sb.call("POST", "groups", "{not json", headers={"Content-Type": "application/json"})
    assert reply.status == 400 and "error" in reply.json


def links(reply):
    return {rel: url for url, rel in re.findall(r'<([^>]+)>; rel="(\w+)"', reply.headers["link"])}


def test_paging_headers_follow_gitlab(sb, group):
    for i in range(25):
        ok(sb, "POST", "groups", {"name": f"sub-{i:02d}", "path": f"sub-{i:02d}", "parent_id": group["id"]})
    base = f"groups/{group['id']}/subgroups"

    first = sb.call("GET", base, query={"search": "sub"})
    assert first.status == 200 and len(first.json) == 20
    assert [g["name"] for g in first.json] == [f"sub-{i:02d}" for i in range(20)]
    h = first.headers
    assert (h["x-page"], h["x-per-page"], h["x-next-page"], h["x-prev-page"]) == ("1", "20", "2", "")
    assert (h["x-total"], h["x-total-pages"]) == ("25", "2")
    rels = links(first)
    assert set(rels) == {"next", "first", "last"}
    host = f"https://{sb.host}/api/v4/{base}?"
    assert rels["next"] == host + "page=2&per_page=20&search=sub"
    assert rels["first"] == host + "page=1&per_page=20&search=sub"
    assert rels["last"] == host + "page=2&per_page=20&search=sub"

    second = sb.call("GET", rels["next"][len(f"https://{sb.host}"):].replace("/api/v4/", "", 1))
    assert [g["name"] for g in second.json] == [f"sub-{i:02d}" for i in range(20, 25)]
    assert (second.headers["x-next-page"], second.headers["x-prev-page"]) == ("", "1")
    assert set(links(second)) == {"prev", "first", "last"}

    # Values are escaped as Rails writes them (a space as '+').
    spaced = links(sb.call("GET", base, query={"search": "no such", "order_by": "name"}))
    assert spaced["first"] == host + "order_by=name&page=1&per_page=20&search=no+such"

    capped = sb.call("GET", base, query={"per_page": 500})
    assert capped.headers["x-per-page"] == "100" and len(capped.json) == 25
    beyond = sb.call("GET", base, query={"page": 9, "per_page": 10})
    assert beyond.json == [] and (beyond.headers["x-next-page"], beyond.headers["x-prev-page"]) == ("", "")
    assert beyond.headers["x-total-pages"] == "3"
    assert sb.call("GET", base, query={"per_page": "many"}).status == 400


def test_an_empty_list_still_counts_one_page(sb, group):
    reply = sb.call("GET", f"groups/{group['id']}/subgroups")
    assert reply.json == []
    assert (reply.headers["x-total"], reply.headers["x-total-pages"], reply.headers["x-next-page"]) == ("0", "1", "")
    assert set(links(reply)) == {"first", "last"}


def test_rack_style_array_parameters_in_forms_and_queries(sb, project):
    user = sb.create_user(unique("dev"))
    reply = sb.call("POST", f"users/{user['id']}/personal_access_tokens",
                    form=[("name", "multi"), ("scopes[]", "api"), ("scopes[]", "read_repository")])
    assert (reply.status, reply.json["scopes"]) == (201, ["api", "read_repository"])
    issue = sb.call("POST", f"projects/{project['id']}/issues",
                    query=[("title", "t"), ("labels[]", "zeta"), ("labels[]", "alpha")])
    assert (issue.status, issue.json["labels"]) == (201, ["alpha", "zeta"])


def test_head_requests_are_answered_like_gets_without_a_body(sb):
    reply = sb.request("HEAD", "/api/v4/user", headers={"PRIVATE-TOKEN": sb.token})
    assert reply.status == 200 and reply.body == b""
    assert sb.request("HEAD", "/api/v4/user").status == 401


def test_fault_rules_never_touch_the_control_routes(sb):
    sb.add_fault({"path": ".*", "times": 0, "status": 500})
    assert sb.call("GET", "user").status == 500
    assert sb.request("GET", "/-/sandbox/journal").status == 200
    sb.clear_faults()
    assert sb.call("GET", "user").status == 200
