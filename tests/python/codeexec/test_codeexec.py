"""The code tool: execution with captured output, the virtual environment and pip installs.

Nothing here reaches a package index: pip runs with PIP_NO_INDEX, installs come from a wheel built
in a temporary folder, and failing installs use a stand-in interpreter that exits at once.
"""

import base64
import contextlib
import hashlib
import io
import os
import subprocess
import sys
import threading
import traceback
import zipfile

import pytest

from norviai import codeexec

DEFAULT_PACKAGES = ["matplotlib", "scikit-learn", "numpy", "statsmodels", "pandas", "scipy"]
OFFLINE_PIP = {"PIP_NO_INDEX": "1", "PIP_DISABLE_PIP_VERSION_CHECK": "1"}

# Stand-in for the environment's interpreter: logs its arguments, fails for names starting "bad".
FAKE_PYTHON = """#!/bin/sh
echo "$*" >> "$0.log"
case "$4" in bad*) exit 3;; esac
exit 0
"""


pytestmark = pytest.mark.usefixtures("restore_codeexec_paths")


@pytest.fixture
def fake_python(tmp_path):
    path = tmp_path / "python"
    path.write_text(FAKE_PYTHON)
    path.chmod(0o755)
    codeexec.python_executable = str(path)
    return path


def _calls(fake_python):
    log = fake_python.with_name("python.log")
    return log.read_text().splitlines() if log.exists() else []


def _wheel(folder, name="tinynorvi", version="0.1"):
    """A minimal pure-Python wheel, so pip can install something without an index."""
    dist_info = f"{name}-{version}.dist-info"
    files = {
        f"{name}/__init__.py": "VALUE = 42\n",
        f"{dist_info}/METADATA": f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n",
        f"{dist_info}/WHEEL": "Wheel-Version: 1.0\nGenerator: test\nRoot-Is-Purelib: true\n"
        "Tag: py3-none-any\n",
    }
    record = []
    for path, text in files.items():
        digest = base64.urlsafe_b64encode(hashlib.sha256(text.encode()).digest()).rstrip(b"=")
        record.append(f"{path},sha256={digest.decode()},{len(text.encode())}")
    files[f"{dist_info}/RECORD"] = "\n".join(record + [f"{dist_info}/RECORD,,"]) + "\n"
    wheel = folder / f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as archive:
        for path, text in files.items():
            archive.writestr(path, text)
    return wheel


@pytest.fixture(scope="module")
def new_environment(tmp_path_factory):
    """One environment created through initialize_environment, with the default installs
    attempted offline (so they fail quickly), and what that printed."""
    saved = codeexec.env_path, codeexec.python_executable
    env_path = str(tmp_path_factory.mktemp("venv") / "env")
    printed = io.StringIO()
    with pytest.MonkeyPatch.context() as patch, contextlib.redirect_stdout(printed):
        for name, value in OFFLINE_PIP.items():
            patch.setenv(name, value)
        codeexec.initialize_environment(env_path)
    result = env_path, codeexec.python_executable, printed.getvalue()
    codeexec.env_path, codeexec.python_executable = saved
    return result


# -- execute_code --------------------------------------------------------------------------


def test_execute_code_returns_printed_text_and_keeps_names_between_calls():
    assert codeexec.execute_code("print('alpha')\nprint('beta')") == "alpha\nbeta\n"
    try:
        assert codeexec.execute_code("import math as _m\n_shared = [1, 2]") == ""
        assert codeexec.execute_code("_shared.append(3)\nprint(_m.floor(2.5), _shared)") == (
            "2 [1, 2, 3]\n"
        )
        # The namespace is the module's own.
        assert codeexec._shared == [1, 2, 3]
    finally:
        for name in ("_m", "_shared"):
            codeexec.__dict__.pop(name, None)


def test_execute_code_errors_leave_standard_output_as_it_was():
    stdout = sys.stdout
    with pytest.raises(SyntaxError):
        codeexec.execute_code("print('never'")
    assert sys.stdout is stdout

    with pytest.raises(ZeroDivisionError) as raised:
        codeexec.execute_code("print('partial')\n1 / 0")
    assert sys.stdout is stdout
    assert traceback.extract_tb(raised.value.__traceback__)[-1].filename == "<ast>"


