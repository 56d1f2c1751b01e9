"""Install entry points: codeexec's names re-exported, and set-up and installs that print errors."""

import inspect
import subprocess
import sys

import pytest

from norviai import codeexec, master

# Stand-in for the environment's interpreter: fails for package names starting "bad".
FAKE_PYTHON = """#!/bin/sh
case "$4" in bad*) exit 2;; esac
exit 0
"""


pytestmark = pytest.mark.usefixtures("restore_codeexec_paths")


# Run in a fresh interpreter: executed code may add names to codeexec after master's import.
_EXPORT_CHECK = """
from norviai import codeexec, master
public = [name for name in vars(codeexec) if not name.startswith("_")]
print(sorted(name for name in public if name != "safe_install_modules"
             and getattr(master, name, None) is not getattr(codeexec, name)))
print(master.env_path, master.python_executable, master.media_path)
"""


def test_master_exports_every_public_name_of_codeexec():
    done = subprocess.run(
        [sys.executable, "-c", _EXPORT_CHECK], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout == "[]\nNone None None\n"
    assert master.safe_install_modules is not codeexec.safe_install_modules
    assert master.safe_install_modules.__doc__.startswith(
        "Calls install_dependencies with a list of module names and handles any errors.\n"
    )
    assert "module_names" in master.safe_install_modules.__doc__
    assert list(inspect.signature(master.initialize_env).parameters) == ["env_path"]


@pytest.mark.parametrize(
    "packages, printed",
    [
        (["good", "also-good"], "Installation successful.\n"),
        (["bad-a", "good", "bad-b"],
         "An error occurred during installation: "
         "pip install failed for: bad-a (exit status 2), bad-b (exit status 2)\n"),
    ],
    ids=["success", "failure"],
)  # fmt: skip
def test_safe_install_modules_uses_codeexecs_live_interpreter(tmp_path, capsys, packages, printed):
    fake = tmp_path / "python"
    fake.write_text(FAKE_PYTHON)
    fake.chmod(0o755)
    # Set on codeexec only: master's copy of the variable is the import-time value.
    codeexec.python_executable = str(fake)
    assert master.safe_install_modules(packages) is None
    assert capsys.readouterr().out == printed


def test_safe_install_modules_before_any_environment_prints_the_error(capsys):
    codeexec.python_executable = None
    assert master.safe_install_modules(["pandas"]) is None
    assert capsys.readouterr().out.startswith("An error occurred during installation: ")


def test_initialize_env_sets_codeexecs_paths_or_prints_the_error(tmp_path, capsys):
    assert master.initialize_env(str(tmp_path)) is None
    assert codeexec.env_path == str(tmp_path)
    assert codeexec.python_executable == str(tmp_path / "bin" / "python")
    assert capsys.readouterr().out == ""

    assert master.initialize_env(None) is None
    assert capsys.readouterr().out.startswith("An error occurred during initilization: ")
