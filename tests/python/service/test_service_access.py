"""norviai-service answers only its own Host, JSON bodies and, when configured, its bearer token;
slow and oversized requests are cut off without holding up other clients."""

import http.client
import json
import socket
import subprocess
import threading
import time
from urllib.parse import urlsplit

import pytest
import requests

from support.pytest_vendor_service import DEFAULT_DEPLOYMENTS
from support.vendor_service import VendorService, service_binary

pytestmark = pytest.mark.timeout(60)

AZURE = "/norvi/azure-openais/"
QUESTIONS = "/norvi/user_questions/"
KEYS = [record["api_key"] for section in DEFAULT_DEPLOYMENTS.values() for record in section]
TOKEN = "svc-token-3b8e41d0"
LOOPBACK_HOST = ("Host", "127.0.0.1")


def report(query="How many orders?"):
    return {"norvi_api_key": "nv-user-1", "query": query, "tokens": 3, "total_cost": 0.5}


def address(service):
    parts = urlsplit(service.url)
    return parts.hostname, parts.port


def send(service, method, path, headers, body=b""):
    """One request with exactly these header lines, Host only if given: (status, headers, body)."""
    connection = http.client.HTTPConnection(*address(service), timeout=10)
    try:
        connection.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
        for name, value in headers:
            connection.putheader(name, value)
        if body:
            connection.putheader("Content-Length", str(len(body)))
        connection.endheaders(body or None)
        response = connection.getresponse()
        return response.status, response.headers, response.read()
    finally:
        connection.close()


def assert_no_key(body):
    assert not any(key.encode() in body for key in KEYS)


def test_only_hosts_naming_the_service_are_answered(tmp_path):
    extra = ["--allowed-host", "Norvi.Example"]
    with VendorService(None, DEFAULT_DEPLOYMENTS, tmp_path, extra_args=extra) as service:
        port = address(service)[1]
        expected = {
            f"127.0.0.1:{port}": 200,
            "127.0.0.1": 200,
            f"localhost:{port}": 200,
            "LocalHost": 200,
            "norvi.example": 200,
            f"NORVI.example:{port}": 200,
            # A rebinding page's own name, whatever address it resolves to.
            "attacker.test": 421,
            f"attacker.test:{port}": 421,
            "norvi.example.attacker.test": 421,
            "127.0.0.1.nip.io": 421,
            f"127.0.0.1:{port + 1}": 421,
            f"localhost:{port}0": 421,
            "": 421,
        }
        answered = {}
        for host, status in expected.items():
            answered[host], _, body = send(service, "GET", AZURE, [("Host", host)])
            if status != 200:
                assert_no_key(body)
                assert json.loads(body) == {"error": "the Host header does not name this service"}
        assert answered == expected

        assert send(service, "GET", AZURE, [])[0] == 421
        assert send(service, "GET", AZURE, [LOOPBACK_HOST, ("Host", "attacker.test")])[0] == 421
        forged_post = [("Host", "attacker.test"), ("Content-Type", "application/json")]
        body = json.dumps(report()).encode()
        assert send(service, "POST", QUESTIONS, forged_post, body)[0] == 421
        assert service.stored() == []


def test_only_json_bodies_are_taken(vendor_service):
    body = json.dumps(report()).encode()
    expected = {
        None: 415,
        "text/plain": 415,
        "text/plain; charset=utf-8": 415,
        "application/x-www-form-urlencoded": 415,
        "multipart/form-data; boundary=x": 415,
        "application/json-patch+json": 415,
        "application/json": 201,
        "Application/JSON ; charset=utf-8": 201,
    }
    answered = {}
    for content_type, status in expected.items():
        headers = [LOOPBACK_HOST] + ([("Content-Type", content_type)] if content_type else [])
        answered[content_type], _, reply = send(vendor_service, "POST", QUESTIONS, headers, body)
        if status == 415:
            assert json.loads(reply) == {"error": "the request body must be application/json"}
    assert answered == expected
    # What a page's form submits, through a real client.
    form = requests.post(vendor_service.url + QUESTIONS, data=report(), timeout=10)
    assert form.status_code == 415
    assert len(vendor_service.stored()) == 2


def test_with_a_token_file_only_the_token_is_answered(tmp_path):
    with VendorService(None, DEFAULT_DEPLOYMENTS, tmp_path, token=TOKEN) as service:
        expected = {
            None: 401,
            "Bearer": 401,
            "Bearer wrong": 401,
            f"Bearer {TOKEN[:-1]}": 401,
            f"Bearer {TOKEN}x": 401,
            f"Basic {TOKEN}": 401,
            TOKEN: 401,
            f"Bearer {TOKEN}": 200,
            f"bearer  {TOKEN}": 200,
        }
        answered = {}
        for authorization, status in expected.items():
            given = [("Authorization", authorization)] if authorization else []
            headers = [LOOPBACK_HOST] + given
            answered[authorization], reply_headers, body = send(service, "GET", AZURE, headers)
            if status == 401:
                assert reply_headers["WWW-Authenticate"] == "Bearer"
                assert_no_key(body)
        assert answered == expected

        bearer = ("Authorization", f"Bearer {TOKEN}")
        assert send(service, "GET", AZURE, [("Host", "attacker.test"), bearer])[0] == 421
        json_body = [LOOPBACK_HOST, ("Content-Type", "application/json")]
        body = json.dumps(report()).encode()
        assert send(service, "POST", QUESTIONS, json_body, body)[0] == 401
        assert send(service, "POST", QUESTIONS, json_body + [bearer], body)[0] == 201
        assert len(service.stored()) == 1
        assert service.stop() == 0
        assert TOKEN not in service.stderr_text()


