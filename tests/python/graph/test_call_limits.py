"""Every model call bounded: the question's time limit, the reply limit the server's context
leaves, and replies that repeat themselves, over the scripted server and the sample database."""

import time

import openai
import pytest

from norviai.askflow.askflow import SQLGraph
from support.model_server import delay, repeating_reply, tool_call_reply

pytestmark = pytest.mark.parametrize("shop_db", ["sqlite"], indirect=True)

QUESTION = "How many orders have been placed?"
COUNT = "SELECT COUNT(*) FROM orders"


@pytest.mark.parametrize(
    "limit, model_timeout, stalled, answer",
    [
        # The call's time-out is cut to the time left and no retry fits after it.
        (3, 2.5, "SQLQueryInput", "I could not find an answer"),
        (3, 30, "SQLQueryInput", "I could not find an answer"),
        # The query ran before the limit: the plain answer is its result.
        (3, 30, "PythonCodeInput", "The query returned: [(200,)]"),
    ],
)
def test_the_time_limit_ends_the_question_with_what_it_has(
    make_agent, script, monkeypatch, tmp_path, limit, model_timeout, stalled, answer
):
    monkeypatch.setenv("NORVIAI_QUESTION_TIME_LIMIT", str(limit))
    monkeypatch.setenv("NORVIAI_MODEL_TIMEOUT", str(model_timeout))
    agent = make_agent()
    script.tables(["orders"])
    script.queries(COUNT)
    script.programs("print(5)")
    script.answer()
    script.server.on_tool(stalled, delay(30))

    started = time.monotonic()
    state = agent.invoke({"user_question": QUESTION, "save_path": str(tmp_path)})
    assert time.monotonic() - started < limit + 2
    assert "time limit" in state["final_response"] and answer in state["final_response"]
    # One attempt of the stalled call, and no model call after it.
    kinds = script.kinds
    assert kinds.count(stalled) == 1 and kinds[-1] == stalled, kinds


def test_retries_stay_when_they_fit_in_the_time_left(make_agent, script, monkeypatch, tmp_path):
    monkeypatch.setenv("NORVIAI_MODEL_TIMEOUT", "0.3")
    monkeypatch.setenv("NORVIAI_QUESTION_TIME_LIMIT", "2.35")
    agent = make_agent()
    script.tables(["orders"])
    script.queries(COUNT)
    script.answer()
    # Two attempts and the wait between them fit, three do not (0.3 + 0.5 + 0.3 + 1 + 0.3 s).
    # The client's time-out ends the question, or its limit does on a slow machine.
    script.server.on_tool("SQLQueryInput", delay(30))
    try:
        state = agent.invoke({"user_question": QUESTION, "save_path": str(tmp_path)})
        assert "time limit" in state["final_response"]
    except openai.APITimeoutError:
        pass
    assert script.kinds.count("SQLQueryInput") == 2


def test_a_repeating_reply_is_a_failed_attempt(agent, script, tmp_path):
    script.tables(["orders"])
    degenerate = repeating_reply("0", 600, prefix="SELECT COUNT(*) FROM orders WHERE id > 1")
    script.server.on_tool(
        "SQLQueryInput",
        tool_call_reply("SQLQueryInput", {"sql_query": degenerate.content}),
        {"sql_query": COUNT},
    )
    script.programs("print(5)")
    script.answer(lambda parts: {"final_response": parts["result"], "image_path": ""})

    state = agent.invoke({"user_question": QUESTION, "save_path": str(tmp_path)})
    first, second = state["generated_sql_query"]
    assert first == "-- unusable reply: the reply repeats '0' 600 times"
    assert second == COUNT and state["execution_success"]
    correction = script.sent("SQLQueryInput")[1].messages[-1]["content"]
    assert "the reply repeats '0' 600 times" in correction


@pytest.mark.parametrize(
    "reported, environment, bounded",
    [
        (("props", 3000), None, True),
        (("models", 3000), None, True),
        (None, "3000", True),
        (("props", 3000), "100000", True),  # the server's own figure wins
        (None, None, False),
    ],
)
def test_reply_limits_fit_the_servers_context(
    shop, model_server, monkeypatch, reported, environment, bounded
):
    from norviai.askflow.flowsteps import SQLGeneration

    if environment is None:
        monkeypatch.delenv("NORVIAI_MODEL_CONTEXT", raising=False)
    else:
        monkeypatch.setenv("NORVIAI_MODEL_CONTEXT", environment)
    if reported:
        model_server.report_context(reported[1], reported[0])
    model_server.model = "small"  # the model whose context vLLM reports
    agent = SQLGraph._from_openai_server(shop, "small", "large", model_server.openai_base_url, "k")
    read = model_server.info_requests
    assert read == (["/props"] if reported and reported[0] == "props" else ["/props", "/v1/models"])

    step = SQLGeneration(db=shop, model=agent.sql_generation_model)
    model_server.on_tool("SQLQueryInput", {"sql_query": COUNT})
    schemas = shop.get_table_info_no_throw(shop.get_usable_table_names())
    state = {
        "user_question": QUESTION,
        "schemas_from_relevant_tables": schemas,
        "sql_generation_prompt_type": "generation",
    }
    for _ in range(2):
        assert step.invoke(state) == {"generated_sql_query": [COUNT]}
    limits = [r.body["max_tokens"] for r in model_server.requests]
    if bounded:
        # What 3000 tokens leave after a prompt of more than 500 tokens and the template's share.
        assert len(set(limits)) == 1 and 0 < limits[0] < 2500, limits
    else:
        assert limits == [4096, 4096]
    # Read once per agent, not per call.
    assert model_server.info_requests == read


def test_a_prompt_that_fills_the_context_is_not_sent(shop, model_server, monkeypatch):
    from norviai.askflow.flowsteps import SQLGeneration

    monkeypatch.setenv("NORVIAI_MODEL_CONTEXT", "200")
    agent = SQLGraph._from_openai_server(shop, "small", "large", model_server.openai_base_url, "k")
    step = SQLGeneration(db=shop, model=agent.sql_generation_model)
    state = {
        "user_question": QUESTION,
        "schemas_from_relevant_tables": shop.get_table_info_no_throw(["orders", "customers"]),
        "sql_generation_prompt_type": "generation",
    }
    (query,) = step.invoke(state)["generated_sql_query"]
    assert query == (
        "-- unusable reply: the prompt leaves no room for a reply in the model's context of "
        "200 tokens"
    )
    assert model_server.requests == []
