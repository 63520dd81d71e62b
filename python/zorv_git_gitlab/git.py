"""GitlabGit: automates a GitLab server through its REST API (v4) and drives local git working copies.

Every operation is a class method; the work is done by the library's C++ core with the GIL released.
Operations read the class attributes of the class they are called on at the moment of the call, and
reach each other through that class, so a subclass (or a mock) that redefines an operation or assigns
``api_url``/``gitlab_token`` changes it for every operation called on that class.

The class methods are built from the core's table of operations when this module loads: their names,
parameters, annotations and defaults are the table's.
"""

import os

from zorv_git import Git
from zorv_git_gitlab import _core
from zorv_git_gitlab._core import token_variable  # noqa: F401  (the name rule of per-server token variables)
from zorv_git_gitlab.errors import ProjectNotFoundError  # noqa: F401  (re-exported for callers)


class GitlabGit(Git):
    PIPELINE_END_STATUS = ["success", "failed", "canceled", "skipped"]
    api_url = "https://" + str(os.environ.get("GITLAB_HOST")) + "/api/v4/"
    # While GitlabGit holds this very value (not assigned, and a subclass did not set its own), git is
    # given GITLAB_TOKEN as it is at each call, for the server GITLAB_HOST names (see the README).
    gitlab_token = os.environ.get("GITLAB_TOKEN")
    # True: clone_project and commit_project show their progress on the process's standard error
    # (file descriptor 2, not sys.stderr), for a person at a terminal.
    show_progress = False
    # The request limits (connect_timeout, stall_timeout, max_tries, ...) are class attributes too,
    # set below from the core's list of settings with the core's defaults.


def _working_copy(directory):
    """The cloned working copy as GitPython's Repo; its directory where GitPython is not installed."""
    try:
        from git import Repo  # GitPython, imported only when a clone is made
    except ImportError:
        return directory
    return Repo(directory)


def _source(operations):
    """The class methods' source: one function per operation, forwarding to the native one."""
    lines = []
    for name, doc, extra_keywords, working_copy, parameters in operations:
        signature, passed = ["cls"], ["cls"]
        for parameter, annotation, default in parameters:
            text = parameter + (": " + annotation if annotation else "")
            if default:
                text += (" = " if annotation else "=") + repr(default[0])
            signature.append(text)
            passed.append(parameter)
        if extra_keywords:
            signature.append("**kwargs")
        call = f"_core.{name}({', '.join(passed)})"
        if working_copy:
            call = f"_working_copy({call})"
        lines += [f"def {name}({', '.join(signature)}):", f"    {doc!r}", f"    return {call}", ""]
    return "\n".join(lines)


def _define_settings():
    """The request limits as class attributes, with the core's defaults (see the README's table)."""
    for name, default, _help in _core.SETTINGS:
        setattr(GitlabGit, name, default)


def _define_operations():
    namespace = {"_core": _core, "_working_copy": _working_copy, "__name__": __name__}
    exec(compile(_source(_core.OPERATIONS), "<zorv_git_gitlab operations>", "exec"), namespace)  # noqa: S102 (source built from the core's table)
    for name, *_ in _core.OPERATIONS:
        function = namespace[name]
        function.__qualname__ = "GitlabGit." + name
        setattr(GitlabGit, name, classmethod(function))
    _core.adopt_inner_calls(GitlabGit)


_define_settings()
_define_operations()
