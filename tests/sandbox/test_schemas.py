"""The sandbox's records against the JSON schemas GitLab's API tests assert (copied into schemas/;
see its README for where they come from and what is added on top of them)."""

import json
from pathlib import Path

import jsonschema
import pytest

from conftest import ok, unique

SCHEMAS = Path(__file__).resolve().parent / "schemas"

# GitLab's schemas use two names that are no JSON Schema types; both stand for strings.
_TYPES = jsonschema.Draft4Validator.TYPE_CHECKER.redefine_many(
    {"date": lambda _, value: isinstance(value, str), "uri": lambda _, value: isinstance(value, str)})
_Validator = jsonschema.validators.extend(jsonschema.Draft4Validator, type_checker=_TYPES)


def later_project_fields(schema):
    schema["items"]["properties"].update({"topics": {"type": "array", "items": {"type": "string"}},
                                          "readme_url": {"type": ["string", "null"]}, "namespace": {"type": "object"}})


def later_note_fields(schema):
    schema["items"]["properties"].update({"project_id": {"type": "integer"}, "imported": {"type": "boolean"},
                                          "imported_from": {"type": "string"}})


def pipeline_names(schema):
    schema["items"] = {"allOf": [schema["items"], {"required": ["name"], "properties": {"name": {
        "type": ["string", "null"]}}}]}


def detailed_status_object(schema):
    schema["allOf"].append({"required": ["detailed_status"], "properties": {
        "detailed_status": {"$ref": "../../../status/ci_detailed_status.json"}}})


def validate(record, name, amend=None):
    path = SCHEMAS / name
    schema = json.loads(path.read_text())
    if amend:
        amend(schema)
    resolver = jsonschema.RefResolver(base_uri=path.as_uri(), referrer=schema)
    _Validator(schema, resolver=resolver, format_checker=jsonschema.FormatChecker()).validate(record)


@pytest.fixture(scope="module")
def world(sandbox):
    """One project of each kind of record the library reads: seeded in bulk (its repository made on first
    use), with a commit holding CI configuration (so a pipeline), an issue with a note, and a group access
    token in its group."""
    sb = sandbox
    name = unique("schemas")
    group = ok(sb, "POST", "groups", {"name": name, "path": name})
    [pid] = sb.projects(group["id"], [unique("prj")])
    commit = ok(sb, "POST", f"projects/{pid}/repository/commits", {
        "branch": "main", "commit_message": "CI", "actions": [
            {"action": "create", "file_path": ".gitlab-ci.yml", "content": "test:\n  script: [true]\n"}]})
    issue = ok(sb, "POST", f"projects/{pid}/issues", {"title": "t"})
    ok(sb, "POST", f"projects/{pid}/issues/{issue['iid']}/notes", {"body": "b"})
    ok(sb, "POST", f"groups/{group['id']}/access_tokens", {"name": "bot", "scopes": ["api"]})
    pipeline = ok(sb, "GET", f"projects/{pid}/pipelines")[0]["id"]
    return {"group": group["id"], "project": pid, "commit": commit, "issue": issue["iid"], "pipeline": pipeline}


RECORDS = [  # what the library reads, the route that answers it, its schema, what is added on top
    ("group's projects", lambda w: f"groups/{w['group']}/projects?simple=true", "public_api/v4/projects.json",
     later_project_fields),
    ("project search", lambda w: "projects?simple=true&search=prj", "public_api/v4/projects.json",
     later_project_fields),
    ("issue", lambda w: f"projects/{w['project']}/issues/{w['issue']}", "public_api/v4/issue.json", None),
    ("notes", lambda w: f"projects/{w['project']}/issues/{w['issue']}/notes", "public_api/v4/notes.json",
     later_note_fields),
    ("group access tokens", lambda w: f"groups/{w['group']}/access_tokens", None, None),
    ("pipelines", lambda w: f"projects/{w['project']}/pipelines", "public_api/v4/pipelines.json", pipeline_names),
    ("pipeline", lambda w: f"projects/{w['project']}/pipelines/{w['pipeline']}", "public_api/v4/pipeline/detail.json",
     detailed_status_object),
    ("branch", lambda w: f"projects/{w['project']}/repository/branches/main", "public_api/v4/branch.json", None),
    ("commits", lambda w: f"projects/{w['project']}/repository/commits", "public_api/v4/commits.json", None),
]


@pytest.mark.parametrize("route, schema, amend", [r[1:] for r in RECORDS], ids=[r[0] for r in RECORDS])
def test_records_follow_gitlabs_schemas(sb, world, route, schema, amend):
    status, answer = sb.api("GET", route(world))
    assert status == 200 and answer, answer
    if schema is None:  # the token list: the schema is of one token
        for token in answer:
            validate(token, "public_api/v4/resource_access_token.json")
    else:
        validate(answer, schema, amend)


def test_a_new_commit_follows_gitlabs_schema(world):
    validate(world["commit"], "public_api/v4/commit/detail.json")
