"""Hostile analysis programs against the host: each ends as a failed run within the time limit,
nothing it started outlives the run, and the host process carries on unharmed."""

import json
import os
import pathlib
import signal
import socket
import sqlite3
import stat
import subprocess
import sys
import textwrap
import threading
import time

import pytest


LIMIT = 1  # seconds, through NORVIAI_CODE_TIME_LIMIT
SLACK = 2.5  # launch, kill and reap on a busy machine


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


SECRET = "norviai-host-secret-4711"
FORGE = textwrap.dedent("""
    import os, stat
    def answer_channel():
        taken = {os.fstat(0).st_ino, os.fstat(2).st_ino}
        for fd in range(3, 64):
            try:
                status = os.fstat(fd)
            except OSError:
                continue
            if stat.S_ISFIFO(status.st_mode) and status.st_ino not in taken:
                return fd
    fd = answer_channel()
    data = memoryview(PAYLOAD)
    while data:
        data = data[os.write(fd, data):]
    os._exit(0)
    """)


def forged(payload):
    return FORGE.replace("PAYLOAD", repr(payload))


@pytest.fixture
def host(tmp_path, monkeypatch):
    """A host holding secrets where a program might look: its folder, home, database, a
    loopback server, its environment. Yields the placeholders programs refer to."""
    folder = tmp_path / "host"
    folder.mkdir()
    monkeypatch.chdir(folder)
    # Reclaiming memory at the whole-run limit is slow on a busy machine.
    monkeypatch.setenv("NORVIAI_CODE_TIME_LIMIT", "30")
    monkeypatch.setenv("NORVIAI_TEST_SECRET", SECRET)
    monkeypatch.setenv("NORVIAI_SAVE_SIZE_LIMIT", str(SAVE_LIMIT >> 20))
    (folder / ".env").write_text(f"AZURE_OPENAI_API_KEY={SECRET}\n")
    home_file = pathlib.Path.home() / f".norviai-test-key-{os.getpid()}"
    home_file.write_text(SECRET)
    database = folder / "shop.db"
    with sqlite3.connect(database) as connection:
        connection.execute("create table t (v text)")
        connection.execute("insert into t values (?)", (SECRET,))
    server = socket.create_server(("127.0.0.1", 0))
    connections = []

    def serve():
        while True:
            try:
                client, _ = server.accept()
            except OSError:
                return
            connections.append(client)
            client.sendall(SECRET.encode())

    threading.Thread(target=serve, daemon=True).start()
    shm_before = set(os.listdir("/dev/shm"))
    places = {
        "HOST_PID": str(os.getpid()),
        "HOST_CWD": str(folder),
        "HOME_FILE": str(home_file),
        "DATABASE": str(database),
        "PORT": str(server.getsockname()[1]),
    }
    yield places
    server.close()
    home_file.unlink()
    assert (folder / ".env").read_text() == f"AZURE_OPENAI_API_KEY={SECRET}\n"
    with sqlite3.connect(database) as connection:
        assert connection.execute("select v from t").fetchall() == [(SECRET,)]
    assert not (folder / "outside.txt").exists()
    assert not os.path.exists("/tmp/norviai-escape")
    assert not connections, "the program reached a loopback port of the host"
    # PostgreSQL servers (ours and others on the machine) come and go there meanwhile.
    added = set(os.listdir("/dev/shm")) - shm_before
    assert not [name for name in added if not name.startswith("PostgreSQL.")], added
    assert sorted(os.listdir(folder)) == [".env", "media", "shop.db"]
    saved = [
        os.lstat(os.path.join(at, name))
        for at, inner, files in os.walk(folder / "media")
        for name in inner + files
    ]
    assert all(stat.S_ISREG(entry.st_mode) or stat.S_ISDIR(entry.st_mode) for entry in saved)
    assert sum(entry.st_size for entry in saved if stat.S_ISREG(entry.st_mode)) <= SAVE_LIMIT


FAILS, EITHER = "fails", "either"
SAVE_LIMIT = 4 << 20
SAVE_SIZE = "size of the save folder (4 MiB)"

