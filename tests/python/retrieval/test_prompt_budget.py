"""Prompts over more tables than the token budget allows, on every engine: the picker, the
question rewrite and SQL generation list the tables most related to the question, say so in one
line and stay within the budget; names the model makes up are dropped."""

import json

import pytest
from langchain_openai import AzureChatOpenAI
from loguru import logger

from norviai import _retrieval
from norviai.askflow.custom_sql import CustomSQLDatabase
from norviai.askflow.flowsteps import RelevantTableNames, RewriteQuery, SQLGeneration
from norviai.function_calling.base import RelevantTablePicker
from norviai.settings import AzureOpenAIChat35
from support.model_server import no_tool_calls

ALL_TABLES = ["customers", "order_items", "orders", "products"]
QUESTION = "How many orders did each customer place?"
STATE = {
    "user_question": QUESTION,
    "rewritten_question": "",
    "table_names_from_db": ", ".join(ALL_TABLES),
}


def request_tokens(request):
    """What a request sends, counted as the steps count it: message texts and tool definitions."""
    tokens = sum(_retrieval.count_tokens(m["content"]) for m in request.messages)
    return tokens + _retrieval.count_tokens(json.dumps(request.tools))


def picker_listing(request):
    relevant = request.tools[0]["function"]["parameters"]["properties"]["relevant_tables"]
    return relevant["items"]["properties"]["table_name"]["enum"], relevant["description"]


@pytest.fixture
def settings(model_server):
    return AzureOpenAIChat35(
        azure_deployment="small",
        azure_endpoint=model_server.base_url,
        api_key="test-key",
        api_version="2024-02-01",
    )


@pytest.fixture
def chat_model(settings):
    return AzureChatOpenAI(**settings.__dict__, max_tokens=256, temperature=0, max_retries=0)


@pytest.fixture
def shop(shop_db, monkeypatch):
    monkeypatch.delenv("NORVIAI_PROMPT_BUDGET", raising=False)
    return CustomSQLDatabase.from_uri(shop_db.url)


def test_picker_lists_the_most_related_tables_that_fit(model_server, settings, shop, monkeypatch):
    picker = RelevantTablePicker(config=settings, db=shop)
    model_server.on_tool(
        "select_relevant_tables", {"relevant_tables": ["orders"]}, no_tool_calls("orders")
    )
    picker.invoke(dict(STATE))
    full = model_server.last_request
    listed, description = picker_listing(full)
    assert listed == ALL_TABLES and "Only the" not in description

    budget = request_tokens(full) - 1
    monkeypatch.setenv("NORVIAI_PROMPT_BUDGET", str(budget))
    # The model's reply is unusable: the question goes on over the tables it was shown.
    fallback = picker.invoke(dict(STATE))
    cut = model_server.last_request
    listed, description = picker_listing(cut)
    assert request_tokens(cut) <= budget
    assert {"orders", "customers"} <= set(listed) < set(ALL_TABLES)
    assert fallback == {"relevant_tables": listed}
    names = ", ".join(listed)
    assert (
        f"you can choose from: {names}.\n"
        f"Only the {len(listed)} tables most related to the question are listed.\n"
        f"And the schema from all tables: {shop.get_table_info_no_throw(listed)}"
    ) in description


def test_rewrite_shows_the_schemas_of_the_most_related_tables(
    model_server, chat_model, shop, monkeypatch
):
    step = RewriteQuery(db=shop, model=chat_model)
    model_server.on_tool("RewriteQueryOutput", *[{"rewritten_question": "Orders per customer"}] * 3)
    step.invoke(dict(STATE))
    full = model_server.last_request
    assert full.messages[0]["content"].count("CREATE TABLE") == 4

    budget = request_tokens(full) - 1
    monkeypatch.setenv("NORVIAI_PROMPT_BUDGET", str(budget))
    assert step.invoke(dict(STATE)) == {"rewritten_question": "Orders per customer"}
    cut = model_server.last_request
    (system,) = cut.messages
    shown = [name for name in ALL_TABLES if f"rows from {name} table:" in system["content"]]
    assert request_tokens(cut) <= budget
    assert {"orders", "customers"} <= set(shown) and len(shown) < 4
    assert (
        f"Only the {len(shown)} tables most related to the question are listed.\n"
        + shop.get_table_info_no_throw(shown)
    ) in system["content"]

    # A budget that holds no schema at all still sends the question, with none listed.
    monkeypatch.setenv("NORVIAI_PROMPT_BUDGET", "50")
    step.invoke(dict(STATE))
    (system,) = model_server.last_request.messages
    assert QUESTION in system["content"] and "CREATE TABLE" not in system["content"]
    assert "Only the 0 tables most related to the question are listed." in system["content"]


