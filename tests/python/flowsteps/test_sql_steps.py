"""The SQL steps' updates over the sample database on every engine and the scripted model server."""

import copy

import jinja2
import openai
import pytest
from langchain_community.tools.sql_database.prompt import QUERY_CHECKER
from langchain_core.messages import HumanMessage, SystemMessage
from langchain_openai import AzureChatOpenAI
from sqlalchemy.exc import SQLAlchemyError

from norviai.askflow import askflow_prompts as prompts
from norviai.askflow.flowsteps import (
    RelevantSchemas,
    RelevantTableNames,
    RewriteQuery,
    SQLExecution,
    SQLGeneration,
    SQLSyntaxChecker,
    TableNamesLookup,
)
from support.model_server import fault, no_tool_calls, raw_tool_call, text_reply
from support.steps import as_sent, assert_refuses_all_but_plain_dicts, sent

ALL_TABLES = "customers, order_items, orders, products"

GENERATION_SYSTEM_TEXT = """You are an agent designed to interact with a SQL database.
Given an input question, create a syntactically correct {dialect} query to run, then look at the \
results of the query and return the answer.
Unless the user specifies a specific number of examples they wish to obtain, always limit your \
query to at most 20 results.
You can order the results by a relevant column to return the most interesting examples in the \
database.
Never query for all the columns from a specific table, only ask for the relevant columns given \
the question.
You have access to tools for interacting with the database.
Only use the below tools. Only use the information returned by the below tools to construct your \
final answer.
You MUST double check your query before executing it. If you get an error while executing a \
query, rewrite the query and try again.

DO NOT make any DML statements (INSERT, UPDATE, DELETE, DROP etc.) to the database.

If the question does not seem related to the database, just return "I don't know" as the answer."""


@pytest.fixture
def large_model(settings):
    """The deployment the graph uses for SQL generation."""
    options = dict(settings.__dict__, azure_deployment="large")
    return AzureChatOpenAI(**options, max_tokens=256, temperature=0, max_retries=0, timeout=20)


def test_table_names_lookup_gives_the_names_as_one_text(shop):
    step = TableNamesLookup(db=shop)
    # The state is not read, whatever it is, and extra keywords are ignored.
    assert step.invoke(None) == {"table_names_from_db": ALL_TABLES}
    assert step.invoke({"user_question": "q"}, config={"tags": ["x"]}) == {
        "table_names_from_db": ALL_TABLES
    }


def test_state_must_be_a_plain_dict(model_server, chat_model, shop):
    assert_refuses_all_but_plain_dicts(
        [
            RelevantTableNames(db=shop, model=chat_model).generate_prompt,
            RelevantTableNames(db=shop, model=chat_model).invoke,
            RewriteQuery(db=shop, model=chat_model).generate_prompt,
            RewriteQuery(db=shop, model=chat_model).invoke,
            SQLGeneration(db=shop, model=chat_model).generate_messages,
            SQLGeneration(db=shop, model=chat_model).invoke,
        ]
    )
    assert model_server.requests == []


class TestRelevantTableNames:
    STATE = {
        "user_question": "Which customers ordered most?",
        "rewritten_question": "",
        "table_names_from_db": ALL_TABLES,
    }

    @staticmethod
    def expected(dialect, question, names):
        values = dict(dialect=dialect, user_question=question, table_names_from_db=names)
        return [
            SystemMessage(prompts.SQL_PREFIX.format(**values)),
            HumanMessage(
                prompts.GET_RELEVANT_TABLE_NAMES_TEMPLATE.format(**values)
                + prompts.TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE
            ),
        ]

    def test_prompt_carries_the_question_and_the_table_names(self, chat_model, shop):
        step = RelevantTableNames(db=shop, model=chat_model)
        state = dict(self.STATE)
        assert step.generate_prompt(state) == self.expected(
            shop.dialect, state["user_question"], ALL_TABLES
        )

        rewritten = dict(state, rewritten_question="Top 5 customers by number of orders")
        messages = step.generate_prompt(rewritten)
        assert messages == self.expected(shop.dialect, rewritten["rewritten_question"], ALL_TABLES)
        assert all(state["user_question"] not in message.content for message in messages)

        as_list = dict(state, table_names_from_db=["orders", "customers"])
        assert step.generate_prompt(as_list) == self.expected(
            shop.dialect, state["user_question"], "orders,customers"
        )

    def test_tail_reaches_the_human_message_only_with_its_braces(self, chat_model, shop):
        system, human = RelevantTableNames(db=shop, model=chat_model).generate_prompt(
            dict(self.STATE)
        )
        tail = prompts.TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE
        assert "{" in tail
        assert human.content.endswith(tail)
        assert '{"relevant_tables": ["orders", "customers"]}' in human.content
        assert tail not in system.content

    def test_invoke_returns_the_models_tables(self, model_server, chat_model, shop):
        model_server.on_tool("RelevantTablesOutput", {"relevant_tables": ["orders", "customers"]})
        step = RelevantTableNames(db=shop, model=chat_model)
        state = dict(self.STATE)
        before = copy.deepcopy(state)

        assert step.invoke(state, config=None) == {"relevant_tables": ["orders", "customers"]}
        assert state == before
        (request,) = model_server.requests
        assert request.deployment == "small"
        assert request.forced_tool == "RelevantTablesOutput"
        assert sent(request) == as_sent(step.generate_prompt(state))


