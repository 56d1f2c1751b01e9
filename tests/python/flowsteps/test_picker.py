"""The relevant-table picker over the sample database and the scripted model server."""

import pytest
from langchain_community.callbacks import get_openai_callback

from norviai.function_calling import base
from norviai.function_calling.base import RelevantTablePicker
from support.model_server import (
    cut_by_length,
    no_tool_calls,
    raw_tool_call,
    tool_call_reply,
)

sqlite_only = pytest.mark.parametrize("shop_db", ["sqlite"], indirect=True)

STATE = {
    "user_question": "Which customers ordered most?",
    "table_names_from_db": "customers, orders",
}


@sqlite_only
def test_invoke_sends_the_forced_call_and_returns_the_arguments(model_server, settings, shop):
    model_server.on_tool("select_relevant_tables", {"relevant_tables": ["orders", "customers"]})
    picker = RelevantTablePicker(config=settings, db=shop)

    assert picker.invoke(dict(STATE)) == {"relevant_tables": ["orders", "customers"]}

    request = model_server.last_request
    assert request.deployment == "small"
    body = request.body
    assert body["model"] == "small"
    assert body["messages"] == [{"role": "user", "content": STATE["user_question"]}]
    assert body["tool_choice"] == {
        "type": "function",
        "function": {"name": "select_relevant_tables"},
    }
    assert body["temperature"] == 0.0
    assert body["max_tokens"] == 800
    assert body["top_p"] == 0.95
    assert body["frequency_penalty"] == 0
    assert body["presence_penalty"] == 0
    assert body.get("stop") is None

    (tool,) = body["tools"]
    original = base.load_yaml(base.RELEVANT_TABLES_PATH)
    assert tool["type"] == "function" and tool["function"]["name"] == "select_relevant_tables"
    relevant = tool["function"]["parameters"]["properties"]["relevant_tables"]
    assert relevant["items"]["properties"]["table_name"]["enum"] == ["customers", "orders"]
    schemas = shop.get_table_info_no_throw(["customers", "orders"])
    assert relevant["description"] == (
        original["function"]["parameters"]["properties"]["relevant_tables"]["description"]
        + "Here is the list table name, you can choose from: customers, orders.\n"
        + "And the schema from all tables: "
        + schemas
    )


@sqlite_only
def test_each_call_starts_from_the_file(model_server, settings, shop):
    picker = RelevantTablePicker(config=settings, db=shop)
    first = picker.get_tools(["orders"])
    second = picker.get_tools(["products", "customers"])
    description = lambda tools: tools[0]["function"]["parameters"]["properties"]["relevant_tables"][
        "description"
    ]
    assert description(first).count("Here is the list table name") == 1
    assert description(second).count("Here is the list table name") == 1
    assert "products, customers." in description(second)
    assert "orders." not in description(second)
    with pytest.raises(TypeError, match="table_names_from_db"):
        picker.get_tools(("orders",))


@sqlite_only
def test_the_call_is_counted_by_the_usage_callback_once(model_server, settings, shop):
    usage = {"prompt_tokens": 1200, "completion_tokens": 30, "total_tokens": 1230}
    model_server.on_tool(
        "select_relevant_tables",
        tool_call_reply("select_relevant_tables", {"relevant_tables": ["orders"]}, usage=usage),
    )
    picker = RelevantTablePicker(config=settings, db=shop)
    with get_openai_callback() as callback:
        picker.invoke(dict(STATE))
    assert callback.total_tokens == 1230
    assert callback.prompt_tokens == 1200
    assert callback.successful_requests == 1
    assert callback.total_cost > 0


@sqlite_only
def test_refusals_propagate(model_server, settings, shop):
    picker = RelevantTablePicker(config=settings, db=shop)
    with pytest.raises(TypeError, match="state"):
        picker.invoke(None)
    with pytest.raises(AttributeError):
        picker.invoke({"user_question": "q"})


@sqlite_only
@pytest.mark.parametrize(
    "reply",
    [
        no_tool_calls("I think orders."),
        no_tool_calls(""),
        raw_tool_call("select_relevant_tables", '{"relevant_tables": ["orders", "cust'),
        raw_tool_call(
            "select_relevant_tables", '{"relevant_tables": ["orders"]}', finish_reason="length"
        ),
        cut_by_length("orders, cust"),
        raw_tool_call("select_relevant_tables", '{"tables": ["orders"]}'),
        raw_tool_call("select_relevant_tables", '{"relevant_tables": "orders"}'),
        raw_tool_call("select_relevant_tables", '["orders"]'),
        # A real model's pick: no name of it is a table.
        raw_tool_call("select_relevant_tables", '{"relevant_tables": ["table_name", "1", ""]}'),
        raw_tool_call("select_relevant_tables", '{"relevant_tables": []}'),
    ],
    ids=[
        "plain",
        "empty",
        "not-json",
        "cut-json",
        "cut-plain",
        "no-field",
        "not-list",
        "array",
        "no-table",
        "none-picked",
    ],
)
def test_a_reply_it_cannot_use_falls_back_to_all_tables(model_server, settings, shop, reply):
    model_server.on_tool("select_relevant_tables", reply)
    picker = RelevantTablePicker(config=settings, db=shop)
    assert picker.invoke(dict(STATE)) == {"relevant_tables": ["customers", "orders"]}


@sqlite_only
def test_picked_names_are_matched_against_the_tables(model_server, settings, shop):
    picked = [' "Orders" ', "`CUSTOMERS`", "orders", "[customers]", "nope", 7, "orders; --"]
    model_server.on_tool("select_relevant_tables", {"relevant_tables": picked})
    picker = RelevantTablePicker(config=settings, db=shop)
    assert picker.invoke(dict(STATE)) == {"relevant_tables": ["orders", "customers"]}
    items = model_server.last_request.tools[0]["function"]["parameters"]["properties"][
        "relevant_tables"
    ]["items"]
    assert items["enum"] == ["customers", "orders"]


def test_definition_file_path_is_relative_to_the_working_directory(tmp_path, monkeypatch):
    import os

    path = base.RELEVANT_TABLES_PATH
    assert not os.path.isabs(path)
    assert path.endswith(os.path.join("function_calling", "prompt", "relevant_table.yaml"))
    monkeypatch.chdir(tmp_path)
    moved = base.get_relevant_tables_path()
    assert os.path.samefile(
        os.path.join(tmp_path, moved),
        os.path.abspath(
            os.path.join(os.path.dirname(base.__file__), "prompt", "relevant_table.yaml")
        ),
    )


def test_definition_file_is_found_after_a_change_of_directory(tmp_path, monkeypatch):
    expected = base.get_tool_revant_tables()
    monkeypatch.chdir(tmp_path)
    assert base.get_tool_revant_tables() == expected
    # A path the caller sets is read as given.
    custom = tmp_path / "tools.yaml"
    custom.write_text("type: function\nfunction: {name: select_relevant_tables}\n")
    monkeypatch.setattr(base, "RELEVANT_TABLES_PATH", "tools.yaml")
    assert base.get_tool_revant_tables() == [
        {"type": "function", "function": {"name": "select_relevant_tables"}}
    ]