ATTACKS = {
    "dotenv-relative": ("print(open('.env').read())", FAILS, ""),
    "dotenv-absolute": ("print(open('HOST_CWD/.env').read())", FAILS, ""),
    "home-file": ("print(open('HOME_FILE').read())", FAILS, ""),
    "database-file": ("print(open('DATABASE', 'rb').read())", FAILS, ""),
    "database-write": (
        "import sqlite3\nc = sqlite3.connect('DATABASE')\n"
        "c.execute(\"update t set v = 'owned'\")\nc.commit()",
        FAILS,
        "",
    ),
    "write-outside": (
        "open('HOST_CWD/outside.txt', 'w').write('x')\nopen('/tmp/norviai-escape', 'w').write('x')",
        EITHER,
        "",
    ),
    "loopback-port": (
        "import socket\nprint(socket.create_connection(('127.0.0.1', PORT), timeout=2).recv(99))",
        FAILS,
        "",
    ),
    "host-proc": (
        "import os\nfor pid in ['HOST_PID'] + os.listdir('/proc'):\n"
        "    for name in ('environ', 'cmdline'):\n"
        "        try:\n            print(open(f'/proc/{pid}/{name}', 'rb').read())\n"
        "        except OSError as error:\n            print(error)",
        EITHER,
        "",
    ),
    "host-memory": (
        "import os, re\nmarker = 'ters-tsoh-iaivron'[::-1].encode()\nfound = []\n"
        "for pid in ['HOST_PID', '1'] + os.listdir('/proc'):\n"
        "    if not pid.isdigit() or int(pid) == os.getpid():\n        continue\n"
        "    try:\n        maps = open(f'/proc/{pid}/maps').read().splitlines()\n"
        "        memory = open(f'/proc/{pid}/mem', 'rb')\n    except OSError:\n        continue\n"
        "    for line in maps:\n"
        "        start, end = (int(x, 16) for x in line.split()[0].split('-'))\n"
        "        try:\n            memory.seek(start)\n"
        "            if marker in memory.read(end - start):\n                found.append(pid)\n"
        "        except (OSError, ValueError, OverflowError):\n            pass\n"
        "print('found', found)",
        EITHER,
        "",
    ),
    "ptrace-and-kill": (
        "import ctypes, os, signal\nlibc = ctypes.CDLL(None, use_errno=True)\n"
        "print(libc.ptrace(16, HOST_PID, 0, 0), ctypes.get_errno())\n"
        "for pid in (HOST_PID, 1, os.getppid()):\n    try:\n        os.kill(pid, signal.SIGKILL)\n"
        "    except OSError:\n        pass\nprint('alive')",
        EITHER,
        "",
    ),
    "fork-bomb": (
        "import os, time\nfor _ in range(400):\n    if os.fork() == 0:\n        time.sleep(60)\n"
        "        os._exit(0)",
        FAILS,
        "processes",
    ),
    "memory-across-children": (
        "import os\nchildren = []\nfor _ in range(3):\n    pid = os.fork()\n    if pid == 0:\n"
        "        blob = b'x' * (1600 << 20)\n        import time; time.sleep(2)\n"
        "        os._exit(0)\n"
        "    children.append(pid)\nprint([os.waitpid(pid, 0)[1] for pid in children])",
        FAILS,
        "memory",
    ),
    "fill-shm": ("open('/dev/shm/norviai-fill', 'wb').write(b'x' * (64 << 20))", EITHER, ""),
    "deep-tree": (
        "import os\nos.chdir('/tmp')\nfor _ in range(3000):\n    os.mkdir('d')\n    os.chdir('d')",
        EITHER,
        "",
    ),
    "save-one-file": (
        "try:\n    open('media/big', 'wb').write(b'x' * (8 << 20))\nexcept OSError:\n    pass",
        FAILS,
        SAVE_SIZE,
    ),
    "save-many-files": (
        "for i in range(64):\n    open(f'media/{i}', 'wb').write(b'x' * (128 << 10))",
        FAILS,
        SAVE_SIZE,
    ),
    "save-many-entries": (
        "for i in range(12000):\n    open(f'media/{i}', 'w').close()",
        FAILS,
        "files in the save folder",
    ),
    # A tmpfs holds a hard-linked or sparse file once, or not at all; copies would not.
    "save-hard-links": (
        "import os\nopen('media/a', 'wb').write(b'x' * (3 << 20))\nos.link('media/a', 'media/b')",
        FAILS,
        SAVE_SIZE,
    ),
    "save-sparse-file": ("open('media/a', 'wb').truncate(1 << 30)", FAILS, SAVE_SIZE),
    "save-through-symlinks": (
        "import os\n"
        "for i, to in enumerate(['HOST_CWD/outside.txt', '/tmp/norviai-escape', 'HOST_CWD']):\n"
        "    os.symlink(to, f'media/{i}')\n"
        "for path in ('media/0', 'media/1', 'media/2/outside.txt'):\n"
        "    try:\n        open(path, 'w').write('x')\n    except OSError:\n        pass",
        EITHER,
        "",
    ),
    "save-fifo-and-socket": (
        "import os, socket\nos.mkfifo('media/fifo')\n"
        "socket.socket(socket.AF_UNIX).bind('media/sock')",
        EITHER,
        "",
    ),
    "save-deep-tree": (
        "import os\nos.chdir('media')\nfor _ in range(100):\n    os.mkdir('d')\n    os.chdir('d')",
        FAILS,
        "depth of the save folder",
    ),
    "nested-namespaces": (
        # clone(CLONE_NEWUSER | SIGCHLD), then unshare(CLONE_NEWUSER).
        "import ctypes, os\nlibc = ctypes.CDLL(None, use_errno=True)\n"
        "if libc.syscall(56, 0x10000000 | 17, 0, 0, 0, 0) == 0:\n    os._exit(0)\n"
        "refused = ctypes.get_errno() == 1\nif refused and libc.unshare(0x10000000) < 0:\n"
        "    raise PermissionError('nested user namespaces refused')",
        FAILS,
        "nested user namespaces refused",
    ),
    "answer-ok-only": (forged(b'{"ok": true}\n'), FAILS, "answer"),
    "answer-exit-only": (forged(b'{"ok": false, "exit_requested": true}\n'), FAILS, "answer"),
    "answer-nested": (forged(b"[" * 200_000 + b"\n"), FAILS, "answer"),
    "answer-oversized": (
        forged(b'{"ok": true, "output": "' + b"x" * (9 << 20) + b'"}\n'),
        FAILS,
        "answer",
    ),
    "answer-twice": (
        forged(b'{"ok": true, "output": "forged"}\n').replace("os._exit(0)", "print('real')"),
        FAILS,
        "answer",
    ),
}


