"""`norviai serve` over HTTP on loopback: the real server process, with the offline stand-in model
or the scripted model server behind it."""

import json
import socket
import sqlite3
import threading
import time

import pytest
import requests

from support.model_server import ModelServer, delay, fault, text_reply, tool_call_reply
from support.question_graph import NODE_NAMES
from support.serve_process import ServeProcess

DEMO_QUESTION = "How much revenue did each product category bring in?"


@pytest.fixture(scope="module")
def offline(tmp_path_factory):
    server = ServeProcess("--offline", cwd=tmp_path_factory.mktemp("offline"))
    yield server
    assert server.stop() == 0, server.log()


def post(server, body, headers=None, **options):
    return requests.post(
        server.url + "/v1/questions", json=body, headers=headers, timeout=60, **options
    )


def events(response):
    """(event, data) pairs of a server-sent event stream."""
    name = None
    for line in response.iter_lines(decode_unicode=True):
        if line.startswith("event: "):
            name = line[len("event: ") :]
        elif line.startswith("data: "):
            yield name, json.loads(line[len("data: ") :])


def test_question_answered_with_rows_columns_plot_and_usage(offline):
    response = post(offline, {"question": DEMO_QUESTION})
    assert response.status_code == 200
    result = response.json()
    assert result["outcome"] == "answered"
    assert "Electronics" in result["answer"]
    assert result["sql"][-1].lstrip().startswith("SELECT")
    assert result["columns"] == ["category", "revenue"]
    assert result["rows"][0] == ["Electronics", 29736.94]
    assert "plt" in result["analysis_code"]
    assert result["tokens"] > 0 and result["cost"] > 0 and result["seconds"] > 0
    plot = requests.get(offline.url + result["plot_url"], timeout=10)
    assert plot.status_code == 200 and plot.headers["Content-Type"] == "image/png"
    assert plot.content.startswith(b"\x89PNG")

    tables = requests.get(offline.url + "/v1/tables", timeout=10).json()
    assert tables == {"tables": ["customers", "order_items", "orders", "products"]}
    health = requests.get(offline.url + "/v1/health", timeout=10).json()
    assert health == {"status": "ok", "questions_running": 0, "pool": 4}


def test_stream_has_a_start_and_end_per_step_then_the_result(offline):
    response = post(
        offline,
        {"question": "How many orders were placed each month in 2024?"},
        headers={"Accept": "text/event-stream"},
        stream=True,
    )
    assert response.status_code == 200
    assert response.headers["Content-Type"].startswith("text/event-stream")
    received = list(events(response))
    steps = [(name, data["step"]) for name, data in received[:-1]]
    started = [step for name, step in steps if name == "step_start"]
    ended = [step for name, step in steps if name == "step_end"]
    assert started == ended and set(started) <= set(NODE_NAMES)
    assert started[0] == "init_node" and started[-1] == "final_response_generation_node"
    # Each step ends before the next starts: the graph here runs one step at a time.
    assert [name for name, _ in steps] == ["step_start", "step_end"] * len(started)
    name, result = received[-1]
    assert name == "result" and result["outcome"] == "answered"
    assert result["columns"] is not None and result["plot_url"].startswith("/v1/plots/")


@pytest.mark.parametrize(
    "send, status, message",
    [
        (dict(data="not json", headers={"Content-Type": "application/json"}), 400, "JSON object"),
        (dict(json=["a question"]), 400, "JSON object"),
        (dict(json={"query": "How many?"}), 400, '"question" is missing'),
        (dict(json={"question": 7}), 400, '"question" must be a string'),
        (dict(json={"question": " \n"}), 400, '"question" is empty'),
        (dict(json={"question": "é" * 4001}), 413, "longer than 4000 characters"),
        (dict(data="x" * (70 << 10), headers={"Content-Type": "application/json"}), 413, ""),
        (dict(data={"question": "How many?"}), 415, "application/json"),
        (dict(json={"question": "How many?"}, headers={"Host": "evil.example"}), 421, "Host"),
        (dict(json={"question": "How many?"}, headers={"Host": "localhost:1"}), 421, "Host"),
    ],
    ids=[
        "not-json",
        "not-an-object",
        "no-question",
        "not-a-string",
        "blank",
        "too-long-in-characters",
        "body-over-limit",
        "form-post",
        "foreign-host",
        "other-port",
    ],
)
def test_bad_questions_are_refused_with_a_clear_message(offline, send, status, message):
    response = requests.post(offline.url + "/v1/questions", timeout=10, **send)
    assert response.status_code == status
    if message:
        assert message in response.json()["error"]


