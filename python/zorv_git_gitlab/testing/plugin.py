"""pytest plugin of the sandbox test kit, loaded by itself once the package is installed (entry point
``pytest11``); without one, ``pytest -p zorv_git_gitlab.testing.plugin`` loads it.

Fixtures:

- ``gitlab_sandbox`` (session): a started Sandbox shared by every test of the run.
- ``gitlab_group`` (per test): a fresh group's record. For the test's duration GitlabGit's ``api_url``
  and ``gitlab_token`` and the variables GITLAB_HOST, GITLAB_TOKEN, CURL_CA_BUNDLE and GIT_SSL_CAINFO
  of os.environ (seen by subprocesses too) point at the sandbox, its token also in its host's variable
  (``gitlab_sandbox.token_variable``); the journal starts empty, no fault rule is left over and the
  throttles are as the sandbox started (counts restarted).
  Everything is put back afterwards.
"""

import pytest

from zorv_git_gitlab.testing import Sandbox


@pytest.fixture(scope="session")
def gitlab_sandbox():
    with Sandbox() as sandbox:
        yield sandbox


@pytest.fixture
def gitlab_group(gitlab_sandbox, monkeypatch):
    from zorv_git_gitlab.git import GitlabGit

    sandbox = gitlab_sandbox
    sandbox.clear_faults()
    sandbox.rate_limits(reset=True)
    group = sandbox.group()
    for name, value in sandbox.environ({}).items():
        monkeypatch.setenv(name, value)
    monkeypatch.setattr(GitlabGit, "api_url", sandbox.api_url)
    monkeypatch.setattr(GitlabGit, "gitlab_token", sandbox.token)
    sandbox.clear_journal()
    yield group
    sandbox.clear_faults()
    sandbox.rate_limits(reset=True)
