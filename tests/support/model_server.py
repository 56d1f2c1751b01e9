"""A scripted chat-completions server on a loopback port.

The real openai clients and langchain talk to it over HTTP, in both URL flavours:
Azure ``POST /openai/deployments/<deployment>/chat/completions?api-version=...`` with ``api-key``,
and OpenAI ``POST <prefix>/chat/completions`` with ``Authorization: Bearer <key>``.

Every request is recorded. Each one is answered from the script, first match wins:

1. the FIFO of one-shot replies (``enqueue``);
2. the per-tool scripts (``on_tool``), by the name of the tool the request forces;
3. the responder (``respond_with``), a function of the request;
4. otherwise HTTP 500 saying nothing matched, with ``x-should-retry: false`` so that the
   client fails at once instead of repeating a request the script cannot answer.

Handlers run in their own threads, so a delayed reply does not hold up other requests, and
``stop()`` wakes delayed handlers and closes open connections so it never waits on a client.
"""

from __future__ import annotations

import itertools
import json
import re
import socket
import socketserver
import sys
import threading
import time
import traceback
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Iterable, Mapping, Optional, Union
from urllib.parse import parse_qsl, urlsplit

DEFAULT_MODEL = "gpt-35-turbo"

_AZURE_PATH = re.compile(r"^/openai/deployments/(?P<deployment>[^/]+)/chat/completions/?$")
_OPENAI_PATH = re.compile(r"^(?:/[^/]+)*/chat/completions/?$")


@dataclass(frozen=True)
class ToolCall:
    name: str
    arguments: Union[Mapping[str, Any], str]  # a text is sent as it is, JSON or not
    call_id: Optional[str] = None


@dataclass(frozen=True)
class Reply:
    """One scripted answer. Build it with the constructors below rather than directly."""

    kind: str  # "message", "fault", "delay", "cut", "not_json"
    content: Optional[str] = None
    tool_calls: tuple[ToolCall, ...] = ()
    usage: Optional[Mapping[str, int]] = None
    model: Optional[str] = None
    status: int = 200
    body: Any = None
    headers: Mapping[str, str] = field(default_factory=dict)
    content_type: str = "application/json"
    seconds: float = 0.0
    then: Optional["Reply"] = None
    finish_reason: Optional[str] = None  # the default follows the message


def text_reply(
    content: str, *, usage: Optional[Mapping[str, int]] = None, model: Optional[str] = None
) -> Reply:
    return Reply("message", content=content, usage=usage, model=model)


def tool_call_reply(
    name: str,
    arguments: Mapping[str, Any],
    call_id: Optional[str] = None,
    *,
    content: Optional[str] = None,
    usage: Optional[Mapping[str, int]] = None,
    model: Optional[str] = None,
) -> Reply:
    return tool_calls_reply([(name, arguments, call_id)], content=content, usage=usage, model=model)


def tool_calls_reply(
    calls: Iterable[tuple],
    *,
    content: Optional[str] = None,
    usage: Optional[Mapping[str, int]] = None,
    model: Optional[str] = None,
) -> Reply:
    """Several tool calls in one message; each entry is (name, arguments[, call_id])."""
    tool_calls = tuple(ToolCall(*call) for call in calls)
    if not tool_calls:
        raise ValueError("tool_calls_reply needs at least one call")
    return Reply("message", content=content, tool_calls=tool_calls, usage=usage, model=model)


def no_tool_calls(
    content: str, *, usage: Optional[Mapping[str, int]] = None, model: Optional[str] = None
) -> Reply:
    """A plain message, whatever tool the request forced (models do ignore tool_choice)."""
    return text_reply(content, usage=usage, model=model)


def raw_tool_call(name: str, arguments: str, *, finish_reason: str = "tool_calls") -> Reply:
    """A tool call whose arguments text is sent as written (cut, not JSON, wrong fields)."""
    return Reply("message", tool_calls=(ToolCall(name, arguments),), finish_reason=finish_reason)


def cut_by_length(content: str = "") -> Reply:
    """A reply the length limit stopped: finish_reason "length", no tool call."""
    return Reply("message", content=content, finish_reason="length")


def fault(
    status: int = 500,
    body: Any = None,
    retry_after: Optional[float] = None,
    headers: Optional[Mapping[str, str]] = None,
) -> Reply:
    """An error status. ``body`` may be JSON-able or text; the default is an API-style error."""
    if body is None:
        body = {
            "error": {
                "message": f"Injected fault with status {status}",
                "type": "server_error" if status >= 500 else "invalid_request_error",
                "param": None,
                "code": str(status),
            }
        }
    all_headers = dict(headers or {})
    if retry_after is not None:
        all_headers["Retry-After"] = _format_seconds(retry_after)
    return Reply("fault", status=status, body=body, headers=all_headers)


