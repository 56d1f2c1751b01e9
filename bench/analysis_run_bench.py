"""Cost of one analysis run beyond the program's own time, through PandasExecutor.

Each program times its own body and prints it; the overhead is the step's wall time minus that.
Imports of pandas, numpy and matplotlib count as overhead, not program time. Prints the median over the rounds per program: cold (isolated, child started by the
executor), warm (child started by PandasGenerator, given time to start as the model call would)
and with NORVIAI_SANDBOX=off.
Run from the repository root: .venv/bin/python bench/analysis_run_bench.py [--rounds R]
"""

import argparse
import os
import statistics
import tempfile
import time

from langchain_openai import AzureChatOpenAI

from norviai.askflow.flowsteps import PandasExecutor, PandasGenerator

# The libraries are imported before the clock starts: their import is overhead, not program time.
TIMED = "import time\nimport pandas, matplotlib.pyplot\n_started = time.perf_counter()\n{body}\nprint(time.perf_counter() - _started)"
WARM_UP = 2.0
STATE = {
    "original_question": "q",
    "sql_queries": ["SELECT 1"],
    "sql_query_results": ["1"],
    "prompt_type": "original",
}
PROGRAMS = {
    "print": "print('x')",
    "pandas": "import pandas as pd\nprint(pd.DataFrame({'a': [1, 2, 3]})['a'].sum())",
    "plot": "import pandas as pd\nimport matplotlib.pyplot as plt\n"
    "pd.DataFrame({'a': [1, 2, 3]}).plot()\nplt.savefig('plot.png')",
}


def start_warm(generator, save_path):
    # The model here is unreachable: the call fails at once, after the warm child was started.
    try:
        generator.invoke(STATE | {"save_path": save_path})
    except Exception:
        pass
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
    model = AzureChatOpenAI(
        azure_deployment="small",
        azure_endpoint="http://127.0.0.1:9",
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
