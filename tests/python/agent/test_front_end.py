"""create_agent, run_agent and create_chat_openai_instance against norviai-service, the scripted
model server and the sample database on SQLite and PostgreSQL."""

import socket
import time

import pytest
import requests
from langchain_openai import ChatOpenAI
from sqlalchemy import text
from sqlalchemy.exc import NoSuchModuleError

from norviai.agent import create_agent, create_chat_openai_instance, run_agent
from norviai.askflow.askflow import SQLGraph
from support.model_server import fault, text_reply

pytestmark = [
    pytest.mark.timeout(60),
    # The graph's models pass top_p through model_kwargs, as the question graph defines them.
    pytest.mark.filterwarnings("ignore:Parameters {'top_p'} should be specified:UserWarning"),
]

both_engines = pytest.mark.parametrize("shop_db", ["sqlite", "postgresql"], indirect=True)
sqlite_only = pytest.mark.parametrize("shop_db", ["sqlite"], indirect=True)

USER_KEY = "nv-user-key-33aa"
QUESTION = "How many orders has the shop received?"
RESULT_KEYS = ["output", "python_code", "image_path", "generated_query", "sql_execution_result"]
SUCCESS = "Success at:Norvi1!.\n"


def order_count(shop_db):
    with shop_db.engine.connect() as connection:
        return connection.execute(text("SELECT COUNT(*) FROM orders")).scalar()


def deployment(model, name, endpoint, key):
    return {
        "model": model,
        "deployment_name": name,
        "azure_endpoint": endpoint,
        "api_key": key,
        "api_version": "2024-02-01",
    }


def assert_one_report(service, question, query=QUESTION):
    [row] = service.stored()
    assert (row["norvi_api_key"], row["query"], row["tokens"]) == (USER_KEY, query, question.tokens)
    assert row["total_cost"] > 0
    assert row["total_cost"] == pytest.approx(question.cost, rel=1e-9)


@both_engines
def test_a_question_end_to_end(
    service,
    vendor_service_deployments,
    model_server,
    question,
    connection,
    shop_db,
    tmp_path,
    capsys,
):
    agent = create_agent(USER_KEY, *connection)
    assert capsys.readouterr().out == "Agent is Ready!\n"
    assert isinstance(agent, SQLGraph)
    assert agent.db.dialect == shop_db.engine_name
    assert agent.sql_generation_model.deployment_name == "large"
    assert agent.response_model.deployment_name == "small"
    assert model_server.requests == []

    media = tmp_path / "media" / "question-1"
    result = run_agent(agent, USER_KEY, QUESTION, str(media))

    assert list(result) == RESULT_KEYS
    assert result == {
        "output": question.answer,
        "python_code": question.code,
        "image_path": question.image_path,
        "generated_query": [question.sql],
        "sql_execution_result": [f"[({order_count(shop_db)},)]"],
    }
    assert media.is_dir()
    assert capsys.readouterr().out == SUCCESS

    # Every model call was answered with its own usage figures, the picker's included, and the
    # report carries all of them.
    forced = [request.forced_tool for request in model_server.requests]
    assert forced == [
        "select_relevant_tables",
        "SQLQueryInput",
        None,
        "PythonCodeInput",
        "GenerationOutput",
    ]
    assert len(question.usages) == len(forced)
    assert_one_report(service, question)

    # The deployments and keys of the vendor's records, the larger one for SQL generation only.
    small, large = vendor_service_deployments["azure"]
    for request in model_server.requests:
        record = large if request.forced_tool == "SQLQueryInput" else small
        assert request.deployment == record["deployment_name"]
        assert request.headers["api-key"] == record["api_key"]
        assert request.query["api-version"] == record["api_version"]
    # The code is written for the folder the caller gave.
    code_request = model_server.requests[3]
    assert str(media) in "".join(message["content"] for message in code_request.messages)


