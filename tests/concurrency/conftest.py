import zorv_sandbox

sandbox = zorv_sandbox.pytest_fixture()
