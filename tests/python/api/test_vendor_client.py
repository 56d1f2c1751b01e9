"""The vendor service client against the real norviai-service and a few misbehaving servers."""

import json
import logging
import socket
import sqlite3
import subprocess
import sys
import time

import pytest

from norviai.api import NorviAPIHandler, send_user_question
from support.http_stub import StubService
from support.pytest_vendor_service import DEFAULT_DEPLOYMENTS

pytestmark = pytest.mark.timeout(30)

KEY = "nv-user-key-5d1e"
FAILED = "Failed at:Norvi0! : \n"
TRANSPORT_ERROR = "An error occurred during the API request: "
GETTER_ERROR = "Error in get_openai_data: "


@pytest.fixture
def stub_service(monkeypatch):
    """Start a stub with stub_service(status, body[, content_type]); the client is pointed at it."""
    started = []

    def start(status, body, content_type="application/json"):
        stub = StubService(status, body, content_type)
        started.append(stub)
        monkeypatch.setenv("NORVIAI_SERVICE_URL", stub.url)
        return stub

    yield start
    for stub in started:
        stub.close()


@pytest.fixture
def silent_service(monkeypatch):
    """A port that accepts connections (the kernel's backlog) and never answers."""
    with socket.create_server(("127.0.0.1", 0), backlog=8) as listener:
        monkeypatch.setenv("NORVIAI_SERVICE_URL", f"http://127.0.0.1:{listener.getsockname()[1]}")
        yield listener


@pytest.fixture
def closed_port_url(monkeypatch):
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    url = f"http://127.0.0.1:{port}"
    monkeypatch.setenv("NORVIAI_SERVICE_URL", url)
    return url


@pytest.fixture
def service(vendor_service, monkeypatch):
    monkeypatch.setenv("NORVIAI_SERVICE_URL", vendor_service.url)
    return vendor_service


def error_lines(caplog):
    return [
        (r.name, r.levelno, r.getMessage()) for r in caplog.records if r.levelno >= logging.ERROR
    ]


class TestHandler:
    def test_identity_and_attributes(self, monkeypatch):
        monkeypatch.setenv("NORVIAI_SERVICE_URL", "http://vendor.test:8000//")
        by_position = NorviAPIHandler(KEY)
        by_keyword = NorviAPIHandler(norvi_api_key=None)
        for handler in (by_position, by_keyword):
            assert str(handler) == "NorviAPIHandler Instance"
            assert handler.main_url == "http://vendor.test:8000"
        assert by_position.norvi_api_key == KEY
        assert by_keyword.norvi_api_key is None
        # The URL is taken when the handler is made.
        monkeypatch.setenv("NORVIAI_SERVICE_URL", "http://elsewhere.test")
        assert by_position.main_url == "http://vendor.test:8000"
        assert NorviAPIHandler(KEY).main_url == "http://elsewhere.test"

    def test_both_getters_return_the_first_of_two_records(self, service, capsys, caplog):
        handler = NorviAPIHandler(KEY)
        assert handler.get_openai_data() == DEFAULT_DEPLOYMENTS["openai"][0]
        assert handler.get_azure_openai_data() == DEFAULT_DEPLOYMENTS["azure"][0]
        assert error_lines(caplog) == []
        first = DEFAULT_DEPLOYMENTS["azure"][0]
        out = capsys.readouterr().out
        assert out == "azureopenai_data: " + str(dict(first, api_key="***")) + "\n"
        assert first["api_key"] not in out

    def test_empty_lists(self, service, capsys, caplog):
        service.write_deployments({"azure": [], "openai": []})
        handler = NorviAPIHandler(KEY)
        assert handler.get_openai_data() is None
        assert error_lines(caplog) == []
        assert handler.get_azure_openai_data() is None
        [(logger, _, message)] = error_lines(caplog)
        assert logger == "root"
        assert message == GETTER_ERROR + "list index out of range"
        assert capsys.readouterr().out == ""

    @pytest.mark.parametrize(
        "status, body, reason",
        [
            (500, '{"error": "down"}', "500 Server Error"),
            (200, "<html>maintenance</html>", "Expecting value"),
        ],
    )
    def test_error_status_and_non_json_are_logged(self, stub_service, caplog, status, body, reason):
        stub = stub_service(status, body)
        handler = NorviAPIHandler(KEY)
        assert handler.get_openai_data() is None
        assert handler.get_azure_openai_data() is None
        messages = [message for _, _, message in error_lines(caplog)]
        assert len(messages) == 2
        assert all(m.startswith(GETTER_ERROR) and reason in m for m in messages)
        # Plain GETs: no body, no key anywhere in the request.
        assert [(method, path) for method, path, _, _ in stub.requests] == [
            ("GET", "/norvi/openais/"),
            ("GET", "/norvi/azure-openais/"),
        ]
        for _, path, headers, payload in stub.requests:
            assert payload == b""
            assert KEY not in path + json.dumps(headers)

    def test_unreachable_service_is_logged(self, closed_port_url, caplog, capsys):
        handler = NorviAPIHandler(KEY)
        assert handler.get_openai_data() is None
        assert handler.get_azure_openai_data() is None
        messages = [message for _, _, message in error_lines(caplog)]
        assert len(messages) == 2
        assert all(m.startswith(GETTER_ERROR) and "Connection refused" in m for m in messages)
        assert capsys.readouterr().out == ""

    def test_a_silent_service_times_out(self, silent_service, monkeypatch, caplog):
        monkeypatch.setenv("NORVIAI_SERVICE_TIMEOUT", "1")
        started = time.monotonic()
        assert NorviAPIHandler(KEY).get_azure_openai_data() is None
        assert time.monotonic() - started < 5
        [(_, _, message)] = error_lines(caplog)
        assert message.startswith(GETTER_ERROR) and "timed out" in message