class TestRewriteQuery:
    def test_prompt_starts_from_the_users_question_with_every_schema(self, chat_model, shop):
        step = RewriteQuery(db=shop, model=chat_model)
        all_schemas = shop.get_table_info_no_throw(ALL_TABLES.split(", "))
        assert all_schemas.count("CREATE TABLE") == 4
        expected = [
            SystemMessage(
                prompts.REWRITE_QUESTION_TEMPLATE.format(
                    user_question="How many orders?", schemas_from_all_tables=all_schemas
                )
            )
        ]
        state = {
            "user_question": "How many orders?",
            "rewritten_question": "Count the rows of the orders table",
            "table_names_from_db": ALL_TABLES,
        }
        assert step.generate_prompt(state) == expected
        as_list = dict(state, table_names_from_db=ALL_TABLES.split(", "))
        assert step.generate_prompt(as_list) == expected

    def test_invoke_returns_only_the_rewritten_question(self, model_server, chat_model, shop):
        rewritten = "How many rows does the orders table hold?"
        model_server.on_tool("RewriteQueryOutput", {"rewritten_question": rewritten})
        step = RewriteQuery(db=shop, model=chat_model)
        state = {
            "user_question": "How many orders?",
            "rewritten_question": "",
            "table_names_from_db": ALL_TABLES,
        }
        update = step.invoke(state, extra="ignored")
        assert update == {"rewritten_question": rewritten}
        assert list(update) == ["rewritten_question"]
        (request,) = model_server.requests
        assert request.forced_tool == "RewriteQueryOutput"
        assert sent(request) == as_sent(step.generate_prompt(state))


class TestRelevantSchemas:
    def test_schemas_of_the_chosen_tables(self, shop):
        update = RelevantSchemas(db=shop).invoke({"relevant_tables": ["orders", "customers"]})
        assert list(update) == ["sql_generation_prompt_type", "schemas_from_relevant_tables"]
        assert update["sql_generation_prompt_type"] == "generation"
        schemas = update["schemas_from_relevant_tables"]
        assert schemas == shop.get_table_info_no_throw(["orders", "customers"])
        assert schemas.count("CREATE TABLE") == 2

    def test_lookup_errors_are_stored_as_text(self, shop):
        step = RelevantSchemas(db=shop)
        empty = step.invoke({"relevant_tables": []})
        assert empty == {
            "sql_generation_prompt_type": "generation",
            "schemas_from_relevant_tables": "Error: table_names {''} not found in database",
        }
        unknown = step.invoke({"relevant_tables": ["orders", "nope"]})
        assert unknown["schemas_from_relevant_tables"] == (
            "Error: table_names {'nope'} not found in database"
        )