def test_question_of_4000_characters_is_taken(offline):
    # Two bytes a character: the limit counts characters, not bytes.
    response = post(offline, {"question": "é" * 4000})
    assert response.status_code == 200
    assert response.json()["outcome"] in ("answered", "gave up")


@pytest.mark.parametrize(
    "path",
    [
        "/v1/plots/q1-nothing.png",
        "/v1/plots/..%2F..%2F..%2Fetc%2Fpasswd",
        "/v1/plots/serve-stderr.log",
        "/v1/nowhere",
    ],
)
def test_only_files_written_for_a_question_are_served(offline, path):
    response = requests.get(offline.url + path, timeout=10)
    assert response.status_code == 404
    assert "error" in response.json()


def test_bearer_token_is_required_when_configured(tmp_path):
    (tmp_path / "token").write_text("s3cret-token\n")
    server = ServeProcess("--offline", "--token-file", str(tmp_path / "token"), cwd=tmp_path)
    try:
        health = server.url + "/v1/health"
        for headers in ({}, {"Authorization": "Bearer wrong"}, {"Authorization": "s3cret-token"}):
            refused = requests.get(health, headers=headers, timeout=10)
            assert refused.status_code == 401 and "bearer token" in refused.json()["error"]
        good = {"Authorization": "Bearer s3cret-token"}
        assert requests.get(health, headers=good, timeout=10).status_code == 200
        assert "s3cret-token" not in server.log()
    finally:
        assert server.stop() == 0


# The scripted model server: each prompt carries its question's marker, whose usage per call
# differs, so every question's count can be told from every other's.
MARKERS = {"alpha": 10, "beta": 1000, "gamma": 1, "slow": 1, "doomed": 7, "broken": 1}


# A model may name any file as the plot; only what the question's own run wrote is served.
PLOTS = {"gamma": "../../../../../../etc/passwd", "slow": "/etc/hostname"}
PLOTS.update({name: "" for name in MARKERS if name not in PLOTS})


def marker(request):
    text = json.dumps(request.messages)
    # Repair prompts after a failed query may quote neither question nor query.
    return next((name for name in MARKERS if name in text), "broken")


def usage(request):
    tokens = MARKERS[marker(request)]
    return {"prompt_tokens": tokens, "completion_tokens": 0, "total_tokens": tokens}


def sql_for(request):
    name = marker(request)
    if name == "broken":
        return tool_call_reply("SQLQueryInput", {"sql_query": "SELECT nope FROM missing"})
    return tool_call_reply(
        "SQLQueryInput",
        {"sql_query": f"SELECT COUNT(*) AS {name} FROM orders"},
        usage=usage(request),
    )


@pytest.fixture(scope="module")
def scripted(tmp_path_factory):
    folder = tmp_path_factory.mktemp("scripted")
    shop = folder / "shop.db"
    with sqlite3.connect(shop) as connection:
        connection.execute("CREATE TABLE orders (id INTEGER PRIMARY KEY, total REAL)")
        connection.executemany("INSERT INTO orders VALUES (?, ?)", [(1, 10.0), (2, 5.5)])
    with ModelServer() as models:
        models.on_tool(
            "select_relevant_tables",
            lambda request: delay(
                1.5 if marker(request) not in ("gamma", "doomed") else 0,
                tool_call_reply(
                    "select_relevant_tables",
                    {"relevant_tables": ["orders"]},
                    usage=usage(request),
                ),
            ),
        )
        models.on_tool("SQLQueryInput", sql_for)
        models.on_tool(
            "RewriteQueryOutput",
            lambda request: tool_call_reply(
                "RewriteQueryOutput", {"rewritten_question": f"Count orders ({marker(request)})"}
            ),
        )
        models.on_tool(
            "PythonCodeInput",
            lambda request: tool_call_reply(
                "PythonCodeInput", {"code": "print(2)"}, usage=usage(request)
            ),
        )
        # A doomed question fails at its last model call, after the others have spent tokens.
        models.on_tool(
            "GenerationOutput",
            lambda request: (
                fault(400)
                if marker(request) == "doomed"
                else tool_call_reply(
                    "GenerationOutput",
                    {
                        "final_response": f"{marker(request)}: 2 orders",
                        "image_path": PLOTS[marker(request)],
                    },
                    usage=usage(request),
                )
            ),
        )
        models.respond_with(
            lambda request: text_reply(
                (
                    "SELECT nope FROM missing"
                    if marker(request) == "broken"
                    else f"SELECT COUNT(*) AS {marker(request)} FROM orders"
                ),
                usage=usage(request),
            )
        )
        server = ServeProcess(
            "--db",
            str(shop),
            "--pool",
            "2",
            cwd=folder,
            variables={
                "OPENAI_BASE_URL": models.openai_base_url,
                "OPENAI_API_KEY": "k",
                "NORVIAI_MODEL_SMALL": "small",
                "NORVIAI_MODEL_LARGE": "large",
            },
        )
        yield server, models
        assert server.stop() == 0, server.log()