class TestSendUserQuestion:
    def test_201_prints_success_and_returns_the_stored_record(self, service, capsys):
        answer = send_user_question(KEY, "How many orders?", 1234, 0.0185)
        assert capsys.readouterr().out == "Success at:Norvi1!.\n"
        [row] = service.stored()
        assert answer == {k: v for k, v in row.items() if k != "norvi_api_key"}
        assert (row["norvi_api_key"], row["query"], row["tokens"], row["total_cost"]) == (
            KEY,
            "How many orders?",
            1234,
            0.0185,
        )

    def test_the_report_body_and_headers(self, stub_service, capsys):
        stub = stub_service(201, '{"id": 7}')
        assert send_user_question(tokens=5, total_cost=0.25, query="q?", norvi_api_key=KEY) == {
            "id": 7
        }
        [(method, path, headers, payload)] = stub.requests
        assert (method, path) == ("POST", "/norvi/user_questions/")
        assert headers["Content-Type"] == "application/json"
        assert list(json.loads(payload).items()) == [
            ("norvi_api_key", KEY),
            ("query", "q?"),
            ("tokens", 5),
            ("total_cost", 0.25),
        ]
        assert capsys.readouterr().out == "Success at:Norvi1!.\n"

    @pytest.mark.parametrize("status", [200, 202, 500])
    def test_any_other_status_prints_failed(self, stub_service, capsys, status):
        stub_service(status, '{"id": 1}')
        assert send_user_question(KEY, "q", 1, 0.5) is None
        assert capsys.readouterr().out == FAILED

    def test_a_report_the_service_refuses(self, service, capsys):
        # The real service answers 400 to a negative token count.
        assert send_user_question(KEY, "q", -1, 0.5) is None
        assert capsys.readouterr().out == FAILED
        assert service.stored() == []

    def test_unreachable_service(self, closed_port_url, capsys):
        assert send_user_question(KEY, "q", 1, 0.5) is None
        assert capsys.readouterr().out == TRANSPORT_ERROR + "[Errno 111] Connection refused\n"

    def test_a_silent_service_times_out(self, silent_service, monkeypatch, capsys):
        monkeypatch.setenv("NORVIAI_SERVICE_TIMEOUT", "1")
        started = time.monotonic()
        assert send_user_question(KEY, "q", 1, 0.5) is None
        elapsed = time.monotonic() - started
        assert 0.9 <= elapsed < 5
        assert capsys.readouterr().out == TRANSPORT_ERROR + "timed out\n"

    @pytest.mark.parametrize("value", ["0", "-2", "soon", "nan", "30s"])
    def test_a_bad_time_out_setting_is_refused(self, service, monkeypatch, value):
        monkeypatch.setenv("NORVIAI_SERVICE_TIMEOUT", value)
        message = f"NORVIAI_SERVICE_TIMEOUT must be a positive number of seconds, got '{value}'"
        with pytest.raises(ValueError) as raised:
            send_user_question(KEY, "q", 1, 0.5)
        assert str(raised.value) == message
        assert service.stored() == []

    def test_a_201_that_is_not_json_raises(self, stub_service, capsys):
        stub_service(201, "created", "text/plain")
        with pytest.raises(json.JSONDecodeError):
            send_user_question(KEY, "q", 1, 0.5)
        assert capsys.readouterr().out == "Success at:Norvi1!.\n"

    def test_the_url_is_read_at_each_send(self, service, stub_service, monkeypatch, capsys):
        stub = stub_service(500, "{}")
        assert send_user_question(KEY, "first", 1, 0.5) is None
        monkeypatch.setenv("NORVIAI_SERVICE_URL", service.url + "/")
        assert send_user_question(KEY, "second", 2, 0.5)["query"] == "second"
        assert len(stub.requests) == 1
        assert [row["query"] for row in service.stored()] == ["second"]