def delay(seconds: float, then: Optional[Reply] = None) -> Reply:
    """Wait, then answer with ``then``; without it, with what the rest of the script says
    (per-tool scripts, then the responder)."""
    return Reply("delay", seconds=seconds, then=then)


def cut_connection() -> Reply:
    """Close the socket without answering."""
    return Reply("cut")


def not_json(
    status: int = 200,
    body: str = "<html><body>Bad gateway</body></html>",
    content_type: str = "text/html",
) -> Reply:
    return Reply("not_json", status=status, body=body, content_type=content_type)


ScriptEntry = Union[Reply, Mapping[str, Any], Callable[["RecordedRequest"], Any]]


@dataclass
class RecordedRequest:
    index: int
    method: str
    path: str
    query: dict[str, str]
    headers: dict[str, str]
    flavour: Optional[str]  # "azure", "openai", or None for a path we do not serve
    deployment: Optional[str]
    body: Any
    raw_body: bytes
    received_at: float  # time.monotonic()

    def _body(self) -> dict:
        return self.body if isinstance(self.body, dict) else {}

    @property
    def messages(self) -> list[dict]:
        return list(self._body().get("messages") or [])

    @property
    def tools(self) -> list[dict]:
        return list(self._body().get("tools") or [])

    @property
    def tool_names(self) -> list[str]:
        return [tool.get("function", {}).get("name") for tool in self.tools]

    @property
    def forced_tool(self) -> Optional[str]:
        body = self._body()
        choice = body.get("tool_choice")
        if isinstance(choice, dict):
            return (choice.get("function") or {}).get("name") or choice.get("name")
        legacy = body.get("function_call")
        if isinstance(legacy, dict):
            return legacy.get("name")
        return None

    @property
    def model(self) -> Optional[str]:
        return self._body().get("model")

    @property
    def api_key(self) -> Optional[str]:
        if "api-key" in self.headers:
            return self.headers["api-key"]
        authorization = self.headers.get("authorization", "")
        if authorization.lower().startswith("bearer "):
            return authorization[len("bearer ") :]
        return None


class _ToolScript:
    def __init__(self, entries: tuple[ScriptEntry, ...]):
        self.entries = list(entries)
        self.position = 0

    def next(self) -> ScriptEntry:
        entry = self.entries[min(self.position, len(self.entries) - 1)]
        self.position += 1
        return entry


