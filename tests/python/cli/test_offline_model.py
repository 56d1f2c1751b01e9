"""The offline stand-in model: the whole question graph against it, both client flavours, its
HTTP surface, and its life cycle."""

import json
import os
import shutil
import socket
import sqlite3
import urllib.error
import urllib.request

import openai
import pytest
from langchain_community.callbacks import get_openai_callback

import norviai
from norviai.askflow import askflow_prompts
from norviai.askflow.askflow import SQLGraph
from norviai.askflow.custom_sql import CustomSQLDatabase
from norviai.cli import _OfflineModel
from norviai.settings import AzureOpenAIChat4, AzureOpenAIChat35

DATA = os.path.join(os.path.dirname(norviai.__file__), "data")
SCRIPT_PATH = os.path.join(DATA, "offline_model.json")
DEMO_QUESTION = "Which five customers spent the most, and how much did each spend?"
API_VERSION = "2024-02-01"
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def load_script():
    with open(SCRIPT_PATH, encoding="utf-8") as file:
        questions = json.load(file)["questions"]
    for entry in questions:
        for key in ("sql", "code", "answer"):
            if isinstance(entry[key], list):
                entry[key] = "\n".join(entry[key])
    return questions


SCRIPT = load_script()


@pytest.fixture
def offline():
    with _OfflineModel() as model:
        yield model


@pytest.fixture
def sample_db(tmp_path):
    path = tmp_path / "sample.db"
    shutil.copyfile(os.path.join(DATA, "sample.db"), path)
    return path


def make_graph(model, db_path):
    settings = {
        "azure_endpoint": model.base_url,
        "api_key": "offline",
        "api_version": API_VERSION,
    }
    return SQLGraph(
        CustomSQLDatabase.from_uri(f"sqlite:///{db_path}"),
        AzureOpenAIChat35(azure_deployment="small", **settings),
        AzureOpenAIChat4(azure_deployment="large", **settings),
    )


def ask(model, db_path, question, media):
    graph = make_graph(model, db_path)
    return graph.invoke({"user_question": question, "save_path": str(media)})


def forced(name):
    return {"type": "function", "function": {"name": name}}


def tool(name, properties):
    return {
        "type": "function",
        "function": {
            "name": name,
            "parameters": {"type": "object", "properties": properties},
        },
    }


PICKER_TOOL = tool(
    "select_relevant_tables",
    {
        "relevant_tables": {
            "type": "array",
            "items": {
                "type": "string",
                "properties": {
                    "table_name": {
                        "type": "string",
                        "enum": ["customers", "order_items", "orders", "products"],
                    }
                },
            },
        }
    },
)


def pick(client, model_name, question):
    reply = client.chat.completions.create(
        model=model_name,
        messages=[{"role": "user", "content": question}],
        tools=[PICKER_TOOL],
        tool_choice=forced("select_relevant_tables"),
    )
    (call,) = reply.choices[0].message.tool_calls
    assert call.function.name == "select_relevant_tables"
    return json.loads(call.function.arguments)["relevant_tables"]


# -- the question graph ------------------------------------------------------------------------


def test_the_demo_question_is_answered_with_the_top_customer_and_a_chart(
    offline, sample_db, tmp_path
):
    media = tmp_path / "media"
    with sqlite3.connect(sample_db) as connection:
        top_name, top_amount = connection.execute(
            "SELECT c.name, SUM(oi.quantity * oi.unit_price) AS spent FROM customers c "
            "JOIN orders o ON o.customer_id = c.id JOIN order_items oi ON oi.order_id = o.id "
            "WHERE o.status != 'cancelled' GROUP BY c.id ORDER BY spent DESC LIMIT 1"
        ).fetchone()

    with get_openai_callback() as usage:
        state = ask(offline, sample_db, DEMO_QUESTION, media)

    assert SCRIPT[0]["question"] == DEMO_QUESTION
    assert state["generated_sql_query"] == [SCRIPT[0]["sql"]]
    assert state["relevant_tables"] == SCRIPT[0]["tables"]
    assert top_name in state["final_response"]
    assert f"{top_amount:,.2f}" in state["final_response"]
    image = state["image_path"]
    assert os.path.dirname(image) == str(media)
    with open(image, "rb") as file:
        assert file.read(8) == PNG_SIGNATURE
    # Picker, SQL, checker, program, answer: each a priced call the usage callback saw.
    assert offline.requests_served == 5
    assert usage.successful_requests == 5
    assert usage.total_tokens > 0 and usage.total_cost > 0


