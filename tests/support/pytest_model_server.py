"""pytest plugin: a fresh scripted model server for each test that asks for `model_server`."""

import pytest

from support.model_server import ModelServer


@pytest.fixture
def model_server():
    with ModelServer() as server:
        yield server
    # A script callable that raised was answered with a 500; make sure the test hears of it.
    if server.errors:
        pytest.fail("the scripted model server hit errors:\n" + "\n".join(server.errors))
