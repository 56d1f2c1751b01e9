"""Warm starts of analysis runs: a warm child answers as a cold run would, and one that is never
handed its program ends with nothing of it left on the host."""

import os
import threading
import time

import pytest
from langchain_openai import AzureChatOpenAI

from norviai.askflow.flowsteps import PandasGenerator
from support.model_server import delay, fault, tool_call_reply


@pytest.fixture(autouse=True)
def time_limit(monkeypatch):
    # Room for a cold start's imports on a busy machine.
    monkeypatch.setenv("NORVIAI_CODE_TIME_LIMIT", "20")


GENERATOR_STATE = {
    "user_question": "q",
    "rewritten_question": "",
    "pandas_generation_prompt_type": "generation",
    "generated_sql_query": ["SELECT 1"],
    "sql_execution_result": ["1"],
}


def with_save_folder(folder):
    """Pids of live processes whose command line names `folder`."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as cmdline:
                arguments = cmdline.read().split(b"\0")
            with open(f"/proc/{entry}/stat") as stat:
                state = stat.read().rsplit(")", 1)[1].split()[0]
        except (FileNotFoundError, ProcessLookupError):
            continue
        if str(folder).encode() in arguments and state not in ("Z", "X"):
            found.append(int(entry))
    return found


def generator(model_server, *replies):
    """A PandasGenerator whose model answers with `replies`; invoking it starts a warm child."""
    model_server.on_tool("PythonCodeInput", *replies)
    model = AzureChatOpenAI(
        azure_deployment="small",
        azure_endpoint=model_server.base_url,
        api_key="k",
        api_version="2024-02-01",
        max_retries=0,
    )
    return PandasGenerator(model=model)


def cgroup_folders(pids):
    """The launcher's cgroup folders for `pids` (version 1 memory and pids hierarchies)."""
    found = []
    with open("/proc/self/cgroup") as lines:
        for line in lines:
            _, controllers, path = line.rstrip("\n").split(":", 2)
            for controller in {"memory", "pids"} & set(controllers.split(",")):
                folders = (f"/sys/fs/cgroup/{controller}{path}/norviai-{pid}" for pid in pids)
                found += [folder for folder in folders if os.path.exists(folder)]
    return found


def settled(folder, expect):
    """The pids naming `folder` once `expect(pids)` holds or 5 s have passed."""
    deadline = time.monotonic() + 5
    while not expect(pids := set(with_save_folder(folder))) and time.monotonic() < deadline:
        time.sleep(0.05)
    return pids


@pytest.mark.parametrize(
    "code",
    [
        "print('x')\nprint(open('/etc/hostname').read().strip())",
        "import pandas as pd\nprint(pd.DataFrame({'a': [1, 2, 3]})['a'].sum())",
        "import matplotlib.pyplot as plt\nplt.plot([1, 2])\nplt.savefig('p.png')\n"
        "import os\nprint(sorted(os.listdir('.')), os.getpid())",
        "import socket\nsocket.create_connection(('127.0.0.1', 9))",
        "1 / 0",
    ],
)
def test_warm_run_answers_as_a_cold_one(executor, model_server, tmp_path, code):
    state = {"pandas_code": code, "save_path": str(tmp_path)}
    cold = executor.invoke(state)
    for name in os.listdir(tmp_path):
        os.remove(tmp_path / name)
    generator(model_server, {"code": code}).invoke(GENERATOR_STATE | {"save_path": str(tmp_path)})
    assert settled(tmp_path, bool)
    warm = executor.invoke(state)
    assert warm == cold
    assert not settled(tmp_path, lambda pids: not pids)



@pytest.mark.parametrize(
    "reply",
    [fault(500), tool_call_reply("PythonCodeInput", {"code": "print("})],
    ids=["generation-raised", "reply-refused"],
)
def test_abandoned_warm_child_ends_and_leaves_nothing(executor, model_server, tmp_path, reply):
    step = generator(model_server, delay(1.5, reply))
    outcome = {}

    def generate():
        try:
            outcome.update(step.invoke(GENERATOR_STATE | {"save_path": str(tmp_path)}))
        except Exception as error:
            outcome["error"] = error

    writing = threading.Thread(target=generate)
    writing.start()
    pids = settled(tmp_path, bool)  # while the model writes the program
    writing.join()
    assert pids
    if "error" not in outcome:
        code = outcome["pandas_code"]
        update = executor.invoke({"pandas_code": code, "save_path": str(tmp_path)})
        assert update["python_error_message"].startswith("SyntaxError: ")
    assert not settled(tmp_path, lambda pids: not pids)
    assert cgroup_folders(pids) == []
    assert os.listdir(tmp_path) == []
