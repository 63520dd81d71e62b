"""Fixtures of the sandbox's own fidelity tests: one sandbox for the session, a clean journal, no
fault rules and the throttles as started around each test, and unique names."""

import itertools

import pytest

import zorv_sandbox

sandbox = zorv_sandbox.pytest_fixture()

_names = itertools.count(1)


def unique(prefix):
    return f"{prefix}-{next(_names)}"


@pytest.fixture
def sb(sandbox):
    sandbox.clear_faults()
    sandbox.rate_limits(reset=True)
    sandbox.clear_journal()
    yield sandbox
    sandbox.clear_faults()
    sandbox.rate_limits(reset=True)


def ok(sb, method, path, body=None, **kwargs):
    status, answer = sb.api(method, path, body, **kwargs)
    assert 200 <= status < 300, (method, path, status, answer)
    return answer


@pytest.fixture
def group(sb):
    name = unique("grp")
    return ok(sb, "POST", "groups", {"name": name, "path": name})


@pytest.fixture
def project(sb, group):
    return ok(sb, "POST", "projects", {"name": unique("prj"), "namespace_id": group["id"]})
