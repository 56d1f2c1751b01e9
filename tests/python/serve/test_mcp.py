"""`norviai mcp` through the MCP SDK's own client over standard input and output."""

import asyncio
import json
import os
import sys

from mcp import ClientSession
from mcp.client.stdio import StdioServerParameters, stdio_client

DEMO_QUESTION = "Which five customers spent the most, and how much did each spend?"


async def session_calls(tmp_path):
    parameters = StdioServerParameters(
        command=sys.executable,
        args=["-m", "norviai", "mcp", "--offline"],
        cwd=str(tmp_path),
        env={k: v for k, v in os.environ.items() if not k.startswith(("OPENAI", "AZURE"))},
    )
    with open(tmp_path / "mcp-stderr.log", "w") as errors:
        async with stdio_client(parameters, errlog=errors) as (read, write):
            async with ClientSession(read, write) as session:
                await session.initialize()
                tools = {tool.name: tool for tool in (await session.list_tools()).tools}
                calls = {
                    "tables": await session.call_tool("list_tables", {}),
                    "described": await session.call_tool("describe_tables", {"names": ["orders"]}),
                    "unknown": await session.call_tool("describe_tables", {"names": ["nope"]}),
                    "query": await session.call_tool(
                        "run_query", {"sql": "SELECT COUNT(*) FROM customers"}
                    ),
                    "write": await session.call_tool("run_query", {"sql": "DELETE FROM orders"}),
                    "sneaky": await session.call_tool(
                        "run_query",
                        {
                            "sql": "WITH gone AS (DELETE FROM orders RETURNING id) SELECT * FROM gone"
                        },
                    ),
                    "ask": await session.call_tool("ask_database", {"question": DEMO_QUESTION}),
                }
                return tools, calls


def text(result):
    return "".join(part.text for part in result.content)


def test_tools_over_stdio(tmp_path):
    tools, calls = asyncio.run(asyncio.wait_for(session_calls(tmp_path), 120))
    assert set(tools) == {"ask_database", "list_tables", "describe_tables", "run_query"}
    assert tools["ask_database"].input_schema["properties"]["question"]["type"] == "string"
    assert tools["describe_tables"].input_schema["properties"]["names"]["type"] == "array"

    assert json.loads(text(calls["tables"])) == ["customers", "order_items", "orders", "products"]
    assert "CREATE TABLE orders" in text(calls["described"])
    assert calls["unknown"].is_error and "nope" in text(calls["unknown"])
    assert not calls["query"].is_error and text(calls["query"]).startswith("[(")
    # The read-only path refuses writes, whether the guard or the database stops them.
    for name in ("write", "sneaky"):
        assert calls[name].is_error, text(calls[name])
    answer = json.loads(text(calls["ask"]))
    assert answer["outcome"] == "answered" and answer["columns"]
    assert answer["plot_file"].endswith(".png") and answer["tokens"] > 0