def test_execute_code_runs_one_at_a_time_across_threads():
    # Each run prints its tag while sleeping; overlapping runs would swap each other's buffers.
    code = "import time\nfor _ in range(20):\n    print('{tag}')\n    time.sleep(0.002)\n"
    results, errors = {}, []
    stdout = sys.stdout

    def run(tag):
        try:
            results[tag] = codeexec.execute_code(code.format(tag=tag))
        except Exception as error:  # reported below; a thread cannot fail the test itself
            errors.append(error)

    threads = [threading.Thread(target=run, args=(f"t{n}",)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
    assert not errors and len(results) == 4
    for tag, text in results.items():
        assert text == f"{tag}\n" * 20
    assert sys.stdout is stdout
    for name in ("time", "_"):
        codeexec.__dict__.pop(name, None)


def test_execute_code_may_call_itself():
    # Executed code sees execute_code in its namespace; the lock must not deadlock on it.
    out = codeexec.execute_code("inner = execute_code('print(1)')\nprint('outer', repr(inner))")
    codeexec.__dict__.pop("inner", None)
    assert out == "outer '1\\n'\n"


# -- installs ------------------------------------------------------------------------------


def test_install_dependencies_runs_pip_per_package_and_names_every_failure(fake_python):
    with pytest.raises(RuntimeError) as raised:
        codeexec.install_dependencies(["good1", "bad1", "good2", "bad2"])
    assert str(raised.value) == (
        "pip install failed for: bad1 (exit status 3), bad2 (exit status 3)"
    )
    assert _calls(fake_python) == [
        f"-m pip install {name}" for name in ("good1", "bad1", "good2", "bad2")
    ]
    codeexec.install_dependencies([])
    assert len(_calls(fake_python)) == 4


@pytest.mark.parametrize(
    "packages, printed",
    [
        (["good"], "Installation successful.\n"),
        (["good", "bad-one"],
         "An error occurred during installation: "
         "pip install failed for: bad-one (exit status 3)\n"),
    ],
    ids=["success", "failure"],
)  # fmt: skip
def test_safe_install_modules_reports_the_outcome(fake_python, capsys, packages, printed):
    assert codeexec.safe_install_modules(packages) is None
    assert capsys.readouterr().out == printed


def test_safe_install_modules_without_an_environment_reports_the_error(capsys):
    codeexec.python_executable = None
    codeexec.safe_install_modules(["anything"])
    assert capsys.readouterr().out.startswith("An error occurred during installation: ")


def test_initialize_environment_on_an_existing_folder_only_sets_the_paths(tmp_path, capsys):
    codeexec.initialize_environment(str(tmp_path))
    assert codeexec.env_path == str(tmp_path)
    assert codeexec.python_executable == os.path.join(str(tmp_path), "bin", "python")
    assert list(tmp_path.iterdir()) == []
    assert capsys.readouterr().out == ""


def test_initialize_environment_creates_an_environment_and_tries_the_defaults(new_environment):
    env_path, python_executable, printed = new_environment
    assert python_executable == os.path.join(env_path, "bin", "python")
    version = subprocess.run(
        [python_executable, "-m", "pip", "--version"], capture_output=True, text=True, timeout=60
    )
    assert version.returncode == 0 and version.stdout.startswith("pip ")
    # Offline, every default install fails, and each is named.
    failures = ", ".join(f"{name} (exit status 1)" for name in DEFAULT_PACKAGES)
    assert printed == f"An error occurred during installation: pip install failed for: {failures}\n"


def test_install_dependencies_installs_into_the_environment(
    new_environment, tmp_path, monkeypatch, capsys
):
    env_path, python_executable, _ = new_environment
    for name, value in OFFLINE_PIP.items():
        monkeypatch.setenv(name, value)
    codeexec.python_executable = python_executable
    codeexec.safe_install_modules([str(_wheel(tmp_path))])
    assert capsys.readouterr().out == "Installation successful.\n"
    imported = subprocess.run(
        [python_executable, "-c", "import tinynorvi; print(tinynorvi.VALUE)"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert imported.stdout == "42\n"
