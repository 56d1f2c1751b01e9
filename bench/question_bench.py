"""Where the time of one question goes.

Each scripted question runs through the whole question graph on the SQLite sample database, with
the scripted model server answering at once. Per question, over several runs, it prints medians of:

- wall: the whole run, from the graph's invoke to its final state;
- models: the model round trips as the graph sees them (chat-model runs reported to langchain's
  callbacks, the relevant-table picker's included), with their count and, inside them, the time
  the server itself spent answering;
- analysis: the sandboxed analysis runs (the pandas executor node: child start-up, the program,
  the answer);
- rest: wall - models - analysis, i.e. the graph, the steps and the database.

Run: .venv/bin/python bench/question_bench.py [--runs N]
"""

import argparse
import pathlib
import platform
import socket
import statistics
import sys
import tempfile
import time
import warnings

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
# Library warnings at import and at model construction would bury the figures.
warnings.simplefilter("ignore")

from langchain_core.callbacks import BaseCallbackHandler  # noqa: E402
from loguru import logger  # noqa: E402

from norviai.askflow.askflow import SQLGraph  # noqa: E402
from norviai.askflow.custom_sql import CustomSQLDatabase  # noqa: E402
from norviai.settings import AzureOpenAIChat4, AzureOpenAIChat35  # noqa: E402
from support import sample_data  # noqa: E402
from support import model_server  # noqa: E402
from support.model_server import ModelServer, text_reply  # noqa: E402

ANALYSIS_NODE = "pandas_executor_node"

PANDAS_PROGRAM = """import pandas as pd
rows = [('cancelled', 17), ('delivered', 124), ('pending', 21), ('shipped', 38)]
frame = pd.DataFrame(rows, columns=['status', 'orders'])
print(frame.sort_values('orders', ascending=False).to_string(index=False))
share = frame.set_index('status')['orders'] / frame['orders'].sum()
print('share delivered:', round(share['delivered'], 3))
"""

PLOT_PROGRAM = """import os
import matplotlib.pyplot as plt
rows = [('cancelled', 17), ('delivered', 124), ('pending', 21), ('shipped', 38)]
plt.bar([status for status, _ in rows], [count for _, count in rows])
plt.title('Orders by status')
plt.savefig('orders_by_status.png')
print(os.path.abspath('orders_by_status.png'))
"""

STATUS_QUERY = "SELECT status, COUNT(*) AS orders FROM orders GROUP BY status ORDER BY status"

# Each question: what the model answers per request kind, in order (the last answer repeats).
QUESTIONS = {
    "first try, pandas": {
        "question": "How are the orders spread over their statuses?",
        "tables": [["orders"]],
        "queries": [STATUS_QUERY],
        "programs": [PANDAS_PROGRAM],
    },
    "sql repaired once": {
        "question": "Name three customers.",
        "tables": [["customers"]],
        "queries": [
            "SELECT nme FROM customers ORDER BY id LIMIT 3",
            "SELECT name FROM customers ORDER BY id LIMIT 3",
        ],
        "programs": ["print('three customers')"],
    },
    "plot": {
        "question": "Plot the orders by status.",
        "tables": [["orders"]],
        "queries": [STATUS_QUERY],
        "programs": [PLOT_PROGRAM],
    },
    "analysis repaired once": {
        "question": "How are the orders spread over their statuses?",
        "tables": [["orders"]],
        "queries": [STATUS_QUERY],
        "programs": [PANDAS_PROGRAM.replace("import pandas as pd\n", ""), PANDAS_PROGRAM],
    },
    "sql gives up": {
        "question": "Who lives in Atlantis?",
        "tables": [["customers"]],
        "queries": [f"SELECT nme{i} FROM customers" for i in range(6)],
        "rewrite": "List the customers whose country is Atlantis.",
    },
}


class _PromptHandler(model_server._Handler):
    def setup(self):
        super().setup()
        # The server writes headers and body separately; without this, Nagle's algorithm and the
        # client's delayed ACK hold some replies back by about 40 ms, which no real service does.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)


class TimedServer(ModelServer):
    """The scripted server, also noting how long it spent answering each request."""

    def __init__(self):
        super().__init__()
        self.handling = []

    def start(self):
        super().start()
        self._httpd.RequestHandlerClass = _PromptHandler
        return self

    def _handle(self, handler):
        started = time.perf_counter()
        try:
            super()._handle(handler)
        finally:
            self.handling.append(time.perf_counter() - started)