@sqlite_only
def test_each_question_is_counted_and_reported_on_its_own(
    service, model_server, question, connection, tmp_path, capsys
):
    agent = create_agent(USER_KEY, *connection)
    media = tmp_path / "media"
    media.mkdir()
    (media / "kept.txt").write_text("earlier plot")

    first = run_agent(agent, USER_KEY, "first?", str(media))
    first_tokens, first_calls = question.tokens, len(question.usages)
    second = run_agent(agent, USER_KEY, "second?", str(media))

    assert first == second
    assert (media / "kept.txt").read_text() == "earlier plot"
    assert capsys.readouterr().out == "Agent is Ready!\n" + SUCCESS * 2
    rows = service.stored()
    assert [(row["query"], row["tokens"]) for row in rows] == [
        ("first?", first_tokens),
        ("second?", question.tokens - first_tokens),
    ]
    assert len(question.usages) == 2 * first_calls


@sqlite_only
def test_the_sql_path_giving_up_still_answers_and_reports(
    service, model_server, question, connection, tmp_path, capsys
):
    # Every query fails: the first and four repairs, one rewrite and a last query, then the answer.
    question.sql = "SELECT no_such_column FROM orders"
    question.answer = "I could not count the orders."
    agent = create_agent(USER_KEY, *connection)

    result = run_agent(agent, USER_KEY, QUESTION, str(tmp_path / "media"))

    assert list(result) == RESULT_KEYS
    assert result["output"] == question.answer
    assert result["python_code"] is None
    assert result["image_path"] == question.image_path
    assert result["generated_query"] == [question.sql] * 6
    # The last failure ends the question as it came, so no give-up text is added to the history.
    assert len(result["sql_execution_result"]) == 6
    assert all(
        outcome.startswith("(sqlite3.OperationalError) no such column: no_such_column")
        for outcome in result["sql_execution_result"]
    )
    assert capsys.readouterr().out == "Agent is Ready!\n" + SUCCESS
    forced = [request.forced_tool for request in model_server.requests]
    assert forced.count("RewriteQueryOutput") == 1
    assert forced.count("select_relevant_tables") == 2
    assert "PythonCodeInput" not in forced
    assert_one_report(service, question)


@sqlite_only
class TestReportFailuresKeepTheAnswer:
    @pytest.mark.parametrize(
        "status, body, printed",
        [
            (
                201,
                "<html>created</html>",
                SUCCESS
                + "The usage report could not be sent: JSONDecodeError: "
                + "Expecting value: line 1 column 1 (char 0)\n",
            ),
            (503, '{"error": "busy"}', "Failed at:Norvi0! : \n"),
        ],
    )
    def test_a_report_answered_badly(
        self,
        service,
        question,
        connection,
        report_stub,
        monkeypatch,
        tmp_path,
        capsys,
        status,
        body,
        printed,
    ):
        agent = create_agent(USER_KEY, *connection)
        capsys.readouterr()
        stub = report_stub(status, body, "text/html" if status == 201 else "application/json")
        monkeypatch.setenv("NORVIAI_SERVICE_URL", stub.url)

        result = run_agent(agent, USER_KEY, QUESTION, str(tmp_path / "media"))

        assert list(result) == RESULT_KEYS
        assert result["output"] == question.answer
        assert capsys.readouterr().out == printed
        [(_, path, _, _)] = stub.requests
        assert path == "/norvi/user_questions/"

    def test_an_unreachable_report_service(
        self, service, question, connection, monkeypatch, tmp_path, capsys
    ):
        agent = create_agent(USER_KEY, *connection)
        capsys.readouterr()
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        monkeypatch.setenv("NORVIAI_SERVICE_URL", f"http://127.0.0.1:{port}")

        result = run_agent(agent, USER_KEY, QUESTION, str(tmp_path / "media"))

        assert result["output"] == question.answer
        assert capsys.readouterr().out == (
            "An error occurred during the API request: [Errno 111] Connection refused\n"
        )