class ModelServer:
    """Start with ``start()`` or ``with ModelServer() as server:``."""

    def __init__(self, *, model: str = DEFAULT_MODEL, api_key: Optional[str] = None):
        # With api_key set, requests carrying another key get 401; otherwise any key passes.
        self.model = model
        self.api_key = api_key
        self._lock = threading.Lock()
        self._requests: list[RecordedRequest] = []
        self._queue: list[ScriptEntry] = []
        self._tool_scripts: dict[str, _ToolScript] = {}
        self._responder: Optional[Callable[[RecordedRequest], Optional[Reply]]] = None
        self._errors: list[str] = []
        self._ids = itertools.count(1)
        self._stopping = threading.Event()
        self._connections: set[socket.socket] = set()
        self._handler_threads: list[threading.Thread] = []
        self._httpd: Optional[_Server] = None
        self._serve_thread: Optional[threading.Thread] = None

    # -- lifecycle ---------------------------------------------------------------------------

    def start(self) -> "ModelServer":
        if self._httpd is not None:
            raise RuntimeError("the model server is already running")
        self._stopping.clear()
        self._httpd = _Server(("127.0.0.1", 0), _Handler, self)
        self._serve_thread = threading.Thread(
            target=self._httpd.serve_forever,
            kwargs={"poll_interval": 0.05},
            name="model-server",
            daemon=True,
        )
        self._serve_thread.start()
        return self

    def stop(self, timeout: float = 5.0) -> None:
        httpd = self._httpd
        if httpd is None:
            return
        self._stopping.set()
        httpd.shutdown()
        httpd.server_close()
        with self._lock:
            connections = list(self._connections)
            threads = list(self._handler_threads)
        # Handlers blocked reading a keep-alive connection only wake when it closes.
        for connection in connections:
            _shutdown_quietly(connection)
        deadline = time.monotonic() + timeout
        for thread in threads:
            thread.join(max(0.0, deadline - time.monotonic()))
        self._serve_thread.join(max(0.0, deadline - time.monotonic()))
        self._httpd = None

    def __enter__(self) -> "ModelServer":
        return self.start()

    def __exit__(self, *exc_info) -> None:
        self.stop()

    @property
    def port(self) -> int:
        if self._httpd is None:
            raise RuntimeError("the model server is not running")
        return self._httpd.server_address[1]

    @property
    def base_url(self) -> str:
        return f"http://127.0.0.1:{self.port}"

    @property
    def openai_base_url(self) -> str:
        return self.base_url + "/v1"

    # -- recording ---------------------------------------------------------------------------

    @property
    def requests(self) -> list[RecordedRequest]:
        with self._lock:
            return list(self._requests)

    @property
    def last_request(self) -> RecordedRequest:
        with self._lock:
            if not self._requests:
                raise LookupError("the model server has received no request")
            return self._requests[-1]

    @property
    def errors(self) -> list[str]:
        """Tracebacks of script callables that raised (answered with a 500) and of answers that
        broke off; the pytest fixture fails the test when there are any."""
        with self._lock:
            return list(self._errors)

    @property
    def queued(self) -> int:
        with self._lock:
            return len(self._queue)

    def clear(self) -> None:
        """Forget the recorded requests; the script stays."""
        with self._lock:
            self._requests.clear()

    def reset(self) -> None:
        """Forget the recorded requests and the whole script."""
        with self._lock:
            self._requests.clear()
            self._queue.clear()
            self._tool_scripts.clear()
            self._responder = None
            self._errors.clear()

    # -- scripting ---------------------------------------------------------------------------

    def enqueue(self, *replies: Union[Reply, Callable[[RecordedRequest], Any]]) -> None:
        """One-shot replies, used in call order before any other script."""
        with self._lock:
            self._queue.extend(replies)

    def on_tool(self, name: str, *replies: ScriptEntry) -> None:
        """Answer requests forcing tool ``name``: replies in order, the last one repeating.

        A reply is a dict of arguments (a call of ``name``), a Reply, or a callable of the
        request returning either (or None to fall through to the responder).
        """
        if not replies:
            raise ValueError("on_tool needs at least one reply")
        with self._lock:
            self._tool_scripts[name] = _ToolScript(replies)

    def respond_with(self, responder: Optional[Callable[[RecordedRequest], Optional[Reply]]]):
        with self._lock:
            self._responder = responder

    # -- answering ---------------------------------------------------------------------------

    def _record(self, handler: "_Handler") -> RecordedRequest:
        url = urlsplit(handler.path)
        length = int(handler.headers.get("Content-Length") or 0)
        raw_body = handler.rfile.read(length) if length else b""
        try:
            body = json.loads(raw_body) if raw_body else None
        except ValueError:
            body = None
        flavour = deployment = None
        azure = _AZURE_PATH.match(url.path)
        if azure:
            flavour, deployment = "azure", azure.group("deployment")
        elif _OPENAI_PATH.match(url.path):
            flavour = "openai"
        with self._lock:
            request = RecordedRequest(
                index=len(self._requests),
                method=handler.command,
                path=url.path,
                query=dict(parse_qsl(url.query, keep_blank_values=True)),
                headers={key.lower(): value for key, value in handler.headers.items()},
                flavour=flavour,
                deployment=deployment,
                body=body,
                raw_body=raw_body,
                received_at=time.monotonic(),
            )
            self._requests.append(request)
        return request

    def _handle(self, handler: "_Handler") -> None:
        request = self._record(handler)
        if request.method != "POST" or request.flavour is None:
            self._send_json(
                handler, 404, _error_body(f"no route for {request.method} {request.path}")
            )
            return
        if self.api_key is not None and request.api_key != self.api_key:
            self._send_json(handler, 401, _error_body("Access denied: invalid API key", "401"))
            return
        if not isinstance(request.body, dict):
            self._send_json(handler, 400, _error_body("request body is not a JSON object", "400"))
            return
        try:
            reply = self._choose(request, include_queue=True)
        except Exception:
            self._script_failed(handler, request)
            return
        self._perform(handler, request, reply)

    def _choose(self, request: RecordedRequest, include_queue: bool) -> Optional[Reply]:
        reply = None
        if include_queue:
            with self._lock:
                queued = self._queue.pop(0) if self._queue else None
            reply = queued(request) if callable(queued) else queued
        if reply is None:
            with self._lock:
                script = self._tool_scripts.get(request.forced_tool or "")
                entry = script.next() if script is not None else None
            if entry is not None:
                reply = self._from_tool_entry(request.forced_tool, entry, request)
        if reply is None:
            with self._lock:
                responder = self._responder
            reply = responder(request) if responder is not None else None
        if reply is not None and not isinstance(reply, Reply):
            raise TypeError(f"a script produced {type(reply).__name__}, not a Reply")
        return reply

    @staticmethod
    def _from_tool_entry(name: str, entry: ScriptEntry, request: RecordedRequest):
        if callable(entry) and not isinstance(entry, Reply):
            entry = entry(request)
        if entry is None or isinstance(entry, Reply):
            return entry
        if isinstance(entry, Mapping):
            return tool_call_reply(name, entry)
        raise TypeError(f"a tool script for {name!r} produced {type(entry).__name__}")

    def _perform(self, handler: "_Handler", request: RecordedRequest, reply: Optional[Reply]):
        if reply is None:
            message = (
                f"no scripted reply matched request #{request.index} ({request.flavour} "
                f"{request.path}, forced tool {request.forced_tool!r}, "
                f"tools offered {request.tool_names})"
            )
            self._send_json(
                handler, 500, _error_body(message, "unscripted"), {"x-should-retry": "false"}
            )
            return
        if reply.kind == "delay":
            if self._stopping.wait(reply.seconds):
                _cut(handler)
                return
            follow = reply.then
            if follow is None:
                try:
                    follow = self._choose(request, include_queue=False)
                except Exception:
                    self._script_failed(handler, request)
                    return
            self._perform(handler, request, follow)
        elif reply.kind == "cut":
            _cut(handler)
        elif reply.kind == "fault":
            if isinstance(reply.body, (str, bytes)):
                _send(handler, reply.status, _as_bytes(reply.body), "text/plain", reply.headers)
            else:
                self._send_json(handler, reply.status, reply.body, reply.headers)
        elif reply.kind == "not_json":
            _send(handler, reply.status, _as_bytes(reply.body), reply.content_type, {})
        elif reply.kind == "message":
            if request.body.get("stream"):
                self._send_stream(handler, request, reply)
            else:
                self._send_json(handler, 200, self._completion(request, reply))
        else:
            raise ValueError(f"unknown reply kind {reply.kind!r}")

    def _script_failed(self, handler: "_Handler", request: RecordedRequest) -> None:
        text = traceback.format_exc()
        with self._lock:
            self._errors.append(f"request #{request.index}: {text}")
        self._send_json(
            handler,
            500,
            _error_body(f"the script raised: {text}", "script_error"),
            {"x-should-retry": "false"},
        )

    def _usage(self, request: RecordedRequest, reply: Reply) -> dict[str, int]:
        produced = reply.content or ""
        produced += "".join(
            a if isinstance(a, str) else json.dumps(a)
            for a in (c.arguments for c in reply.tool_calls)
        )
        usage = {
            "prompt_tokens": len(json.dumps(request.messages)) // 4 + 1,
            "completion_tokens": len(produced) // 4 + 1,
        }
        usage.update(reply.usage or {})
        usage.setdefault("total_tokens", usage["prompt_tokens"] + usage["completion_tokens"])
        return usage

    def _message(self, reply: Reply) -> dict[str, Any]:
        message: dict[str, Any] = {"role": "assistant", "content": reply.content}
        if reply.tool_calls:
            message["tool_calls"] = [
                {
                    "id": call.call_id or f"call_{next(self._ids):08d}",
                    "type": "function",
                    "function": {
                        "name": call.name,
                        "arguments": (
                            call.arguments
                            if isinstance(call.arguments, str)
                            else json.dumps(call.arguments)
                        ),
                    },
                }
                for call in reply.tool_calls
            ]
        return message

    def _envelope(self, reply: Reply, obj: str) -> dict[str, Any]:
        return {
            "id": f"chatcmpl-{next(self._ids):08d}",
            "object": obj,
            "created": int(time.time()),
            "model": reply.model or self.model,
            "system_fingerprint": None,
        }

    def _completion(self, request: RecordedRequest, reply: Reply) -> dict[str, Any]:
        completion = self._envelope(reply, "chat.completion")
        completion["choices"] = [
            {
                "index": 0,
                "message": self._message(reply),
                "finish_reason": reply.finish_reason
                or ("tool_calls" if reply.tool_calls else "stop"),
                "logprobs": None,
            }
        ]
        completion["usage"] = self._usage(request, reply)
        return completion

    def _send_stream(self, handler: "_Handler", request: RecordedRequest, reply: Reply) -> None:
        envelope = self._envelope(reply, "chat.completion.chunk")
        message = self._message(reply)
        deltas: list[dict[str, Any]] = [{"role": "assistant", "content": ""}]
        if reply.content:
            deltas.append({"content": reply.content})
        for position, call in enumerate(message.get("tool_calls", [])):
            deltas.append({"tool_calls": [dict(call, index=position)]})
        chunks = [
            dict(envelope, choices=[{"index": 0, "delta": d, "finish_reason": None}])
            for d in deltas
        ]
        finish = reply.finish_reason or ("tool_calls" if reply.tool_calls else "stop")
        chunks.append(dict(envelope, choices=[{"index": 0, "delta": {}, "finish_reason": finish}]))
        if (request.body.get("stream_options") or {}).get("include_usage"):
            chunks.append(dict(envelope, choices=[], usage=self._usage(request, reply)))
        text = "".join(f"data: {json.dumps(chunk)}\n\n" for chunk in chunks) + "data: [DONE]\n\n"
        _send(handler, 200, text.encode(), "text/event-stream", {})

    @staticmethod
    def _send_json(handler, status: int, payload: Any, headers: Mapping[str, str] = None) -> None:
        _send(handler, status, json.dumps(payload).encode(), "application/json", headers or {})

    # -- connection bookkeeping (called by the server classes) -------------------------------

    def _track(self, connection: socket.socket) -> bool:
        with self._lock:
            if self._stopping.is_set():
                return False
            self._connections.add(connection)
            return True

    def _untrack(self, connection: socket.socket) -> None:
        with self._lock:
            self._connections.discard(connection)

    def _add_thread(self, thread: threading.Thread) -> None:
        with self._lock:
            self._handler_threads = [t for t in self._handler_threads if t.is_alive()]
            self._handler_threads.append(thread)

    def _handler_error(self) -> None:
        with self._lock:
            self._errors.append(traceback.format_exc())


