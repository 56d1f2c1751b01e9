"""The runner the analysis sandbox starts in its child interpreter, driven as the launcher drives
it: program text on standard input, one JSON line expected on standard output."""

import importlib.util
import json
import os
import pathlib
import subprocess
import sys
import time

import pytest

RUNNER_NAME = "_sandbox_runner.py"


@pytest.fixture(scope="module")
def runner_path():
    spec = importlib.util.find_spec("norviai")
    folders = list(spec.submodule_search_locations or []) if spec else []
    folders.append(pathlib.Path(__file__).resolve().parents[2] / "python" / "norviai")
    for folder in folders:
        candidate = pathlib.Path(folder) / RUNNER_NAME
        if candidate.is_file():
            return candidate
    pytest.fail("{} not found in {}".format(RUNNER_NAME, folders))


@pytest.fixture
def run(runner_path, tmp_path):
    """Runs one program; returns (answer, completed process) after checking the answer channel."""

    def run_program(program, timeout=60):
        environment = {
            "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
            "HOME": str(tmp_path),
            "MPLCONFIGDIR": str(tmp_path),
        }
        completed = subprocess.run(
            [sys.executable, "-I", str(runner_path)],
            input=program.encode("utf-8"),
            capture_output=True,
            cwd=tmp_path,
            env=environment,
            timeout=timeout,
        )
        assert completed.returncode == 0, completed.stderr.decode()
        lines = completed.stdout.decode("ascii").splitlines(keepends=True)
        assert len(lines) == 1 and lines[0].endswith("\n"), completed.stdout
        return json.loads(lines[0]), completed

    return run_program


@pytest.mark.parametrize(
    "program, output",
    [
        (
            "import sys\nprint('a')\nsys.stdout.write('b')\nprint('c', end='')\n"
            "print(1, 2, sep='-')",
            "a\nbc1-2\n",
        ),
        ("print('déjà vu ✓', '\\x00', 'multi\\nline')", "déjà vu ✓ \x00 multi\nline\n"),
        ("x = 1", ""),
        ("print(sorted(globals()))", "['__builtins__', 'datetime']\n"),
        ("print(datetime.date(2024, 2, 28) + datetime.timedelta(days=1))", "2024-02-29\n"),
        ("x = 5\ndef f():\n    return x\nprint(f(), [x * i for i in range(3)])", "5 [0, 5, 10]\n"),
    ],
)
def test_printed_output_is_the_answer(run, program, output):
    answer, _ = run(program)
    assert answer == {"ok": True, "output": output}


@pytest.mark.parametrize(
    "program, error",
    [
        ("pd.DataFrame({'a': [1]})", "NameError: name 'pd' is not defined"),
        ("1 / 0", "ZeroDivisionError: division by zero"),
        ("print('before')\nraise ValueError('bad value')", "ValueError: bad value"),
        ("{}['k']", "KeyError: 'k'"),
        ("class Boom(Exception):\n    pass\nraise Boom('x', 2)", "Boom: ('x', 2)"),
        ("raise RuntimeError", "RuntimeError: "),
        (
            "class Mute(Exception):\n    def __str__(self):\n        raise TypeError\nraise Mute",
            "Mute: <exception str() failed>",
        ),
        ("for", "SyntaxError: invalid syntax (<unknown>, line 1)"),
        ("input()", "EOFError: EOF when reading a line"),
        ("raise KeyboardInterrupt('stop')", "KeyboardInterrupt: stop"),
    ],
)
def test_errors_are_answered_as_type_and_message(run, program, error):
    answer, _ = run(program)
    assert answer == {"ok": False, "error": error}


@pytest.mark.parametrize(
    "program, error",
    [
        ("import sys\nsys.exit(3)", "SystemExit: 3"),
        ("raise SystemExit", "SystemExit: "),
        ("print('partial')\nexit('bye')", "SystemExit: bye"),
    ],
)
def test_exit_requests_are_refused_not_obeyed(run, program, error):
    answer, _ = run(program)
    assert answer == {"ok": False, "exit_requested": True, "error": error}


def test_each_run_starts_from_a_fresh_namespace(run):
    assert run("x = 1\nimport pandas as pd")[0]["ok"]
    assert run("print(x)")[0] == {"ok": False, "error": "NameError: name 'x' is not defined"}
    assert run("pd")[0] == {"ok": False, "error": "NameError: name 'pd' is not defined"}


def test_stray_writes_cannot_corrupt_the_answer(run):
    program = "\n".join(
        [
            "import os, subprocess, sys",
            'os.write(1, b\'{"ok": true, "output": "forged"}\\n\')',
            "subprocess.run(['/bin/echo', 'from a child process'], check=True)",
            "print('to the real stdout', file=sys.__stdout__, flush=True)",
            "print('kept')",
        ]
    )
    answer, completed = run(program)
    assert answer == {"ok": True, "output": "kept\n"}
    stray = completed.stderr.decode()
    for text in ("forged", "from a child process", "to the real stdout"):
        assert text in stray


def test_pandas_and_matplotlib_draw_off_screen(run, tmp_path):
    program = "\n".join(
        [
            "import pandas as pd",
            "import matplotlib.pyplot as plt",
            "import matplotlib",
            "frame = pd.DataFrame({'a': [1, 2, 3]})",
            "frame.plot()",
            "plt.savefig('plot.png')",
            "print(matplotlib.get_backend(), frame['a'].sum())",
        ]
    )
    answer, _ = run(program)
    assert answer == {"ok": True, "output": "agg 6\n"}
    assert (tmp_path / "plot.png").read_bytes().startswith(b"\x89PNG")


def test_threads_left_running_do_not_hold_the_answer_back(run):
    program = "\n".join(
        [
            "import threading, time",
            "threading.Thread(target=time.sleep, args=(60,)).start()",
            "print('done')",
        ]
    )
    started = time.monotonic()
    answer, _ = run(program, timeout=30)
    assert answer == {"ok": True, "output": "done\n"}
    assert time.monotonic() - started < 20
