"""Hostile analysis programs against the host: each ends as a failed run within the time limit,
nothing it started outlives the run, and the host process carries on unharmed."""

import json
import os
import signal
import subprocess
import sys
import textwrap
import time

import pytest
from langchain_openai import AzureChatOpenAI

from norviai.askflow.flowsteps import PandasExecutor

LIMIT = 1  # seconds, through NORVIAI_CODE_TIME_LIMIT
SLACK = 2.5  # launch, kill and reap on a busy machine


@pytest.fixture
def executor():
    # The executor never calls its model; nothing listens on this address.
    model = AzureChatOpenAI(
        azure_deployment="small",
        azure_endpoint="http://127.0.0.1:9",
        api_key="k",
        api_version="2024-02-01",
    )
    return PandasExecutor(model=model)


@pytest.fixture
def run(executor, tmp_path, monkeypatch):
    """Runs one program; checks that the host's streams, folder and environment are untouched."""
    monkeypatch.setenv("NORVIAI_CODE_TIME_LIMIT", str(LIMIT))

    def run_program(code):
        stdout, cwd, environment = sys.stdout, os.getcwd(), dict(os.environ)
        started = time.monotonic()
        update = executor.invoke({"pandas_code": code, "save_path": str(tmp_path)})
        elapsed = time.monotonic() - started
        assert sys.stdout is stdout
        assert os.getcwd() == cwd
        assert dict(os.environ) == environment
        return update, elapsed

    return run_program


def running(command_line):
    """Pids of processes whose arguments are exactly `command_line` (zombies excluded)."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                arguments = cmdline.read().rstrip(b"\0").split(b"\0")
            with open(f"/proc/{entry}/stat") as stat:
                state = stat.read().rsplit(")", 1)[1].split()[0]
        except (FileNotFoundError, ProcessLookupError):
            continue
        if arguments == [part.encode() for part in command_line] and state not in ("Z", "X"):
            found.append(int(entry))
    return found


def assert_ended(command_line):
    """Pids inside the run's own process namespace mean nothing here: look for the command."""
    deadline = time.monotonic() + 2
    while running(command_line) and time.monotonic() < deadline:
        time.sleep(0.05)
    left = running(command_line)
    for pid in left:
        os.kill(pid, signal.SIGKILL)
    assert not left, f"{command_line} outlived the run"


@pytest.mark.parametrize(
    "code, error_start, detail",
    [
        ("while True:\n    pass", "TimeoutError: ", f"{LIMIT} second"),
        ("import time\ntime.sleep(3600)", "TimeoutError: ", f"{LIMIT} second"),
        (
            "import signal\nsignal.signal(signal.SIGXCPU, signal.SIG_IGN)\nwhile True:\n    pass",
            "TimeoutError: ",
            f"{LIMIT} second",
        ),
        ("import sys\nprint('leaving')\nsys.exit(3)", "SystemExit: ", "3"),
        ("import os\nos._exit(7)", "SystemExit: ", "7"),
        ("raise KeyboardInterrupt", "KeyboardInterrupt", ""),
        ("blob = bytearray(8 * 1024 ** 3)", "MemoryError: ", ""),
        ("blob = 'x' * 10 ** 10", "MemoryError: ", ""),
        ("import ctypes\nctypes.string_at(0)", "RuntimeError: ", "SIGSEGV"),
        (
            # Hashing a deeply nested tuple recurses in C until the stack runs out.
            "nested = ()\nfor _ in range(10 ** 6):\n    nested = (nested,)\nhash(nested)",
            "RuntimeError: ",
            "SIGSEGV",
        ),
    ],
    ids=[
        "busy-loop",
        "sleep",
        "ignores-cpu-signal",
        "sys-exit",
        "os-exit",
        "interrupt",
        "memory-bomb",
        "text-memory-bomb",
        "segfault",
        "stack-overflow",
    ],
)
def test_hostile_program_is_a_failed_run(run, code, error_start, detail):
    update, elapsed = run(code)

    assert list(update) == ["python_execution_success", "python_error_message"]
    assert update["python_execution_success"] is False
    message = update["python_error_message"]
    assert message.startswith(error_start) and detail in message, message
    assert elapsed < LIMIT + SLACK


