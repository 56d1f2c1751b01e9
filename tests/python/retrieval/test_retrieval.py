import json
import os
import shutil
import subprocess
import sys

import pytest

from norviai import _retrieval

# Figures of tiktoken's own cl100k_base encoding (OpenAI's token counting examples).
KNOWN_COUNTS = {
    "": 0,
    "hello world": 2,
    "tiktoken is great!": 6,
    "antidisestablishmentarianism": 6,
    "2 + 2 = 4": 7,
    "お誕生日おめでとう": 9,
}

# Runs in a fresh interpreter, so the encoding is loaded there for the first time.
COUNT_WITHOUT_NETWORK = """
import json, socket, sys

def refuse(*args, **kwargs):
    raise OSError("network used")

socket.socket.connect = refuse
socket.socket.connect_ex = refuse
from norviai import _retrieval

texts = json.loads(sys.stdin.read())
print(json.dumps([_retrieval.count_tokens(text) for text in texts + ["<|endoftext|>"]]))
"""


def test_token_counts_match_cl100k_with_no_network(tmp_path):
    command = [sys.executable, "-c", COUNT_WITHOUT_NETWORK]
    # Where we may, take the network away altogether, not only Python's sockets.
    if os.geteuid() == 0 and shutil.which("unshare"):
        command = ["unshare", "-n"] + command
    env = dict(os.environ, TIKTOKEN_CACHE_DIR=str(tmp_path / "empty-cache"))
    done = subprocess.run(
        command,
        input=json.dumps(list(KNOWN_COUNTS)),
        capture_output=True,
        text=True,
        env=env,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    *counts, special = json.loads(done.stdout)
    assert dict(zip(KNOWN_COUNTS, counts)) == KNOWN_COUNTS
    # Text that looks like a special token is counted as text, not refused or taken as one token.
    assert special > 1


@pytest.mark.parametrize(
    "value, expected",
    [(None, 24000), ("", 24000), ("8000", 8000), (" 128000\n", 128000)],
)
def test_prompt_budget(monkeypatch, value, expected):
    if value is None:
        monkeypatch.delenv("NORVIAI_PROMPT_BUDGET", raising=False)
    else:
        monkeypatch.setenv("NORVIAI_PROMPT_BUDGET", value)
    assert _retrieval.prompt_budget() == expected


@pytest.mark.parametrize("value", ["0", "-100", "+100", "1.5", "1e4", "24k", "lots", "1" * 30])
def test_prompt_budget_refuses(monkeypatch, value):
    monkeypatch.setenv("NORVIAI_PROMPT_BUDGET", value)
    with pytest.raises(ValueError) as refused:
        _retrieval.prompt_budget()
    assert str(refused.value) == (
        f"NORVIAI_PROMPT_BUDGET must be a positive whole number of tokens, got '{value}'"
    )


def test_table_index_from_python():
    index = _retrieval.Bm25()
    assert index.add("customers", ["customer_id", "name"]) == 0
    assert index.add("orders", ["order_id", "customer_id", "amount"], [], ["customers"]) == 1
    index.add("payments", ["payment_id", "order_id"], ["money received"], ["orders"])
    with pytest.raises(ValueError, match="table added twice: orders"):
        index.add("orders", [])

    assert [name for name, _ in index.rank("Which customers paid the most?", 5)] == [
        "customers",
        "orders",
    ]
    assert index.expand("money received", 1) == ["payments", "orders"]
    assert index.expand("money received", 1, limit=1) == ["payments"]
    assert len(index) == 3