@pytest.mark.parametrize(
    "content, message",
    [
        (None, "cannot read token file"),
        (" \n", "is empty"),
        ("svc token\n", "must hold one token of printable ASCII without blanks"),
    ],
)
def test_an_unusable_token_file_exits_1(tmp_path, content, message):
    deployments = tmp_path / "deployments.json"
    deployments.write_text("{}")
    token_file = tmp_path / "token"
    if content is not None:
        token_file.write_text(content)
    args = ["--deployments", str(deployments), "--db", str(tmp_path / "u.db")]
    result = subprocess.run(
        [service_binary(), *args, "--token-file", str(token_file)],
        capture_output=True,
        text=True,
        timeout=10,
        check=False,
    )
    assert result.returncode == 1
    [line] = result.stderr.splitlines()
    assert message in line and str(token_file) in line
    assert "svc token" not in line


def test_slow_clients_are_cut_off_while_others_are_answered(vendor_service):
    # Eight, the size of the library's default worker pool on a small machine: six send their
    # head, two their body, one line or byte every 2 s.
    head = f"GET {AZURE} HTTP/1.1\r\nHost: 127.0.0.1\r\n".encode()
    post = (
        f"POST {QUESTIONS} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
        "Content-Length: 100\r\n\r\n"
    ).encode()
    slow = [(head, b"X-Slow: 1\r\n")] * 6 + [(post, b" ")] * 2
    sockets = []
    stop = threading.Event()

    def drip():
        while not stop.wait(2):
            for connection, (_, more) in zip(sockets, slow):
                try:
                    connection.sendall(more)
                except OSError:
                    pass  # cut off by the service

    started = time.monotonic()
    try:
        for first, _ in slow:
            sockets.append(socket.create_connection(address(vendor_service), timeout=20))
            sockets[-1].sendall(first)
        dripper = threading.Thread(target=drip, daemon=True)
        dripper.start()
        for _ in range(3):
            before = time.monotonic()
            assert requests.get(vendor_service.url + AZURE, timeout=5).status_code == 200
            assert time.monotonic() - before < 2
            time.sleep(1)

        for connection in sockets:
            reply = b""
            try:
                while chunk := connection.recv(4096):
                    reply += chunk
            except ConnectionResetError:
                pass
            assert not reply.startswith(b"HTTP/1.1 2")
        # The time to read a request is 10 s; well before the 20 s the sockets would wait.
        assert time.monotonic() - started < 16
        assert requests.get(vendor_service.url + AZURE, timeout=5).status_code == 200
    finally:
        stop.set()
        for connection in sockets:
            connection.close()


def post_streamed(service, path, body, chunked):
    """POST body (chunked or with its length) from one thread while the answer is read on this one;
    returns (status, answer, whether all of the body went out)."""
    connection = socket.create_connection(address(service), timeout=20)
    framing = "Transfer-Encoding: chunked" if chunked else f"Content-Length: {len(body)}"
    head = f"POST {path} HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
    sent_all = []

    def pump():
        try:
            connection.sendall((head + framing + "\r\n\r\n").encode())
            step = 1 << 16
            for start in range(0, len(body), step):
                piece = body[start : start + step]
                connection.sendall(b"%x\r\n%s\r\n" % (len(piece), piece) if chunked else piece)
            connection.sendall(b"0\r\n\r\n" if chunked else b"")
            sent_all.append(True)
        except OSError:
            sent_all.append(False)

    sender = threading.Thread(target=pump)
    sender.start()
    try:
        response = http.client.HTTPResponse(connection)
        response.begin()
        answer = response.read()
    finally:
        sender.join(20)
        connection.close()
    return response.status, answer, sent_all == [True]


MIB = 1 << 20


@pytest.mark.parametrize(
    "path, body, chunked, status, stored, sent_all",
    [
        (QUESTIONS, json.dumps(report("q" * 3 * MIB)).encode(), True, 201, 1, True),
        (QUESTIONS, json.dumps(report("q" * 5 * MIB)).encode(), True, 413, 0, None),
        (QUESTIONS, json.dumps(report("q" * 5 * MIB)).encode(), False, 413, 0, None),
        # A route that takes no body still stops reading one.
        (AZURE, b"x" * 40 * MIB, True, 400, 0, False),
    ],
    ids=["chunked-3MiB", "chunked-5MiB", "length-5MiB", "chunked-40MiB-elsewhere"],
)
def test_bodies_over_4_mib_are_refused_however_framed(
    vendor_service, path, body, chunked, status, stored, sent_all
):
    answered, answer, all_out = post_streamed(vendor_service, path, body, chunked)
    assert answered == status
    if status == 413:
        assert json.loads(answer) == {"error": "request body too large"}
    if sent_all is not None:
        assert all_out == sent_all
    rows = vendor_service.stored()
    assert len(rows) == stored
    assert [len(row["query"]) for row in rows] == [3 * MIB] * stored