def running(server):
    return requests.get(server.url + "/v1/health", timeout=10).json()["questions_running"]


def wait_for(condition, seconds=30):
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "timed out"
        time.sleep(0.05)


def test_concurrent_questions_keep_their_own_usage_and_a_full_pool_answers_429(scripted):
    server, _ = scripted
    results = {}

    def ask(name):
        results[name] = post(server, {"question": f"How many orders? ({name})"})

    threads = [threading.Thread(target=ask, args=(name,)) for name in ("alpha", "beta")]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    wait_for(lambda: running(server) == 2)
    busy = post(server, {"question": "How many orders? (gamma)"})
    assert busy.status_code == 429 and int(busy.headers["Retry-After"]) > 0
    assert "busy" in busy.json()["error"]
    for thread in threads:
        thread.join(60)
    # The two slow model calls overlapped instead of running one after the other.
    assert time.monotonic() - started < 2 * 1.5 + 2
    alpha, beta = results["alpha"].json(), results["beta"].json()
    assert (alpha["outcome"], beta["outcome"]) == ("answered", "answered")
    assert alpha["answer"] == "alpha: 2 orders" and beta["answer"] == "beta: 2 orders"
    assert (alpha["columns"], alpha["rows"]) == (["alpha"], [[2]])
    assert (beta["columns"], beta["rows"]) == (["beta"], [[2]])
    assert alpha["tokens"] > 0 and beta["tokens"] == 100 * alpha["tokens"]
    assert running(server) == 0


def test_a_reader_who_leaves_stops_nothing_others_need(scripted):
    server, _ = scripted
    with socket.create_connection(("127.0.0.1", server.port)) as leaving:
        body = json.dumps({"question": "How many orders? (slow)"}).encode()
        leaving.sendall(
            b"POST /v1/questions HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
            b"Content-Type: application/json\r\nAccept: text/event-stream\r\n"
            b"Content-Length: %d\r\n\r\n%s" % (server.port, len(body), body)
        )
        received = b""
        while b"step_start" not in received:
            chunk = leaving.recv(4096)
            assert chunk, received
            received += chunk
        assert running(server) == 1
    other = post(server, {"question": "How many orders? (alpha)"})
    assert other.json()["outcome"] == "answered"
    # The abandoned question finishes and gives its slot back.
    wait_for(lambda: running(server) == 0)


def test_outcomes_gave_up_and_failed(scripted):
    server, _ = scripted
    gave_up = post(server, {"question": "How many orders? (broken)"}).json()
    assert gave_up["outcome"] == "gave up", gave_up
    assert gave_up["sql"] and gave_up["rows"] is None and gave_up["answer"]
    for name in ("gamma", "slow"):
        outside = post(server, {"question": f"How many orders? ({name})"}).json()
        assert outside["outcome"] == "answered" and outside["plot_url"] is None


def test_a_failed_question_reports_what_it_spent(scripted):
    server, models = scripted
    question = {"question": "How many orders? (doomed)"}
    for stream in (False, True):
        models.clear()
        if stream:
            response = post(server, question, {"Accept": "text/event-stream"}, stream=True)
            name, failed = list(events(response))[-1]
            assert name == "result"
        else:
            failed = post(server, question).json()
        assert failed["outcome"] == "failed" and "400" in failed["error"], failed
        assert failed["answer"] is None and failed["sql"] == []
        # Every call but the refused last one reported 7 tokens.
        calls = [request for request in models.requests if marker(request) == "doomed"]
        assert len(calls) >= 4 and calls[-1].forced_tool == "GenerationOutput"
        assert failed["tokens"] == 7 * (len(calls) - 1)
        assert isinstance(failed["cost"], float)