@pytest.mark.parametrize("entry", SCRIPT[1:], ids=lambda entry: entry["chart_file"])
def test_every_other_demo_question_answers_with_its_first_row_and_chart(
    offline, sample_db, tmp_path, entry
):
    with sqlite3.connect(sample_db) as connection:
        first_label = connection.execute(entry["sql"]).fetchone()[0]

    state = ask(offline, sample_db, entry["question"], tmp_path / "media")

    assert state["generated_sql_query"] == [entry["sql"]]
    assert str(first_label) in state["final_response"]
    assert state["image_path"] == str(tmp_path / "media" / entry["chart_file"])
    assert os.path.getsize(state["image_path"]) > 0


def test_a_reworded_demo_question_gets_the_scripted_answer_and_a_relative_folder_works(
    offline, sample_db, tmp_path
):
    # The analysis runs inside the save folder, where a relative path no longer leads to it.
    state = ask(
        offline,
        sample_db,
        "Who are the five customers that spent the most, and how much did each spend",
        os.path.relpath(tmp_path / "media"),
    )
    assert state["generated_sql_query"] == [SCRIPT[0]["sql"]]
    assert state.get("python_execution_success") is True
    assert state["image_path"] == str(tmp_path / "media" / SCRIPT[0]["chart_file"])
    assert os.path.exists(state["image_path"])


@pytest.mark.parametrize(
    "question, counted",
    [
        ("How many products are there?", ["products"]),
        ("What is the meaning of life?", ["customers", "order_items", "orders", "products"]),
    ],
    ids=["names-a-table", "names-none"],
)
def test_an_unknown_question_ends_with_row_counts_and_the_demo_questions(
    offline, sample_db, tmp_path, question, counted
):
    state = ask(offline, sample_db, question, tmp_path / "media")

    assert state["relevant_tables"] == counted
    answer = state["final_response"]
    assert "only knows the demo questions" in answer
    for entry in SCRIPT:
        assert entry["question"] in answer
    with sqlite3.connect(sample_db) as connection:
        for table in counted:
            (rows,) = connection.execute(f"SELECT COUNT(*) FROM {table}").fetchone()
            assert f"{table}: {rows}" in answer
    assert state["image_path"] == ""


def test_a_database_without_the_demo_tables_still_gets_an_answer(offline, tmp_path):
    db_path = tmp_path / "garden.db"
    with sqlite3.connect(db_path) as connection:
        connection.execute("CREATE TABLE plants (id INTEGER PRIMARY KEY, name TEXT)")
        connection.executemany("INSERT INTO plants (name) VALUES (?)", [("fern",), ("ivy",)])

    state = ask(offline, db_path, DEMO_QUESTION, tmp_path / "media")

    # The scripted query fails here; the repair is the query that works on any database.
    assert state["generated_sql_query"][0] == SCRIPT[0]["sql"]
    assert len(state["generated_sql_query"]) == 2
    assert "could not run its scripted answer" in state["final_response"]
    assert "plants: 2" in state["final_response"]
    assert state["image_path"] == ""


def test_a_failing_scripted_program_falls_back_to_the_query_result(sample_db, tmp_path):
    script = tmp_path / "script.json"
    entry = dict(SCRIPT[1], code=["raise ValueError('no chart today')"])
    script.write_text(json.dumps({"questions": [entry]}))

    with _OfflineModel(script) as model:
        state = ask(model, sample_db, entry["question"], tmp_path / "media")

    assert state["generated_sql_query"] == [entry["sql"]]
    assert state["python_executed_output"].startswith("The offline stand-in model cannot repair")
    answer = state["final_response"]
    assert "could not run its scripted answer" in answer
    assert "('Electronics', 29736.94)" in answer
    assert state["image_path"] == ""


# -- both client flavours ----------------------------------------------------------------------


@pytest.fixture(params=["azure", "openai"])
def client(request, offline):
    if request.param == "azure":
        return openai.AzureOpenAI(
            azure_endpoint=offline.base_url,
            api_key="any",
            api_version=API_VERSION,
            max_retries=0,
            timeout=10,
        )
    return openai.OpenAI(
        base_url=offline.base_url + "/v1", api_key="any", max_retries=0, timeout=10
    )