def test_module_constants_and_logging_set_up_at_import(tmp_path):
    program = (
        "import logging\n"
        "from norviai import api\n"
        "print(api.base_url, api.default_model_url)\n"
        "print(logging.getLogger().level, logging.getLogger('httpx').level)\n"
    )
    outputs = []
    for url in [None, "http://vendor.test:9000/"]:
        env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)}
        if url:
            env["NORVIAI_SERVICE_URL"] = url
        done = subprocess.run(
            [sys.executable, "-c", program],
            capture_output=True,
            text=True,
            env=env,
            cwd=tmp_path,
            timeout=20,
            check=True,
        )
        outputs.append(done.stdout)
    info, warning = logging.INFO, logging.WARNING
    assert outputs == [
        "http://127.0.0.1:8731/ http://127.0.0.1:8731/norvi/get_default_model/\n"
        f"{info} {warning}\n",
        f"http://vendor.test:9000/ http://vendor.test:9000/norvi/get_default_model/\n"
        f"{info} {warning}\n",
    ]


class TestServiceToken:
    TOKEN = "svc-client-token-77a1"

    @pytest.fixture
    def vendor_service_token(self):
        return self.TOKEN

    def test_the_token_is_sent_on_every_call_when_set(self, service, monkeypatch, capsys, tmp_path):
        from norviai.agent import create_agent

        capsys.readouterr()  # the agent module's own lines at import
        handler = NorviAPIHandler(KEY)
        assert handler.get_openai_data() is None
        assert send_user_question(KEY, "q", 1, 0.5) is None
        assert capsys.readouterr().out == FAILED

        monkeypatch.setenv("NORVIAI_SERVICE_TOKEN", f" {self.TOKEN}\n")
        assert handler.get_openai_data() == DEFAULT_DEPLOYMENTS["openai"][0]
        assert send_user_question(KEY, "q", 1, 0.5)["query"] == "q"
        assert [row["query"] for row in service.stored()] == ["q"]
        database = tmp_path / "shop.sqlite3"
        sqlite3.connect(database).close()
        assert create_agent(KEY, "SQLite", str(database), None, None, None, None) is not None
        assert capsys.readouterr().out.endswith("Agent is Ready!\n")

    def test_a_token_a_header_cannot_carry_is_refused_unquoted(self, service, monkeypatch):
        monkeypatch.setenv("NORVIAI_SERVICE_TOKEN", "two\nlines")
        calls = [
            NorviAPIHandler(KEY).get_azure_openai_data,
            lambda: send_user_question(KEY, "q", 1, 0.5),
        ]
        for call in calls:
            with pytest.raises(ValueError) as raised:
                call()
            message = "NORVIAI_SERVICE_TOKEN must be printable ASCII without blanks"
            assert str(raised.value) == message
        assert service.stored() == []
