"""A real norviai-service process on a free loopback port, for tests.

`VendorService(binary, deployments, tmp_path)` writes the deployments file, starts the service with
`--port 0`, reads its listening line and exposes the base URL, the SQLite file and the captured
standard error; with `token`, it writes a token file and starts the service with `--token-file`.
The binary is `norviai-service` in the running interpreter's scripts folder, or the path in
NORVIAI_SERVICE_BINARY.
"""

import json
import os
import selectors
import signal
import sqlite3
import subprocess
import sysconfig
import time
from pathlib import Path
from typing import Any, Optional, Sequence

_LISTENING_PREFIX = "norviai-service listening on "
START_TIMEOUT = 10.0
STOP_TIMEOUT = 10.0


def service_binary() -> str:
    """Where the service binary is: NORVIAI_SERVICE_BINARY, else next to the interpreter."""
    override = os.environ.get("NORVIAI_SERVICE_BINARY")
    if override:
        return override
    return os.path.join(sysconfig.get_path("scripts"), "norviai-service")


class VendorServiceError(RuntimeError):
    pass


class VendorService:
    def __init__(
        self,
        binary: Optional[str],
        deployments: dict,
        tmp_path: os.PathLike,
        extra_args: Sequence[str] = (),
        token: Optional[str] = None,
    ):
        self.binary = binary or service_binary()
        if not os.access(self.binary, os.X_OK):
            raise VendorServiceError(
                f"norviai-service not found at {self.binary}; install the package or set "
                "NORVIAI_SERVICE_BINARY"
            )
        folder = Path(tmp_path)
        folder.mkdir(parents=True, exist_ok=True)
        self.deployments_path = folder / "deployments.json"
        self.db_path = folder / "usage.sqlite3"
        self.stderr_path = folder / "norviai-service.stderr"
        self.returncode: Optional[int] = None
        self.write_deployments(deployments)
        if token is not None:
            token_path = folder / "service.token"
            token_path.write_text(token + "\n", encoding="utf-8")
            extra_args = ["--token-file", str(token_path), *extra_args]
        self._stderr = open(self.stderr_path, "wb")
        self.process = subprocess.Popen(
            [
                self.binary,
                "--deployments",
                str(self.deployments_path),
                "--db",
                str(self.db_path),
                "--port",
                "0",
                *extra_args,
            ],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=self._stderr,
        )
        try:
            self.url = self._read_listening_url()
        except BaseException:
            self.stop()
            raise

    def _read_listening_url(self) -> str:
        deadline = time.monotonic() + START_TIMEOUT
        line = b""
        with selectors.DefaultSelector() as selector:
            selector.register(self.process.stdout, selectors.EVENT_READ)
            while not line.endswith(b"\n"):
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    raise VendorServiceError(
                        f"norviai-service did not report listening within {START_TIMEOUT}s; "
                        f"stderr: {self.stderr_text()!r}"
                    )
                if not selector.select(remaining):
                    continue
                chunk = os.read(self.process.stdout.fileno(), 1)
                if not chunk:
                    self.process.wait(STOP_TIMEOUT)
                    raise VendorServiceError(
                        f"norviai-service exited with {self.process.returncode} before "
                        f"listening; stderr: {self.stderr_text()!r}"
                    )
                line += chunk
        text = line.decode().strip()
        if not text.startswith(_LISTENING_PREFIX):
            raise VendorServiceError(f"unexpected first line from norviai-service: {text!r}")
        return text[len(_LISTENING_PREFIX) :].rstrip("/")

    def write_deployments(self, deployments: Any) -> None:
        """Replace the deployments file in one step, so the service never reads half of it."""
        text = deployments if isinstance(deployments, str) else json.dumps(deployments, indent=2)
        partial = self.deployments_path.with_suffix(".partial")
        partial.write_text(text, encoding="utf-8")
        os.replace(partial, self.deployments_path)

    def stored(self) -> list[dict]:
        """Rows of user_questions straight from SQLite, key included, in insertion order."""
        with sqlite3.connect(self.db_path, timeout=10) as connection:
            connection.row_factory = sqlite3.Row
            rows = connection.execute("SELECT * FROM user_questions ORDER BY id").fetchall()
        return [dict(row) for row in rows]

    def stderr_text(self) -> str:
        return self.stderr_path.read_text(encoding="utf-8", errors="replace")

    def stop(self) -> int:
        """SIGTERM, wait, kill on time-out; returns the exit status."""
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        if self.process.stdout is not None:
            self.process.stdout.close()
        self._stderr.close()
        self.returncode = self.process.returncode
        return self.returncode

    def __enter__(self) -> "VendorService":
        return self

    def __exit__(self, *exc_info) -> None:
        self.stop()
