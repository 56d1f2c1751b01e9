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
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable, Iterable, Mapping, Optional, Union
from urllib.parse import parse_qsl, urlsplit

from .model_script import (  # noqa: F401  tests import the reply constructors from here
    RecordedRequest,
    Reply,
    ScriptEntry,
    ToolCall,
    _ToolScript,
    cut_by_length,
    cut_connection,
    delay,
    fault,
    no_tool_calls,
    not_json,
    raw_tool_call,
    repeating_reply,
    text_reply,
    tool_call_reply,
    tool_calls_reply,
)

DEFAULT_MODEL = "gpt-35-turbo"

_AZURE_PATH = re.compile(r"^/openai/deployments/(?P<deployment>[^/]+)/chat/completions/?$")
_OPENAI_PATH = re.compile(r"^(?:/[^/]+)*/chat/completions/?$")


class ModelServer:
    """Start with ``start()`` or ``with ModelServer() as server:``."""

    def __init__(self, *, model: str = DEFAULT_MODEL, api_key: Optional[str] = None):
        # With api_key set, requests carrying another key get 401; otherwise any key passes.
        self.model = model
        self.api_key = api_key
        self._lock = threading.Lock()
        self._requests: list[RecordedRequest] = []
        # Where and how large a context the server reports: ("props", n) as llama.cpp's
        # GET /props, ("models", n) as vLLM's max_model_len in GET <prefix>/models.
        self._context: Optional[tuple[str, int]] = None
        self._info_requests: list[str] = []
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
            self._info_requests.clear()
            self._context = None
            self._queue.clear()
            self._tool_scripts.clear()
            self._responder = None
            self._errors.clear()

    @property
    def info_requests(self) -> list[str]:
        """Paths of the GET requests for server facts (its context size), kept apart from the
        chat requests."""
        with self._lock:
            return list(self._info_requests)

    # -- scripting ---------------------------------------------------------------------------

    def report_context(self, tokens: Optional[int], where: str = "props") -> None:
        """Report a context size of ``tokens`` the way llama.cpp ("props") or vLLM ("models")
        does; None reports none (both paths answer 404)."""
        if where not in ("props", "models"):
            raise ValueError(f"unknown context route {where!r}")
        with self._lock:
            self._context = None if tokens is None else (where, tokens)

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

    def _serve_info(self, handler: "_Handler") -> bool:
        path = urlsplit(handler.path).path.rstrip("/")
        route = "props" if path == "/props" else "models" if path.endswith("/models") else None
        if handler.command != "GET" or route is None:
            return False
        with self._lock:
            self._info_requests.append(path)
            context = self._context
        if context is None or context[0] != route:
            self._send_json(handler, 404, _error_body(f"no route for GET {path}", "404"))
        elif route == "props":
            self._send_json(handler, 200, {"default_generation_settings": {"n_ctx": context[1]}})
        else:
            entry = {"id": self.model, "object": "model", "max_model_len": context[1]}
            self._send_json(handler, 200, {"object": "list", "data": [entry]})
        return True

    def _handle(self, handler: "_Handler") -> None:
        if self._serve_info(handler):
            return
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
