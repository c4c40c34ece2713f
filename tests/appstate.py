"""What the `call_app` fixture of conftest.py understands besides plain state values. A module of
its own because a test module cannot import a conftest: its name is shared by every test folder."""

ABSENT = object()  # a state attribute deleted before the first request