class TestSQLGeneration:
    SCHEMAS = "CREATE TABLE orders (id INTEGER)"

    def test_generation_messages(self, chat_model, shop):
        step = SQLGeneration(db=shop, model=chat_model)
        state = {
            "user_question": "How many orders?",
            "rewritten_question": "Count the rows of orders",
            "sql_generation_prompt_type": "generation",
            "schemas_from_relevant_tables": self.SCHEMAS,
        }
        assert step.generate_messages(state) == [
            SystemMessage(GENERATION_SYSTEM_TEXT.replace("{dialect}", shop.dialect)),
            HumanMessage(f"How many orders?\n Schemas_from_relevant_tables: {self.SCHEMAS}"),
        ]

    def test_correction_messages_pair_queries_with_results(self, chat_model, shop):
        step = SQLGeneration(db=shop, model=chat_model)
        state = {
            "user_question": "How many orders?",
            "rewritten_question": "",
            "table_names_from_db": ALL_TABLES,
            "sql_generation_prompt_type": "correction",
            "schemas_from_relevant_tables": self.SCHEMAS,
            "generated_sql_query": ["SELECT nope FROM orders", "SELECT 1 WHERE 1 = 0", "THIRD"],
            "sql_execution_result": ["no such column: nope", "None"],
        }
        pairs = [
            ("SELECT nope FROM orders", "no such column: nope"),
            ("SELECT 1 WHERE 1 = 0", "None"),
        ]
        system, human = step.generate_messages(state)
        assert system == SystemMessage(prompts.SQL_PREFIX.format(dialect=shop.dialect, **state))
        rendered = jinja2.Template(prompts.CORRECT_SQL_TEMPLATE).render(
            dialect=shop.dialect, zipped_queries_errors=pairs, **state
        )
        assert human == HumanMessage(rendered)
        assert "no such column: nope" in human.content and "THIRD" not in human.content

    def test_refused_states_make_no_model_request(self, model_server, chat_model, shop):
        step = SQLGeneration(db=shop, model=chat_model)
        base = {"user_question": "q", "schemas_from_relevant_tables": "s"}
        for prompt_type in ["", "Generation", "repair"]:
            with pytest.raises(ValueError, match=r"^Messages not generated correctly\.$"):
                step.invoke(dict(base, sql_generation_prompt_type=prompt_type))
        correction = dict(
            base,
            sql_generation_prompt_type="correction",
            generated_sql_query=["SELECT 1"],
            sql_execution_result=["None"],
        )
        for state in [dict(base, sql_generation_prompt_type="generation"), correction]:
            with pytest.raises(TypeError, match="multiple values"):
                step.invoke(dict(state, dialect="sqlite"))
        with pytest.raises(TypeError, match="multiple values"):
            step.invoke(dict(correction, zipped_queries_errors=[]))
        assert model_server.requests == []

    def test_invoke_appends_one_query_and_logs_its_time(
        self, model_server, large_model, shop, log_messages
    ):
        model_server.on_tool("SQLQueryInput", {"sql_query": "SELECT COUNT(*) FROM orders"})
        step = SQLGeneration(db=shop, model=large_model)
        state = {
            "user_question": "How many orders?",
            "sql_generation_prompt_type": "generation",
            "schemas_from_relevant_tables": self.SCHEMAS,
            "generated_sql_query": [],
        }
        update = step.invoke(state, config=None)
        assert update == {"generated_sql_query": ["SELECT COUNT(*) FROM orders"]}
        assert state["generated_sql_query"] == []

        (request,) = model_server.requests
        assert request.deployment == "large"
        assert request.forced_tool == "SQLQueryInput"
        assert sent(request) == as_sent(step.generate_messages(state))

        prefix = "Invoke generate sql query tooks: "
        (line,) = [message for message in log_messages if message.startswith(prefix)]
        assert 0 <= float(line[len(prefix) :]) < 20


class TestSQLSyntaxChecker:
    def test_checked_query_replaces_the_last_one_in_place(self, model_server, chat_model, shop):
        replies = iter(["```sql\nSELECT id FROM orders LIMIT 5\n```", "SELECT 2"])
        model_server.respond_with(lambda request: text_reply(next(replies)))
        step = SQLSyntaxChecker(db=shop, model=chat_model)
        queries = ["SELECT nope", "SELECT id FROM orders"]
        state = {"generated_sql_query": queries}

        assert step.invoke(state, config=None) == {}
        assert state["generated_sql_query"] is queries
        assert queries == ["SELECT nope", "SELECT id FROM orders LIMIT 5"]
        (request,) = model_server.requests
        assert request.tools == []
        assert sent(request) == [
            ("user", QUERY_CHECKER.format(query="SELECT id FROM orders", dialect=shop.dialect))
        ]

        # Text without a fence is stored as the model wrote it.
        assert step.invoke(state) == {}
        assert queries == ["SELECT nope", "SELECT 2"]

    @pytest.mark.parametrize(
        "reply, kept",
        [
            ("```sql\nSELECT 2;\n```", False),
            ("SELECT 'a;b' FROM orders -- note; here", False),
            ("The query looks correct.", True),
            ("SELECT 1; DROP TABLE orders", True),
            ("```sql\nSELECT 1;\nSELECT 2;\n```", True),
            ("SELECT 'unclosed", True),
            ("", True),
            # An echo of the prompt: the query, then the prompt's own instructions.
            (QUERY_CHECKER.format(query="SELECT 3", dialect="{dialect}"), True),
        ],
    )
    def test_only_one_statement_replaces_the_query(
        self, model_server, chat_model, shop, reply, kept
    ):
        reply = reply.replace("{dialect}", shop.dialect)
        model_server.respond_with(lambda request: text_reply(reply))
        queries = ["SELECT id FROM orders"]
        SQLSyntaxChecker(db=shop, model=chat_model).invoke({"generated_sql_query": queries})
        expected = reply.removeprefix("```sql\n").removesuffix("\n```")
        assert queries == (["SELECT id FROM orders"] if kept else [expected])


