"""`norviai serve` as a real process on a free loopback port, for tests and benchmarks."""

import os
import signal
import subprocess
import sys
import time

MODEL_VARIABLES = (
    "NORVIAI_SERVICE_URL",
    "AZURE_OPENAI_ENDPOINT",
    "OPENAI_BASE_URL",
    "OPENAI_API_KEY",
)


class ServeProcess:
    def __init__(self, *arguments, cwd, variables=None, start_timeout=60):
        environment = {k: v for k, v in os.environ.items() if k not in MODEL_VARIABLES}
        environment.update(variables or {})
        # A file, not a pipe: the access log must never fill a pipe nobody reads and stall it.
        self.log_path = os.path.join(cwd, "serve-stderr.log")
        self._log = open(self.log_path, "w")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "norviai", "serve", "--port", "0", *arguments],
            cwd=cwd,
            env=environment,
            stdout=subprocess.PIPE,
            stderr=self._log,
            text=True,
        )
        self.lines = []
        deadline = time.monotonic() + start_timeout
        while time.monotonic() < deadline:
            line = self.process.stdout.readline()
            if not line:
                raise RuntimeError("norviai serve exited:\n" + self.log())
            self.lines.append(line.rstrip("\n"))
            if "open http://" in line:
                self.url = line.split("open ", 1)[1].strip().rstrip("/")
                self.port = int(self.url.rsplit(":", 1)[1])
                return
        raise RuntimeError("norviai serve printed no URL in time")

    def stop(self, timeout=20):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self._log.close()
        return self.process.returncode

    def log(self):
        with open(self.log_path) as log:
            return log.read()
