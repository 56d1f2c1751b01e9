"""What the scripted model server answers with and what it records.

Replies are built with the constructors below (a message, a tool call, a fault, a delay, a cut
connection, a body that is not JSON, a degenerate repeating reply); each request the server
receives is kept as a RecordedRequest. ``support.model_server`` serves them over HTTP.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Iterable, Mapping, Optional, Union

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


def repeating_reply(
    unit: str = "0", times: int = 600, *, prefix: str = "", tool: Optional[str] = None
) -> Reply:
    """A degenerate reply: ``prefix`` then ``unit`` over and over, as a small model writes
    when it loses its way; in the arguments text of a call of ``tool`` when given."""
    text = prefix + unit * times
    if tool is not None:
        return raw_tool_call(tool, text, finish_reason="tool_calls")
    return text_reply(text)


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


def _format_seconds(seconds: float) -> str:
    return str(int(seconds)) if float(seconds).is_integer() else repr(float(seconds))