@pytest.mark.parametrize("code, expected, detail", ATTACKS.values(), ids=ATTACKS.keys())
def test_hostile_program_cannot_reach_the_host(executor, host, code, expected, detail):
    for name, value in host.items():
        code = code.replace(name, value)
    stdout, environment = sys.stdout, dict(os.environ)

    update = executor.invoke({"pandas_code": code, "save_path": "media"})

    assert sys.stdout is stdout and dict(os.environ) == environment
    assert SECRET not in repr(update)
    output = update.get("python_executed_output", "")
    assert "found [" not in output or "found []" in output, output
    if expected == FAILS:
        assert update["python_execution_success"] is False, update
        assert detail in update["python_error_message"], update
    if "save folder" in detail:
        assert os.listdir(os.path.join(host["HOST_CWD"], "media")) == []


def test_matplotlib_settings_of_one_run_do_not_reach_the_next(run):
    planted, _ = run(
        "import os\n"
        "for folder in (os.environ['MPLCONFIGDIR'], os.environ.get('NORVIAI_FONT_CACHE')):\n"
        "    try:\n        os.makedirs(folder, exist_ok=True)\n"
        "        open(os.path.join(folder, 'matplotlibrc'), 'w').write('figure.dpi: 7\\n')\n"
        "    except (OSError, TypeError):\n        pass"
    )
    later, _ = run("import matplotlib\nprint(matplotlib.rcParams['figure.dpi'])")

    assert planted["python_execution_success"] is True
    assert later["python_executed_output"] == "100.0\n"


def test_without_user_namespaces_the_run_fails_closed(tmp_path):
    # A user namespace whose own limit forbids nested ones, as a locked-down container does.
    script = f"echo 0 > /proc/sys/user/max_user_namespaces && exec {sys.executable} -c \"$0\""
    host = subprocess.run(
        ["unshare", "-Ur", "sh", "-c", script, HOST],
        input="print('ran')",
        capture_output=True,
        text=True,
        cwd=tmp_path,
        timeout=60,
    )
    assert host.returncode == 0, host.stderr[-2000:]
    update = json.loads(host.stdout.splitlines()[-1])
    assert update["python_execution_success"] is False
    message = update["python_error_message"]
    assert message.startswith("RuntimeError: the analysis run could not be isolated: ")
    assert "NORVIAI_SANDBOX=off" in message


def test_unisolated_runs_are_warned_about_and_cleaned(run, monkeypatch, capfd):
    monkeypatch.setenv("NORVIAI_SANDBOX", "off")
    update, _ = run(
        "import os\nprint(os.environ['HOME'])\nos.chdir(os.environ['HOME'])\n"
        "for _ in range(3000):\n    os.mkdir('d')\n    os.chdir('d')"
    )
    scratch = update["python_executed_output"].strip()
    assert "NORVIAI_SANDBOX=off" in capfd.readouterr().err
    assert not os.path.exists(scratch)


def test_saved_files_reach_the_host_and_replace_only_regular_files(executor, tmp_path):
    save, outside = tmp_path / "media", tmp_path / "outside"
    save.mkdir()
    outside.mkdir()
    (outside / "target.csv").write_text("outside")
    (save / "old.csv").write_text("old")
    os.link(outside / "target.csv", save / "linked.csv")
    os.symlink(outside / "target.csv", save / "link.png")
    code = textwrap.dedent(f"""
        import os
        import matplotlib.pyplot as plt
        os.chdir({str(save)!r})
        print(os.listdir())
        plt.plot([1, 2])
        plt.savefig('plot.png')
        os.makedirs('tables/2024')
        open('tables/2024/a.csv', 'w').write('a')
        for name in ('linked.csv', 'link.png'):
            open(name, 'w').write('from the run')
        print(os.path.abspath('plot.png'))
        """)

    update = executor.invoke({"pandas_code": code, "save_path": str(save)})

    assert update["python_executed_output"] == f"[]\n{save / 'plot.png'}\n", update
    assert (save / "plot.png").read_bytes().startswith(b"\x89PNG")
    assert (save / "tables/2024/a.csv").read_text() == "a"
    assert sorted(os.listdir(save)) == ["link.png", "linked.csv", "old.csv", "plot.png", "tables"]
    # Replaced by a file of its own, not written through; a link stays a link.
    assert (save / "linked.csv").read_text() == "from the run"
    assert (save / "old.csv").read_text() == "old"
    assert (save / "link.png").is_symlink()
    assert (outside / "target.csv").read_text() == "outside"
