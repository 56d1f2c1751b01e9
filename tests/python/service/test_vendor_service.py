"""norviai-service over real HTTP: deployments, usage reports, errors, logging, process life."""

import json
import re
import signal
import socket
import subprocess
import threading
from datetime import datetime, timedelta, timezone

import httpx
import pytest
import requests

from support.pytest_vendor_service import DEFAULT_DEPLOYMENTS
from support.vendor_service import VendorService, service_binary

pytestmark = pytest.mark.timeout(60)

AZURE = "/norvi/azure-openais/"
OPENAI = "/norvi/openais/"
QUESTIONS = "/norvi/user_questions/"
SECRET = "nv-secret-7f3a9c"


def report(**overrides):
    body = {"norvi_api_key": SECRET, "query": "How many orders?", "tokens": 42, "total_cost": 0.5}
    body.update(overrides)
    return body


def get_json(client, url):
    """GET through either client library; returns (status, decoded body)."""
    if client == "requests":
        response = requests.get(url, timeout=10)
    else:
        response = httpx.get(url, timeout=10)
    return response.status_code, response.json()


def post_json(client, url, body):
    if client == "requests":
        response = requests.post(url, json=body, timeout=10)
    else:
        response = httpx.post(url, json=body, timeout=10)
    return response.status_code, response.json()


def run_service(*args, timeout=10):
    return subprocess.run(
        [service_binary(), *args], capture_output=True, text=True, timeout=timeout, check=False
    )


@pytest.fixture(params=["requests", "httpx"])
def client(request):
    return request.param


class TestDeployments:
    def test_records_are_served_unchanged_in_file_order(self, vendor_service, client):
        assert get_json(client, vendor_service.url + AZURE) == (200, DEFAULT_DEPLOYMENTS["azure"])
        assert get_json(client, vendor_service.url + OPENAI) == (200, DEFAULT_DEPLOYMENTS["openai"])
        # Member order inside a record survives too, not only the values.
        response = requests.get(vendor_service.url + AZURE, timeout=10)
        assert list(json.loads(response.text)[0]) == list(DEFAULT_DEPLOYMENTS["azure"][0])
        assert response.headers["Content-Type"].startswith("application/json")

    def test_a_missing_section_is_an_empty_list(self, vendor_service, client):
        vendor_service.write_deployments({"azure": DEFAULT_DEPLOYMENTS["azure"]})
        assert get_json(client, vendor_service.url + OPENAI) == (200, [])
        vendor_service.write_deployments({})
        assert get_json(client, vendor_service.url + AZURE) == (200, [])

    def test_edits_apply_without_restart(self, vendor_service, client):
        edited = {
            "azure": [dict(DEFAULT_DEPLOYMENTS["azure"][1], deployment_name="renamed")],
            "openai": [{"model_name": "gpt-4o-mini", "temperature": 0.25, "api_key": "k2"}],
        }
        vendor_service.write_deployments(edited)
        assert get_json(client, vendor_service.url + AZURE) == (200, edited["azure"])
        assert get_json(client, vendor_service.url + OPENAI) == (200, edited["openai"])

    def test_a_broken_edit_is_a_500_without_the_files_content_then_recovers(self, vendor_service):
        vendor_service.write_deployments('{"azure": [{"api_key": "' + SECRET + '"')
        response = requests.get(vendor_service.url + AZURE, timeout=10)
        assert response.status_code == 500
        error = response.json()["error"]
        assert "deployments file" in error and "not valid JSON" in error
        assert SECRET not in error
        vendor_service.write_deployments({"azure": [], "openai": "not a list"})
        response = requests.get(vendor_service.url + OPENAI, timeout=10)
        assert response.status_code == 500
        assert '"openai" must be an array' in response.json()["error"]
        vendor_service.write_deployments(DEFAULT_DEPLOYMENTS)
        assert get_json("requests", vendor_service.url + AZURE) == (
            200,
            DEFAULT_DEPLOYMENTS["azure"],
        )


