"""What `norviai serve` adds to a question, and how 16 questions at once fare.

The server runs as its own process on a SQLite shop, its models on the scripted model server,
every model reply held back 200 ms (a fast hosted model). It prints:

- one question, median over several runs: the latency the client sees, the run's own time as the
  server measured it (the graph, the rows re-read), and their difference, the server's own
  overhead (HTTP, JSON, the pool);
- 16 questions sent at once with the pool at 16: the wall time, that time over one question's
  latency (goal: within 1.3), and the throughput;
- for both, the processor time a question costs, in the server process (where the GIL makes it a
  floor on wall time) and in its analysis children, and the wall time the machine's cores allow
  for that much work.

The analysis program is `print(2)`, or with --pandas one that uses pandas, as models write them.

Run: .venv/bin/python bench/serve_bench.py [--runs N] [--concurrent N] [--pandas]
"""

import argparse
import os
import pathlib
import sqlite3
import statistics
import sys
import tempfile
import threading
import time

import requests

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))

from support.model_server import ModelServer, delay, text_reply, tool_call_reply  # noqa: E402
from support.serve_process import ServeProcess  # noqa: E402

LATENCY = 0.2
SQL = "SELECT COUNT(*) AS orders FROM orders"


PROGRAMS = {
    False: "print(2)",
    True: "import pandas as pd\nprint(pd.DataFrame({'orders': [2]}).to_string(index=False))",
}


def script(models, program=PROGRAMS[False]):
    def held(reply):
        return lambda request: delay(LATENCY, reply)

    models.on_tool(
        "select_relevant_tables",
        held(tool_call_reply("select_relevant_tables", {"relevant_tables": ["orders"]})),
    )
    models.on_tool("SQLQueryInput", held(tool_call_reply("SQLQueryInput", {"sql_query": SQL})))
    models.on_tool("PythonCodeInput", held(tool_call_reply("PythonCodeInput", {"code": program})))
    models.on_tool(
        "GenerationOutput",
        held(tool_call_reply("GenerationOutput", {"final_response": "2 orders", "image_path": ""})),
    )
    models.respond_with(lambda request: delay(LATENCY, text_reply(SQL)))


def ask(url, number):
    started = time.monotonic()
    response = requests.post(
        url + "/v1/questions", json={"question": f"How many orders? #{number}"}, timeout=300
    )
    latency = time.monotonic() - started
    result = response.json()
    assert response.status_code == 200 and result["outcome"] == "answered", result
    return latency, result["seconds"]


def processor_seconds(pid):
    """(the process's own, its reaped children's) processor seconds, from /proc."""
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    own, children = int(fields[11]) + int(fields[12]), int(fields[13]) + int(fields[14])
    return own / ticks, children / ticks


class ProcessorTime:
    """Processor seconds the server and its finished analysis children spend inside the block."""

    def __init__(self, pid):
        self.pid = pid

    def __enter__(self):
        self.before = processor_seconds(self.pid)
        return self

    def __exit__(self, *exc):
        after = processor_seconds(self.pid)
        self.server, self.analysis = (b - a for a, b in zip(self.before, after))

    def line(self, questions, wall):
        cores = len(os.sched_getaffinity(0))
        total = self.server + self.analysis
        return (
            f"  per question: server {self.server / questions * 1000:.0f} ms of processor time, "
            f"analysis child {self.analysis / questions * 1000:.0f} ms; "
            f"{total:.2f} s in all needs at least {total / cores:.2f} s on {cores} cores "
            f"(wall {wall:.2f} s, load average {os.getloadavg()[0]:.1f})"
        )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--concurrent", type=int, default=16)
    parser.add_argument("--pandas", action="store_true", help="analysis code that uses pandas")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder, ModelServer() as models:
        shop = pathlib.Path(folder) / "shop.db"
        with sqlite3.connect(shop) as connection:
            connection.execute("CREATE TABLE orders (id INTEGER PRIMARY KEY, total REAL)")
            connection.executemany("INSERT INTO orders VALUES (?, ?)", [(1, 10.0), (2, 5.5)])
        script(models, PROGRAMS[options.pandas])
        server = ServeProcess(
            "--db",
            str(shop),
            "--pool",
            str(options.concurrent),
            cwd=folder,
            variables={
                "OPENAI_BASE_URL": models.openai_base_url,
                "OPENAI_API_KEY": "k",
                "NORVIAI_MODEL_SMALL": "small",
                "NORVIAI_MODEL_LARGE": "large",
            },
        )
        try:
            ask(server.url, 0)  # warm: first imports, first connection
            models.clear()
            pid = server.process.pid
            with ProcessorTime(pid) as single_cost:
                singles = [ask(server.url, run) for run in range(1, options.runs + 1)]
            calls = len(models.requests) / options.runs
            latency = statistics.median(latency for latency, _ in singles)
            run = statistics.median(seconds for _, seconds in singles)
            print(f"model latency {LATENCY * 1000:.0f} ms, {calls:.0f} model calls a question")
            print(
                f"one question: latency {latency:.3f} s, run {run:.3f} s "
                f"(models {calls * LATENCY:.1f} s of it), server overhead "
                f"{(latency - run) * 1000:.1f} ms"
            )
            print(single_cost.line(options.runs, sum(latency for latency, _ in singles)))

            results = [None] * options.concurrent

            def one(index):
                results[index] = ask(server.url, 100 + index)

            threads = [threading.Thread(target=one, args=(i,)) for i in range(options.concurrent)]
            with ProcessorTime(pid) as burst_cost:
                started = time.monotonic()
                for thread in threads:
                    thread.start()
                for thread in threads:
                    thread.join()
                wall = time.monotonic() - started
            print(
                f"{options.concurrent} at once (pool {options.concurrent}): wall {wall:.3f} s, "
                f"{wall / latency:.2f}x one question (goal 1.3x), "
                f"{options.concurrent / wall:.2f} questions/s; slowest run "
                f"{max(seconds for _, seconds in results):.3f} s"
            )
            print(burst_cost.line(options.concurrent, wall))
        finally:
            server.stop()


if __name__ == "__main__":
    main()