class Timer(BaseCallbackHandler):
    """Times chat-model runs and the analysis node from langchain's callback events."""

    def __init__(self):
        self.models = {}
        self.analysis = {}
        self.model_seconds = []
        self.analysis_seconds = []

    def on_chat_model_start(self, serialized, messages, *, run_id, **kwargs):
        self.models[run_id] = time.perf_counter()

    def on_llm_end(self, response, *, run_id, **kwargs):
        self._end(self.models, self.model_seconds, run_id)

    def on_llm_error(self, error, *, run_id, **kwargs):
        self._end(self.models, self.model_seconds, run_id)

    def on_chain_start(self, serialized, inputs, *, run_id, **kwargs):
        if kwargs.get("name") == ANALYSIS_NODE:
            self.analysis[run_id] = time.perf_counter()

    def on_chain_end(self, outputs, *, run_id, **kwargs):
        self._end(self.analysis, self.analysis_seconds, run_id)

    def on_chain_error(self, error, *, run_id, **kwargs):
        self._end(self.analysis, self.analysis_seconds, run_id)

    @staticmethod
    def _end(started, durations, run_id):
        begin = started.pop(run_id, None)
        if begin is not None:
            durations.append(time.perf_counter() - begin)


def script(server, spec):
    server.reset()
    server.handling.clear()
    server.on_tool(
        "select_relevant_tables", *({"relevant_tables": tables} for tables in spec["tables"])
    )
    server.on_tool("SQLQueryInput", *({"sql_query": query} for query in spec["queries"]))
    if "programs" in spec:
        server.on_tool("PythonCodeInput", *({"code": program} for program in spec["programs"]))
    if "rewrite" in spec:
        server.on_tool("RewriteQueryOutput", {"rewritten_question": spec["rewrite"]})
    server.on_tool(
        "GenerationOutput", {"final_response": "Here is what the data says.", "image_path": ""}
    )

    def checker(request):
        # The SQL checker's plain chat request: echo the query its prompt starts with.
        if request.tools:
            return None
        return text_reply(request.messages[-1]["content"].split("\nDouble check the ")[0].strip())

    server.respond_with(checker)


def ask(agent, server, spec, folder):
    script(server, spec)
    timer = Timer()
    config = dict(agent.runnable_config, callbacks=[timer])
    inputs = {"user_question": spec["question"], "save_path": str(folder)}
    started = time.perf_counter()
    final = agent.compiled_graph.invoke(inputs, config=config)
    wall = time.perf_counter() - started
    if not final.get("final_response"):
        raise RuntimeError(f"the question ended without an answer: {final}")
    if len(timer.model_seconds) != len(server.requests):
        raise RuntimeError(
            f"{len(server.requests)} model requests but {len(timer.model_seconds)} timed runs"
        )
    models = sum(timer.model_seconds)
    analysis = sum(timer.analysis_seconds)
    return {
        "wall": wall,
        "models": models,
        "calls": len(timer.model_seconds),
        "server": sum(server.handling),
        "analysis": analysis,
        "runs": len(timer.analysis_seconds),
        "rest": wall - models - analysis,
    }


def milliseconds(values):
    return f"{statistics.median(values) * 1000:8.1f}"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--runs", type=int, default=15, help="timed runs per question")
    arguments = parser.parse_args()

    # So would the steps' log lines.
    logger.remove()

    with tempfile.TemporaryDirectory(prefix="question-bench-") as scratch, TimedServer() as server:
        scratch = pathlib.Path(scratch)
        url = f"sqlite:///{scratch / 'shop.db'}"
        sample_data.load(url)
        settings = dict(azure_endpoint=server.base_url, api_key="k", api_version="2024-02-01")
        agent = SQLGraph(
            custom_sql_db=CustomSQLDatabase.from_uri(url),
            config_35=AzureOpenAIChat35(azure_deployment="small", **settings),
            config_4=AzureOpenAIChat4(azure_deployment="large", **settings),
        )

        print(
            f"Question graph on the SQLite sample database, scripted model server at zero delay; "
            f"Python {platform.python_version()}, {arguments.runs} timed runs per question after "
            "one warm-up run. Medians in ms."
        )
        header = (
            f"{'question':<24} {'wall':>8} {'models':>8} {'calls':>5} {'server':>8} "
            f"{'analysis':>8} {'runs':>4} {'rest':>8}"
        )
        print(header)
        print("-" * len(header))
        for name, spec in QUESTIONS.items():
            ask(agent, server, spec, scratch / "warm-up")
            samples = [
                ask(agent, server, spec, scratch / f"{len(name)}-{run}")
                for run in range(arguments.runs)
            ]
            column = {key: [sample[key] for sample in samples] for key in samples[0]}
            print(
                f"{name:<24} {milliseconds(column['wall'])} {milliseconds(column['models'])} "
                f"{statistics.median(column['calls']):>5.0f} {milliseconds(column['server'])} "
                f"{milliseconds(column['analysis'])} {statistics.median(column['runs']):>4.0f} "
                f"{milliseconds(column['rest'])}"
            )
        print(
            "models: client-side chat-model round trips, server: the server's share of them, "
            "analysis: sandboxed runs, rest: wall - models - analysis (graph, steps, database)."
        )


if __name__ == "__main__":
    main()
