"""Cost of one analysis run beyond the program's own time, through PandasExecutor.

Each program times its own body and prints it; the overhead is the step's wall time minus that.
Imports of pandas, numpy and matplotlib count as overhead, not program time. Prints the median over the rounds per program: cold (isolated, child started by the
executor), warm (child started by PandasGenerator, given time to start as the model call would)
and with NORVIAI_SANDBOX=off.
Run from the repository root: .venv/bin/python bench/analysis_run_bench.py [--rounds R]
"""

import argparse
import os
import pathlib
import statistics
import sys
import tempfile
import time

from langchain_openai import AzureChatOpenAI

from norviai.askflow.flowsteps import PandasExecutor, PandasGenerator

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from support.model_server import ModelServer  # noqa: E402

# The libraries are imported before the clock starts: their import is overhead, not program time.
TIMED = "import time\nimport pandas, matplotlib.pyplot\n_started = time.perf_counter()\n{body}\nprint(time.perf_counter() - _started)"
WARM_UP = 2.0
STATE = {
    "user_question": "q",
    "rewritten_question": "",
    "pandas_generation_prompt_type": "generation",
    "generated_sql_query": ["SELECT 1"],
    "sql_execution_result": ["1"],
}
PROGRAMS = {
    "print": "print('x')",
    "pandas": "import pandas as pd\nprint(pd.DataFrame({'a': [1, 2, 3]})['a'].sum())",
    "plot": "import pandas as pd\nimport matplotlib.pyplot as plt\n"
    "pd.DataFrame({'a': [1, 2, 3]}).plot()\nplt.savefig('plot.png')",
}


def start_warm(generator, save_path):
    # The scripted model answers at once; the warm child was started before the call.
    generator.invoke(STATE | {"save_path": save_path})
    time.sleep(WARM_UP)  # what the model call would take


def measure(executor, body, save_path, rounds, generator=None):
    overheads, own = [], []
    for _ in range(rounds):
        if generator is not None:
            start_warm(generator, save_path)
        started = time.perf_counter()
        update = executor.invoke({"pandas_code": TIMED.format(body=body), "save_path": save_path})
        total = time.perf_counter() - started
        assert update["python_execution_success"], update
        program = float(update["python_executed_output"].splitlines()[-1])
        overheads.append(total - program)
        own.append(program)
    return statistics.median(overheads), statistics.median(own)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rounds", type=int, default=9)
    rounds = parser.parse_args().rounds
    server = ModelServer().start()
    server.on_tool("PythonCodeInput", {"code": "print(1)"})
    model = AzureChatOpenAI(
        azure_deployment="small",
        azure_endpoint=server.base_url,
        max_retries=0,
        api_key="k",
        api_version="2024-02-01",
    )
    executor = PandasExecutor(model=model)
    generator = PandasGenerator(model=model)
    with tempfile.TemporaryDirectory() as save_path:
        for mode in ("cold", "warm", "off"):
            if mode == "off":
                os.environ["NORVIAI_SANDBOX"] = "off"
            for name, body in PROGRAMS.items():
                warm = generator if mode == "warm" else None
                overhead, own = measure(executor, body, save_path, rounds, warm)
                print(
                    f"{mode:9} {name:7} overhead {overhead * 1000:7.1f} ms"
                    f"   program {own * 1000:7.1f} ms   (median of {rounds})"
                )


if __name__ == "__main__":
    main()
