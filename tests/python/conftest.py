import os
import sys

import pytest

# tests/support is importable as the package `support`.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir))

pytest_plugins = [
    "support.pytest_model_server",
    "support.pytest_databases",
    "support.pytest_vendor_service",
]


@pytest.fixture
def restore_codeexec_paths():
    """Tests that point codeexec at another environment leave it as they found it."""
    from norviai import codeexec

    saved = codeexec.env_path, codeexec.python_executable
    yield
    codeexec.env_path, codeexec.python_executable = saved