@sqlite_only
class TestGraphFailures:
    def test_a_model_service_refusing_everything(
        self, service, model_server, connection, tmp_path, capsys
    ):
        model_server.respond_with(lambda request: fault(400))
        agent = create_agent(USER_KEY, *connection)
        capsys.readouterr()

        assert run_agent(agent, USER_KEY, QUESTION, str(tmp_path / "media")) == {
            "output": "An error occurred"
        }

        out, err = capsys.readouterr()
        assert out.startswith("An error occurred when running the agent: Error code: 400 - ")
        assert out.count("\n") == 1
        assert "Traceback (most recent call last)" in err
        assert "openai.BadRequestError" in err
        assert len(model_server.requests) == 1
        assert service.stored() == []

    def test_a_failure_after_counted_calls_sends_no_report(
        self, service, model_server, question, connection, tmp_path, capsys
    ):
        model_server.on_tool("GenerationOutput", fault(400))
        agent = create_agent(USER_KEY, *connection)
        capsys.readouterr()

        assert run_agent(agent, USER_KEY, QUESTION, str(tmp_path / "media")) == {
            "output": "An error occurred"
        }
        assert capsys.readouterr().out.startswith("An error occurred when running the agent: ")
        assert len(question.usages) == 4
        assert service.stored() == []

    def test_a_media_path_that_cannot_be_made_propagates(
        self, service, model_server, connection, tmp_path
    ):
        blocker = tmp_path / "file"
        blocker.write_text("")
        agent = create_agent(USER_KEY, *connection)
        with pytest.raises(NotADirectoryError):
            run_agent(agent, USER_KEY, QUESTION, str(blocker / "media"))
        assert model_server.requests == []
        assert service.stored() == []


@sqlite_only
class TestDeploymentChoice:
    @pytest.mark.parametrize(
        "records",
        [
            [("GPT-3.5", True)],
            [("GPT-4-32k", True)],
            [],
            [("gpt-3.5", True), ("GPT-4-32k", True)],
            [("GPT-3.5", True), ("GPT4", True)],
            [("GPT-3.5", True), ("GPT-4-32k", False)],
            [("GPT-3.5", False), ("GPT-4-32k", True)],
        ],
        ids=[
            "small-only",
            "large-only",
            "none",
            "lower-case",
            "no-dash",
            "large-without-endpoint",
            "small-without-endpoint",
        ],
    )
    def test_an_incomplete_list_is_an_internal_server_error(
        self, service, model_server, connection, capsys, records
    ):
        service.write_deployments(
            {
                "azure": [
                    deployment(model, model.lower(), model_server.base_url if usable else "", "k")
                    for model, usable in records
                ]
            }
        )
        assert create_agent(USER_KEY, *connection) is None
        assert capsys.readouterr().out == "Internal Server Error!\n"

    def test_later_records_win_and_others_are_skipped(
        self, service, model_server, connection, capsys
    ):
        endpoint = model_server.base_url
        service.write_deployments(
            {
                "azure": [
                    deployment("GPT-3.5", "small-first", endpoint, "k1"),
                    deployment("GPT-4", "large-first", endpoint, "k2"),
                    deployment("Claude", "other", "http://127.0.0.1:9", "k3"),
                    deployment("GPT-3.5", "small-second", endpoint, "k4"),
                    deployment("GPT-4o-mini", "large-second", endpoint, "k5"),
                ]
            }
        )
        agent = create_agent(USER_KEY, *connection)
        assert capsys.readouterr().out == "Agent is Ready!\n"
        small = [
            agent.relevant_tables_model,
            agent.response_model,
            agent.pandas_code_model,
            agent.pandas_ai_model,
        ]
        assert {model.deployment_name for model in small} == {"small-second"}
        assert {model.openai_api_key.get_secret_value() for model in small} == {"k4"}
        assert agent.sql_generation_model.deployment_name == "large-second"
        assert agent.sql_generation_model.openai_api_key.get_secret_value() == "k5"

    @pytest.mark.parametrize("vendor_service_token", ["service-secret"])
    def test_a_refused_fetch_raises_its_status(self, service, connection, monkeypatch, capsys):
        monkeypatch.delenv("NORVIAI_SERVICE_TOKEN", raising=False)
        with pytest.raises(requests.HTTPError, match="401"):
            create_agent(USER_KEY, *connection)
        assert capsys.readouterr().out == ""

    def test_a_record_without_model_propagates(self, service, connection, capsys):
        record = deployment("GPT-3.5", "small", "http://127.0.0.1:9", "k")
        del record["model"]
        service.write_deployments({"azure": [record]})
        with pytest.raises(KeyError, match="model"):
            create_agent(USER_KEY, *connection)
        assert capsys.readouterr().out == ""


