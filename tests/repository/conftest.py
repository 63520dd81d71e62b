"""Shared fixtures of the repository route tests: one sandbox per run, a fresh project per test."""

import uuid

import pytest

import zorv_sandbox

sandbox = zorv_sandbox.pytest_fixture()


@pytest.fixture
def project(sandbox):
    """A new, empty project in a new group."""
    name = "g" + uuid.uuid4().hex[:10]
    status, group = sandbox.api("POST", "groups", {"name": name, "path": name})
    assert status == 201, group
    status, record = sandbox.api("POST", "projects", {"name": "app", "path": "app", "namespace_id": group["id"]})
    assert status == 201, record
    return record