class TestSQLExecution:
    def test_rows_make_a_successful_execution(self, shop):
        query = "SELECT id, status FROM orders ORDER BY id LIMIT 2"
        state = {"generated_sql_query": ["SELECT nope", query]}
        update = SQLExecution(db=shop).invoke(state, config=None)
        assert list(update) == [
            "sql_execution_result",
            "execution_success",
            "pandas_generation_prompt_type",
        ]
        assert update == {
            "sql_execution_result": ["[(1, 'delivered'), (2, 'delivered')]"],
            "execution_success": True,
            "pandas_generation_prompt_type": "generation",
        }

    def test_no_rows_and_database_errors_are_failed_executions(self, shop):
        step = SQLExecution(db=shop)
        empty = step.invoke({"generated_sql_query": ["SELECT id FROM orders WHERE id < 0"]})
        assert empty == {"sql_execution_result": ["None"], "execution_success": False}
        assert list(empty) == ["sql_execution_result", "execution_success"]

        bad = "SELECT nope FROM orders"
        with pytest.raises(SQLAlchemyError) as raised:
            shop.run(bad, fetch="all", include_columns=False)
        failed = step.invoke({"generated_sql_query": [bad]})
        assert failed == {"sql_execution_result": [str(raised.value)], "execution_success": False}
        assert "nope" in failed["sql_execution_result"][0]

    def test_a_destructive_statement_fails_and_changes_nothing(self, shop_db, shop):
        before = shop_db.checksums()
        # No foreign key points at order_items, so every engine would carry the deletion out.
        update = SQLExecution(db=shop).invoke({"generated_sql_query": ["DELETE FROM order_items"]})
        assert shop_db.checksums() == before
        assert update["execution_success"] is False
        (reason,) = update["sql_execution_result"]
        assert reason != "None" and "delete" in reason.lower()


BAD_REPLIES = {
    "plain": lambda tool: no_tool_calls("SELECT COUNT(*) FROM orders"),
    "empty": lambda tool: no_tool_calls(""),
    "not-json": lambda tool: raw_tool_call(tool, '{"x": "SELECT 0 0 0 0 0'),
    "missing-field": lambda tool: raw_tool_call(tool, '{"other": "x"}'),
    "cut": lambda tool: raw_tool_call(tool, '{"x": "y"}', finish_reason="length"),
}
BAD_REPLY_STATE = {
    "user_question": "How many orders?",
    "rewritten_question": "",
    "table_names_from_db": ALL_TABLES,
    "sql_generation_prompt_type": "generation",
    "schemas_from_relevant_tables": "CREATE TABLE orders (id INTEGER)",
}


@pytest.mark.parametrize("fault", BAD_REPLIES)
def test_a_reply_the_step_cannot_use_falls_back(model_server, chat_model, shop, fault):
    for tool in ("RelevantTablesOutput", "RewriteQueryOutput", "SQLQueryInput"):
        model_server.on_tool(tool, BAD_REPLIES[fault](tool))
    state = dict(BAD_REPLY_STATE)
    picked = RelevantTableNames(db=shop, model=chat_model).invoke(state)
    assert picked == {"relevant_tables": ALL_TABLES.split(", ")}
    rewritten = RewriteQuery(db=shop, model=chat_model).invoke(state)
    assert rewritten == {"rewritten_question": "How many orders?"}
    (query,) = SQLGeneration(db=shop, model=chat_model).invoke(state)["generated_sql_query"]
    assert query.startswith("-- unusable reply: ")

    # The checker passes the marker on without a model call; the execution fails it.
    requests = len(model_server.requests)
    state["generated_sql_query"] = [query]
    assert SQLSyntaxChecker(db=shop, model=chat_model).invoke(state) == {}
    assert len(model_server.requests) == requests
    failed = SQLExecution(db=shop).invoke(state)
    assert failed["execution_success"] is False
    (text,) = failed["sql_execution_result"]
    assert (
        text
        == "Your reply was not a valid SQLQueryInput call: " + query[len("-- unusable reply: ") :]
    )


def test_transport_errors_still_propagate(model_server, chat_model, shop):
    model_server.on_tool("SQLQueryInput", fault(400))
    with pytest.raises(openai.BadRequestError):
        SQLGeneration(db=shop, model=chat_model).invoke(dict(BAD_REPLY_STATE))


def test_a_marker_query_never_reaches_the_database(shop_db, shop):
    hostile = "-- unusable reply: x\nDELETE FROM orders"
    before = shop.run("SELECT COUNT(*) FROM orders")
    failed = SQLExecution(db=shop).invoke({"generated_sql_query": [hostile]})
    assert failed == {
        "sql_execution_result": [
            "Your reply was not a valid SQLQueryInput call: x\nDELETE FROM orders"
        ],
        "execution_success": False,
    }
    assert shop.run("SELECT COUNT(*) FROM orders") == before