@both_engines
def test_connection_urls(service, connection, shop_db):
    engine, name, user, password, host, port = connection
    if engine == "SQLite":
        # Only the file name counts; the server arguments are ignored, whatever they hold.
        agent = create_agent(USER_KEY, engine, name, "someone", "p@ss:w/rd%", "db.test", 5432)
        assert str(agent.db._engine.url) == f"sqlite:///{name}"
    else:
        # The password's @ : / % are escaped, so the connection reaches the right server.
        assert password == "p@ss:w/rd%"
        agent = create_agent(USER_KEY, engine, name, user, password, host, port)
        url = agent.db._engine.url
        assert (url.drivername, url.username, url.password, url.host, url.port, url.database) == (
            "postgresql+psycopg2",
            user,
            password,
            host,
            port,
            name,
        )
    assert agent.db.run("SELECT COUNT(*) FROM orders") == f"[({order_count(shop_db)},)]"


@sqlite_only
class TestConnectionFailures:
    def test_an_engine_in_another_letter_case_is_unknown(self, service, connection, capsys):
        with pytest.raises(NoSuchModuleError, match="sqlalchemy.dialects:None"):
            create_agent(USER_KEY, "mysql", "shop", "user", "pw", "127.0.0.1", 3306)
        assert capsys.readouterr().out == ""

    def test_an_unreachable_service_propagates(self, connection, monkeypatch):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        monkeypatch.setenv("NORVIAI_SERVICE_URL", f"http://127.0.0.1:{port}")
        with pytest.raises(requests.ConnectionError):
            create_agent(USER_KEY, *connection)

    def test_a_silent_service_times_out(self, connection, monkeypatch):
        with socket.create_server(("127.0.0.1", 0)) as silent:
            monkeypatch.setenv("NORVIAI_SERVICE_URL", f"http://127.0.0.1:{silent.getsockname()[1]}")
            monkeypatch.setenv("NORVIAI_SERVICE_TIMEOUT", "1")
            started = time.monotonic()
            with pytest.raises(requests.Timeout):
                create_agent(USER_KEY, *connection)
            assert time.monotonic() - started < 5


def test_a_missing_sqlite_file_is_not_created(service, tmp_path):
    folder = tmp_path / "databases"
    folder.mkdir()
    missing = folder / "nowhere.db"
    with pytest.raises(FileNotFoundError) as raised:
        create_agent(USER_KEY, "SQLite", str(missing), "user", "pw", "host", 1)
    assert str(raised.value) == f"SQLite database file not found: {missing}"
    assert list(folder.iterdir()) == []


class TestChatModelFromTheVendor:
    def test_a_record_without_temperature(self, service, model_server, monkeypatch, capsys):
        monkeypatch.setenv("OPENAI_BASE_URL", model_server.openai_base_url)
        model = create_chat_openai_instance(USER_KEY)
        assert capsys.readouterr().out == "LLM is Ready!\n"
        assert isinstance(model, ChatOpenAI)
        assert (model.model_name, model.temperature) == ("gpt-4o-mini", 1)

        model_server.respond_with(lambda request: text_reply("hello"))
        assert model.invoke("hi").content == "hello"
        request = model_server.last_request
        assert request.api_key == "openai-key-9f"
        assert (request.model, request.body["temperature"]) == ("gpt-4o-mini", 1)

    def test_the_record_temperature_is_used(self, service, capsys):
        service.write_deployments(
            {"openai": [{"model_name": "m1", "temperature": 0.25, "api_key": "k"}, {}]}
        )
        model = create_chat_openai_instance(USER_KEY)
        assert (model.model_name, model.temperature) == ("m1", 0.25)
        assert model.openai_api_key.get_secret_value() == "k"

    def test_no_record_propagates(self, service, capsys):
        service.write_deployments({"openai": []})
        with pytest.raises(TypeError):
            create_chat_openai_instance(USER_KEY)
        assert capsys.readouterr().out == ""
