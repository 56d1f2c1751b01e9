"""Cost of one analysis run beyond the program's own time, through PandasExecutor.

Each program times its own body and prints it; the overhead is the step's wall time minus that.
Prints the median over the rounds per program, isolated (default) and with NORVIAI_SANDBOX=off.
Run from the repository root: .venv/bin/python bench/analysis_run_bench.py [--rounds R]
"""

import argparse
import os
import statistics
import tempfile
import time

from langchain_openai import AzureChatOpenAI

from norviai.askflow.flowsteps import PandasExecutor

TIMED = "import time\n_started = time.perf_counter()\n{body}\nprint(time.perf_counter() - _started)"
PROGRAMS = {
    "print": "print('x')",
    "pandas": "import pandas as pd\nprint(pd.DataFrame({'a': [1, 2, 3]})['a'].sum())",
    "plot": "import pandas as pd\nimport matplotlib.pyplot as plt\n"
    "pd.DataFrame({'a': [1, 2, 3]}).plot()\nplt.savefig('plot.png')",
}


def measure(executor, body, save_path, rounds):
    overheads, own = [], []
    for _ in range(rounds):
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
        api_key="k",
        api_version="2024-02-01",
    )
    executor = PandasExecutor(model=model)
    with tempfile.TemporaryDirectory() as save_path:
        for mode in ("isolated", "off"):
            if mode == "off":
                os.environ["NORVIAI_SANDBOX"] = "off"
            for name, body in PROGRAMS.items():
                overhead, own = measure(executor, body, save_path, rounds)
                print(
                    f"{mode:9} {name:7} overhead {overhead * 1000:7.1f} ms"
                    f"   program {own * 1000:7.1f} ms   (median of {rounds})"
                )


if __name__ == "__main__":
    main()