@pytest.mark.parametrize("mode", ["generation", "correction"])
def test_sql_generation_shows_the_schemas_of_the_most_related_tables(
    mode, model_server, chat_model, shop, monkeypatch
):
    step = SQLGeneration(db=shop, model=chat_model)
    state = dict(
        STATE,
        relevant_tables=ALL_TABLES,
        schemas_from_relevant_tables=shop.get_table_info_no_throw(ALL_TABLES),
        sql_generation_prompt_type=mode,
        generated_sql_query=["SELECT nme FROM orders"],
        sql_execution_result=['Error: column "nme" does not exist'],
    )
    model_server.on_tool("SQLQueryInput", *[{"sql_query": "SELECT 1"}] * 2)
    step.invoke(dict(state))
    full = model_server.last_request.messages[1]["content"]
    assert state["schemas_from_relevant_tables"] in full and "Only the" not in full

    budget = request_tokens(model_server.last_request) - 1
    monkeypatch.setenv("NORVIAI_PROMPT_BUDGET", str(budget))
    assert step.invoke(dict(state)) == {"generated_sql_query": ["SELECT 1"]}
    cut = model_server.last_request
    human = cut.messages[1]["content"]
    shown = [name for name in ALL_TABLES if f"rows from {name} table:" in human]
    assert request_tokens(cut) <= budget
    assert {"orders", "customers"} <= set(shown) and len(shown) < 4
    assert (
        f"Only the {len(shown)} tables most related to the question are listed.\n"
        + shop.get_table_info_no_throw(shown)
    ) in human
    assert mode == "generation" or 'column "nme" does not exist' in human


def test_relevant_table_names_drops_made_up_names(model_server, chat_model, shop):
    messages = []
    handler = logger.add(lambda m: messages.append(m.record["message"]), level="WARNING")
    try:
        model_server.on_tool(
            "RelevantTablesOutput", {"relevant_tables": ["Orders", "order_lines", "customers"]}
        )
        step = RelevantTableNames(db=shop, model=chat_model)
        assert step.invoke(dict(STATE)) == {"relevant_tables": ["orders", "customers"]}
    finally:
        logger.remove(handler)
    assert messages == ["The model named what are not tables, dropped: ['order_lines']"]


@pytest.mark.parametrize("shop_db", ["postgresql", "mariadb"], indirect=True)
def test_the_index_reads_table_comments(shop_db):
    # A cryptic name the question shares no word with, explained only by its comment.
    create = {
        "postgresql": [
            "CREATE TABLE kmt_ord (id INTEGER PRIMARY KEY)",
            "COMMENT ON TABLE kmt_ord IS 'Orders of the Kelmit business unit'",
        ],
        "mariadb": [
            "CREATE TABLE kmt_ord (id INTEGER PRIMARY KEY) COMMENT 'Orders of the Kelmit business unit'"
        ],
    }[shop_db.engine_name]
    with shop_db.engine.begin() as connection:
        for statement in create:
            connection.exec_driver_sql(statement)
    try:
        index = _retrieval.table_index(CustomSQLDatabase.from_uri(shop_db.url))
        assert index.related("What did the Kelmit unit sell?")[0] == "kmt_ord"
    finally:
        with shop_db.engine.begin() as connection:
            connection.exec_driver_sql("DROP TABLE kmt_ord")
