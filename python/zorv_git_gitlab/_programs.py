"""Commands pip installs into the environment's bin directory: each runs the program of the same name
that the wheel carries in zorv_git_gitlab/bin."""

import os
import sys
from pathlib import Path

_BIN = Path(__file__).resolve().parent / "bin"


def _exec(name):
    program = _BIN / name
    os.execv(program, [str(program), *sys.argv[1:]])


def zorv_gitlab():
    _exec("zorv-gitlab")


def zorv_gitlab_sandbox():
    _exec("zorv-gitlab-sandbox")