def test_host_output_is_untouched(run, capfd):
    update, _ = run("import os\nprint('captured')\nos.write(1, b'raw write\\n')")

    assert update["python_executed_output"] == "captured\n"
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize(
    "code, seconds",
    [
        # Succeeds, leaving the child running.
        ("import subprocess\nsubprocess.Popen(['sleep', '601'])", "601"),
        # Times out while the child runs.
        ("import subprocess\nsubprocess.Popen(['sleep', '602'])\nwhile True:\n    pass", "602"),
        # A grandchild through the shell, in the background.
        ("import subprocess\nsubprocess.run('sleep 603 &', shell=True)", "603"),
        # A child that leaves the run's session and process group.
        (
            "import subprocess\nsubprocess.Popen(['sleep', '604'], start_new_session=True,\n"
            "                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)",
            "604",
        ),
    ],
    ids=["finished", "timed-out", "shell-background", "own-session"],
)
def test_processes_the_program_started_end_with_the_run(run, code, seconds):
    run(code)

    assert_ended(["sleep", seconds])


HOST = textwrap.dedent("""
    import json, os, sys
    from langchain_openai import AzureChatOpenAI
    from norviai.askflow.flowsteps import PandasExecutor

    model = AzureChatOpenAI(
        azure_deployment="small", azure_endpoint="http://127.0.0.1:9", api_key="k",
        api_version="2024-02-01",
    )
    code = sys.stdin.read().replace("HOST_PID", str(os.getpid()))
    update = PandasExecutor(model=model).invoke({"pandas_code": code})
    print(json.dumps(update))
    """)


def test_program_cannot_kill_the_host(tmp_path):
    # Its parent, and the host's own pid as the host sees it.
    code = (
        "import os, signal\n"
        "for pid in (os.getppid(), HOST_PID):\n"
        "    try:\n"
        "        os.kill(pid, signal.SIGKILL)\n"
        "    except OSError:\n"
        "        pass\n"
        "print('still here')"
    )
    environment = dict(os.environ, NORVIAI_CODE_TIME_LIMIT=str(LIMIT))
    host = subprocess.run(
        [sys.executable, "-c", HOST],
        input=code,
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env=environment,
        timeout=60,
    )
    assert host.returncode == 0, host.stderr[-2000:]
    update = json.loads(host.stdout.splitlines()[-1])
    assert update["python_executed_output"] == "still here\n"


def test_program_sees_no_host_secret(run, monkeypatch):
    secrets = {
        "AZURE_OPENAI_API_KEY": "host-secret-azure",
        "OPENAI_API_KEY": "host-secret-openai",
        "NORVIAI_SERVICE_TOKEN": "host-secret-service",
        "db_password": "host-secret-database",
    }
    for name, value in secrets.items():
        monkeypatch.setenv(name, value)

    update, _ = run("import json, os\nprint(json.dumps(dict(os.environ)))")

    assert "host-secret" not in update["python_executed_output"]
    seen = json.loads(update["python_executed_output"])
    assert not set(secrets) & set(seen)
    for name in seen:
        assert not any(word in name.upper() for word in ("KEY", "TOKEN", "SECRET", "PASSWORD"))
    assert seen.get("HOME") != os.environ.get("HOME")


def test_names_of_one_run_are_not_visible_to_the_next(run):
    first, _ = run("leftover = 42\nimport json\nprint(sorted(globals()))")
    second, _ = run("print(sorted(globals()))")

    assert first["python_executed_output"] == "['__builtins__', 'datetime', 'json', 'leftover']\n"
    assert second["python_executed_output"] == "['__builtins__', 'datetime']\n"