class TestUsageReports:
    def test_a_report_is_stored_and_answered_without_the_key(self, vendor_service, client):
        before = datetime.now(timezone.utc)
        status, answer = post_json(client, vendor_service.url + QUESTIONS, report(query="Ünïcode?"))
        assert status == 201
        assert set(answer) == {"id", "query", "tokens", "total_cost", "created_at"}
        assert (answer["query"], answer["tokens"], answer["total_cost"]) == ("Ünïcode?", 42, 0.5)
        created = datetime.fromisoformat(answer["created_at"])
        assert created.utcoffset() == timedelta(0)
        assert before - timedelta(seconds=1) <= created <= datetime.now(timezone.utc)

        [row] = vendor_service.stored()
        assert row == dict(answer, norvi_api_key=SECRET)
        assert get_json(client, vendor_service.url + QUESTIONS) == (200, [answer])

    def test_ids_increase_and_integer_costs_are_accepted(self, vendor_service):
        first = post_json("requests", vendor_service.url + QUESTIONS, report(total_cost=0))
        second = post_json("httpx", vendor_service.url + QUESTIONS, report(tokens=0))
        assert first[0] == second[0] == 201
        assert second[1]["id"] > first[1]["id"]
        assert [row["id"] for row in vendor_service.stored()] == [first[1]["id"], second[1]["id"]]

    @pytest.mark.parametrize(
        "body, expected",
        [
            ("tokens=3&query=x", "not valid JSON"),
            ("", "not valid JSON"),
            ('{"norvi_api_key": "' + SECRET + '", "query": ', "not valid JSON"),
            ("[1, 2]", "must be a JSON object"),
            ('"text"', "must be a JSON object"),
            (json.dumps(report(query=None)), '"query" must be a string'),
            (json.dumps(report(norvi_api_key=7)), '"norvi_api_key" must be a string'),
            (json.dumps(report(tokens="42")), '"tokens" must be a non-negative integer'),
            (json.dumps(report(tokens=4.5)), '"tokens" must be a non-negative integer'),
            (json.dumps(report(tokens=True)), '"tokens" must be a non-negative integer'),
            (json.dumps(report(tokens=-1)), '"tokens" must be a non-negative integer'),
            (json.dumps(report(total_cost="0.5")), '"total_cost" must be a non-negative number'),
            (json.dumps(report(total_cost=-0.5)), '"total_cost" must be a non-negative number'),
        ],
    )
    def test_bad_bodies_are_400_and_store_nothing(self, vendor_service, body, expected):
        response = requests.post(
            vendor_service.url + QUESTIONS,
            data=body.encode(),
            headers={"Content-Type": "application/json"},
            timeout=10,
        )
        assert response.status_code == 400
        error = response.json()["error"]
        assert expected in error
        assert SECRET not in error
        assert vendor_service.stored() == []

    def test_every_missing_member_is_named(self, vendor_service, client):
        status, answer = post_json(client, vendor_service.url + QUESTIONS, {"query": "q"})
        assert status == 400
        for name in ("norvi_api_key", "tokens", "total_cost"):
            assert f'missing member "{name}"' in answer["error"]
        assert "query" not in answer["error"]

    def test_concurrent_reports_are_all_stored(self, vendor_service):
        count = 20
        barrier = threading.Barrier(count)
        answers, failures = [], []

        def post(index):
            try:
                barrier.wait(10)
                with requests.Session() as session:
                    response = session.post(
                        vendor_service.url + QUESTIONS, json=report(tokens=index), timeout=20
                    )
                answers.append((response.status_code, response.json()))
            except Exception as error:  # reported below with the thread's index
                failures.append((index, repr(error)))

        threads = [threading.Thread(target=post, args=(i,)) for i in range(count)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(30)
        assert failures == []
        assert sorted(status for status, _ in answers) == [201] * count
        stored = vendor_service.stored()
        assert sorted(row["tokens"] for row in stored) == list(range(count))
        assert len({row["id"] for row in stored}) == count
        assert {answer["id"] for _, answer in answers} == {row["id"] for row in stored}

    def test_reports_survive_a_restart(self, vendor_service, tmp_path):
        first = post_json("requests", vendor_service.url + QUESTIONS, report())[1]
        assert vendor_service.stop() == 0
        folder = vendor_service.db_path.parent
        with VendorService(None, DEFAULT_DEPLOYMENTS, folder) as again:
            second = post_json("requests", again.url + QUESTIONS, report(tokens=7))[1]
            assert get_json("requests", again.url + QUESTIONS) == (200, [first, second])


class TestRouting:
    @pytest.mark.parametrize("path", ["/", "/norvi/", "/norvi/openais", "/norvi/unknown/"])
    def test_unknown_paths_are_404_json(self, vendor_service, client, path):
        assert get_json(client, vendor_service.url + path) == (404, {"error": "not found"})

    @pytest.mark.parametrize(
        "method, path, allow",
        [
            ("POST", AZURE, "GET"),
            ("PUT", OPENAI, "GET"),
            ("DELETE", QUESTIONS, "GET, POST"),
            ("PATCH", QUESTIONS, "GET, POST"),
        ],
    )
    def test_wrong_methods_on_known_paths_are_405(self, vendor_service, method, path, allow):
        response = httpx.request(method, vendor_service.url + path, json={}, timeout=10)
        assert response.status_code == 405
        assert response.headers["Allow"] == allow
        assert response.json() == {"error": "method not allowed"}
        assert vendor_service.stored() == []


class TestLogging:
    def test_access_log_has_one_line_per_request_and_never_a_key(self, vendor_service):
        url = vendor_service.url
        requests.get(url + AZURE, timeout=10)
        requests.get(url + OPENAI + "?api_key=" + SECRET, headers={"api-key": SECRET}, timeout=10)
        requests.post(url + QUESTIONS, json=report(), headers={"Authorization": SECRET}, timeout=10)
        requests.post(
            url + QUESTIONS,
            data='{"norvi_api_key": "' + SECRET + '"',
            headers={"Content-Type": "application/json"},
            timeout=10,
        )
        requests.get(url + "/no/%0Aforged 200", timeout=10)
        vendor_service.write_deployments('{"azure": [{"api_key": "' + SECRET + '"}')
        requests.get(url + AZURE, timeout=10)
        assert vendor_service.stop() == 0

        log = vendor_service.stderr_text()
        for secret in [SECRET] + [r["api_key"] for r in DEFAULT_DEPLOYMENTS["azure"]]:
            assert secret not in log
        lines = log.splitlines()
        access = [line.split(" ", 1)[1] for line in lines if re.match(r"\S+Z [A-Z]+ /", line)]
        assert access == [
            f"GET {AZURE} 200",
            f"GET {OPENAI} 200",
            f"POST {QUESTIONS} 201",
            f"POST {QUESTIONS} 400",
            "GET /no/?forged 200 404",
            f"GET {AZURE} 500",
        ]
        assert not any(line.startswith("forged") for line in lines)
        assert any("is not valid JSON" in line for line in lines)


class TestCommandLine:
    @pytest.mark.parametrize(
        "args, message",
        [
            ([], "--deployments FILE is required"),
            (["--deployments", "d.json"], "--db FILE is required"),
            (["--deployments", "d.json", "--db", "u.db", "--port", "http"], "--port must be"),
            (["--deployments", "d.json", "--db", "u.db", "--port", "70000"], "--port must be"),
            (["--deployments", "d.json", "--db", "u.db", "--verbose"], "unknown argument"),
            (["--deployments"], "--deployments needs a value"),
        ],
    )
    def test_bad_arguments_exit_2_with_usage(self, args, message):
        result = run_service(*args)
        assert result.returncode == 2
        assert message in result.stderr
        assert "usage: norviai-service --deployments FILE --db FILE" in result.stderr
        assert result.stdout == ""

    def test_help_prints_usage_and_exits_0(self):
        result = run_service("--help")
        assert result.returncode == 0
        assert result.stdout.startswith("usage: norviai-service")
        assert "--token-file FILE" in result.stdout and "--allowed-host NAME" in result.stdout

    @pytest.mark.parametrize(
        "content, message",
        [
            (None, "cannot read deployments file"),
            ('{"azure": [', "is not valid JSON (line 1, column 12)"),
            ("[]", "must hold a JSON object"),
            ('{"azure": {}}', '"azure" must be an array of records'),
            ('{"azure": [1]}', '"azure" entry 0 must be a JSON object'),
        ],
    )
    def test_bad_deployments_file_exits_1_with_one_line(self, tmp_path, content, message):
        path = tmp_path / "deployments.json"
        if content is not None:
            path.write_text(content)
        result = run_service("--deployments", str(path), "--db", str(tmp_path / "u.db"))
        assert result.returncode == 1
        assert len(result.stderr.splitlines()) == 1
        assert message in result.stderr and str(path) in result.stderr
        assert result.stdout == ""

    def test_unusable_database_exits_1(self, tmp_path):
        deployments = tmp_path / "deployments.json"
        deployments.write_text("{}")
        not_a_db = tmp_path / "u.db"
        not_a_db.write_text("plain text, not SQLite " * 100)
        for db in (tmp_path / "missing" / "u.db", not_a_db):
            result = run_service("--deployments", str(deployments), "--db", str(db))
            assert result.returncode == 1
            assert str(db) in result.stderr
            assert len(result.stderr.splitlines()) == 1

    def test_port_in_use_exits_1(self, tmp_path):
        deployments = tmp_path / "deployments.json"
        deployments.write_text("{}")
        with socket.socket() as taken:
            taken.bind(("127.0.0.1", 0))
            taken.listen()
            port = taken.getsockname()[1]
            result = run_service(
                "--deployments",
                str(deployments),
                "--db",
                str(tmp_path / "u.db"),
                "--port",
                str(port),
            )
        assert result.returncode == 1
        assert f"cannot listen on 127.0.0.1:{port}" in result.stderr
        assert result.stdout == ""

    @pytest.mark.parametrize("stop_signal", [signal.SIGTERM, signal.SIGINT])
    def test_stop_signals_exit_0(self, vendor_service, stop_signal):
        # With a kept-alive connection open, as the client libraries leave them.
        with requests.Session() as session:
            assert session.get(vendor_service.url + AZURE, timeout=10).status_code == 200
            vendor_service.process.send_signal(stop_signal)
            assert vendor_service.process.wait(10) == 0

    def test_listening_line_names_the_bound_port(self, vendor_service):
        assert vendor_service.url.startswith("http://127.0.0.1:")
        assert int(vendor_service.url.rsplit(":", 1)[1]) > 0
