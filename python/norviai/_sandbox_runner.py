"""Child side of a sandboxed analysis run.

Started by the sandbox launcher as ``<python> -I <path>/_sandbox_runner.py`` with the program text
on standard input. Runs the program in a fresh namespace holding ``datetime``, captures what it
prints and answers with exactly one JSON line on the original standard output, then exits 0.
Standard library only: under ``-I`` the package itself is not importable.
"""

import ast
import datetime
import io
import json
import os
import select
import shutil
import sys


def _describe(error):
    try:
        message = str(error)
    except BaseException:
        message = "<exception str() failed>"
    return "{}: {}".format(type(error).__name__, message)


def _execute(source, captured):
    tree = ast.parse(source, mode="exec")
    code = compile(tree, filename="<ast>", mode="exec")
    # One dict as globals and locals: top-level names stay visible inside the program's functions.
    namespace = {"datetime": datetime}
    sys.stdout = captured
    try:
        exec(code, namespace, namespace)
    finally:
        sys.stdout = sys.__stdout__


def _seed_font_cache():
    """Copies the shared, read-only font list into this run's own matplotlib folder, so that
    nothing of one run's matplotlib configuration reaches another."""
    shared, own = os.environ.get("NORVIAI_FONT_CACHE"), os.environ.get("MPLCONFIGDIR")
    if not shared or not own:
        return
    try:
        os.makedirs(own, exist_ok=True)
        for name in os.listdir(shared):
            if name.startswith("fontlist-") and name.endswith(".json"):
                shutil.copyfile(os.path.join(shared, name), os.path.join(own, name))
    except OSError:
        pass  # matplotlib builds its own list


def _import_libraries():
    """Imports the analysis libraries before the program arrives, while the model still writes
    it. Only in a warm child: in a cold one they would count against the program's time limit."""
    for name in ("numpy", "pandas", "matplotlib", "matplotlib.pyplot"):
        try:
            __import__(name)
        except Exception:
            pass  # the program's own import reports it


def _write_line(fd, answer):
    data = memoryview((json.dumps(answer) + "\n").encode("ascii"))
    while data:
        data = data[os.write(fd, data) :]


def main():
    # The answer channel is a private, non-inheritable copy of standard output; fd 1 itself now
    # leads to standard error, so writes from C code or child processes cannot corrupt the answer.
    answer_fd = os.dup(1)
    os.dup2(2, 1)

    # Set before the program imports anything: matplotlib reads the backend, BLAS its thread
    # count, at import.
    os.environ["MPLBACKEND"] = "agg"
    for name in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ.setdefault(name, "1")
    _seed_font_cache()
    wait = os.environ.get("NORVIAI_WARM_WAIT")
    if wait:
        _import_libraries()
        # A warm child the host never hands a program ends itself.
        if not select.select([0], [], [], float(wait))[0]:
            os._exit(0)
        os.write(answer_fd, b"\0")  # the host's time limit starts now
    captured = io.StringIO()
    try:
        _execute(sys.stdin.buffer.read(), captured)
        answer = {"ok": True, "output": captured.getvalue()}
    except SystemExit as request:
        answer = {"ok": False, "exit_requested": True, "error": _describe(request)}
    except BaseException as error:
        answer = {"ok": False, "error": _describe(error)}

    _write_line(answer_fd, answer)
    for stream in (sys.__stdout__, sys.__stderr__):
        try:
            stream.flush()
        except BaseException:
            pass
    # Skips interpreter shutdown: threads the program left running would otherwise hold the run
    # open until the launcher's time limit, although the answer is complete.
    os._exit(0)


if __name__ == "__main__":
    main()