def test_both_flavours_answer_forced_tools_with_a_tool_call_and_usage(client):
    assert pick(client, "small", DEMO_QUESTION) == SCRIPT[0]["tables"]
    assert pick(client, "small", "Which products are out of stock?") == ["products"]
    assert pick(client, "small", "Tell me a joke") == [
        "customers",
        "order_items",
        "orders",
        "products",
    ]

    reply = client.chat.completions.create(
        model="small",
        messages=[{"role": "user", "content": "The user's question: " + DEMO_QUESTION}],
        tools=[tool("RewriteQueryOutput", {"rewritten_question": {"type": "string"}})],
        tool_choice=forced("RewriteQueryOutput"),
    )
    assert reply.object == "chat.completion"
    assert reply.model == "gpt-35-turbo"
    choice = reply.choices[0]
    assert choice.finish_reason == "tool_calls"
    assert json.loads(choice.message.tool_calls[0].function.arguments) == {
        "rewritten_question": DEMO_QUESTION
    }
    usage = reply.usage
    assert usage.prompt_tokens > 0 and usage.completion_tokens > 0
    assert usage.total_tokens == usage.prompt_tokens + usage.completion_tokens


def test_both_flavours_answer_the_query_checker_with_the_query(client):
    query = "SELECT name\nFROM customers\nLIMIT 3"
    prompt = f"\n{query}\nDouble check the sqlite query above for common mistakes, including:\n..."
    reply = client.chat.completions.create(
        model="small", messages=[{"role": "user", "content": prompt}]
    )
    assert reply.choices[0].message.content == query
    assert reply.choices[0].finish_reason == "stop"
    assert reply.choices[0].message.tool_calls is None

    chunks = client.chat.completions.create(
        model="small",
        messages=[{"role": "user", "content": prompt}],
        stream=True,
        stream_options={"include_usage": True},
    )
    chunks = list(chunks)
    assert "".join(c.choices[0].delta.content or "" for c in chunks if c.choices) == query
    assert chunks[-1].usage.total_tokens > 0


def test_a_tool_no_step_forces_is_refused_with_a_client_error(client):
    with pytest.raises(openai.BadRequestError, match="no answer for the tool 'Weather'"):
        client.chat.completions.create(
            model="small",
            messages=[{"role": "user", "content": "Is it raining?"}],
            tools=[tool("Weather", {"city": {"type": "string"}})],
            tool_choice=forced("Weather"),
        )


# -- the HTTP surface and the life cycle -------------------------------------------------------


def http(url, data=None, method="POST"):
    request = urllib.request.Request(url, data=data, method=method)
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            return response.status, json.loads(response.read())
    except urllib.error.HTTPError as error:
        return error.code, json.loads(error.read())


def test_requests_that_are_not_chat_completions_get_json_errors(offline):
    status, body = http(offline.base_url + "/v1/chat/completions", b"not json")
    assert status == 400 and "messages" in body["error"]["message"]
    status, body = http(offline.base_url + "/v1/models", method="GET")
    assert status == 404 and "chat/completions" in body["error"]["message"]
    assert offline.requests_served == 0


def test_stop_frees_the_port_and_a_second_instance_serves(offline):
    client = openai.OpenAI(base_url=offline.base_url + "/v1", api_key="k", max_retries=0)
    assert pick(client, "m", DEMO_QUESTION) == SCRIPT[0]["tables"]
    port = offline.port
    assert offline.running and offline.base_url == f"http://127.0.0.1:{port}"

    offline.stop()
    offline.stop()  # a second stop is harmless
    assert not offline.running
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", port), timeout=5).close()
    with socket.socket() as listener:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", port))

    with _OfflineModel(SCRIPT_PATH) as second:
        assert second.port != 0
        again = openai.OpenAI(base_url=second.base_url + "/v1", api_key="k", max_retries=0)
        assert pick(again, "m", DEMO_QUESTION) == SCRIPT[0]["tables"]
        assert second.requests_served == 1
    assert not second.running
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", second.port), timeout=5).close()


def test_the_script_is_checked_when_the_model_starts(tmp_path, offline):
    assert offline.questions == [entry["question"] for entry in SCRIPT]
    assert offline.questions[0] == DEMO_QUESTION

    with pytest.raises(FileNotFoundError):
        _OfflineModel(tmp_path / "missing.json")
    broken = tmp_path / "broken.json"
    broken.write_text("{")
    with pytest.raises(ValueError, match="not valid JSON"):
        _OfflineModel(str(broken))
    broken.write_text(json.dumps({"questions": [{"question": "Q?", "tables": "orders"}]}))
    with pytest.raises(ValueError, match=r"questions\[0\]\.tables must be a list"):
        _OfflineModel(str(broken))


def test_a_prompt_that_lost_a_landmark_stops_the_start_by_name(monkeypatch):
    monkeypatch.setattr(
        askflow_prompts, "PANDAS_HUMAN_TEMPLATE", "Write a program for: {{ question }}"
    )
    with pytest.raises(
        RuntimeError,
        match=r"askflow_prompts\.PANDAS_HUMAN_TEMPLATE: it has no placeholder "
        r"\{\{ original_question \}\}",
    ):
        _OfflineModel()