class _Server(ThreadingHTTPServer):
    daemon_threads = True
    block_on_close = False  # stop() joins handler threads itself, with a deadline

    def __init__(self, address, handler_class, owner: ModelServer):
        self.owner = owner
        super().__init__(address, handler_class)

    def server_bind(self) -> None:
        # HTTPServer.server_bind does a reverse DNS lookup, which can stall without a resolver.
        socketserver.TCPServer.server_bind(self)
        self.server_name, self.server_port = self.server_address[:2]

    def process_request(self, request, client_address) -> None:
        thread = threading.Thread(
            target=self.process_request_thread, args=(request, client_address), daemon=True
        )
        self.owner._add_thread(thread)
        thread.start()

    def handle_error(self, request, client_address) -> None:
        # Clients that time out or go away mid-answer are expected; anything else is a bug here.
        if not isinstance(sys.exc_info()[1], OSError):
            self.owner._handler_error()


class _Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "ScriptedModelServer/1.0"

    def setup(self) -> None:
        super().setup()
        # Headers and body go out in separate writes; without this, Nagle and delayed ACKs
        # hold every reply back for about 40 ms.
        self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        if not self.server.owner._track(self.connection):
            _shutdown_quietly(self.connection)

    def finish(self) -> None:
        try:
            super().finish()
        finally:
            self.server.owner._untrack(self.connection)

    def do_POST(self) -> None:
        self.server.owner._handle(self)

    do_GET = do_PUT = do_DELETE = do_PATCH = do_POST

    def log_message(self, format: str, *args: Any) -> None:
        pass


def _send(handler, status: int, payload: bytes, content_type: str, headers: Mapping[str, str]):
    handler.send_response(status)
    handler.send_header("Content-Type", content_type)
    handler.send_header("Content-Length", str(len(payload)))
    handler.send_header("x-request-id", f"req-{id(handler):x}-{time.monotonic_ns()}")
    for name, value in headers.items():
        handler.send_header(name, value)
    handler.end_headers()
    handler.wfile.write(payload)


def _cut(handler) -> None:
    handler.close_connection = True
    _shutdown_quietly(handler.connection)


def _shutdown_quietly(connection: socket.socket) -> None:
    try:
        connection.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass


def _error_body(message: str, code: str = "500") -> dict[str, Any]:
    return {"error": {"message": message, "type": "server_error", "param": None, "code": code}}


def _as_bytes(body: Union[str, bytes]) -> bytes:
    return body if isinstance(body, bytes) else str(body).encode()


def _format_seconds(seconds: float) -> str:
    return str(int(seconds)) if float(seconds).is_integer() else repr(float(seconds))
