"""SQLGraph's own checks: the run configuration, the input of invoke, and model time-outs."""

import collections
import time

import openai
import pytest

from support.model_server import delay, text_reply, tool_call_reply

DEFAULT_CONFIG = {
    "metadata": None,
    "tags": ["askflow"],
    "max_concurrency": 20,
    "recursion_limit": 50,
}


class Inputs(dict):
    pass


def test_run_configuration(idle_agent):
    assert idle_agent.runnable_config == DEFAULT_CONFIG
    assert idle_agent._config_graph() == DEFAULT_CONFIG
    assert idle_agent._config_graph(
        metadata={"user": "u1"}, tags=["a", "b"], max_concurrency=None, recursion_limit=7
    ) == {
        "metadata": {"user": "u1"},
        "tags": ["a", "b"],
        "max_concurrency": None,
        "recursion_limit": 7,
    }
    # A caller changing the tags it got back changes nobody else's configuration.
    idle_agent._config_graph()["tags"].append("changed")
    assert idle_agent._config_graph()["tags"] == ["askflow"]
    assert idle_agent.runnable_config["tags"] == ["askflow"]


@pytest.mark.parametrize(
    "arguments, name, expected, received",
    [
        ({"tags": ("askflow",)}, "tags", "list", "tuple"),
        ({"tags": None}, "tags", "list", "NoneType"),
        ({"recursion_limit": True}, "recursion_limit", "int", "bool"),
        ({"recursion_limit": 50.0}, "recursion_limit", "int", "float"),
        ({"metadata": []}, "metadata", "dict", "list"),
        ({"metadata": collections.OrderedDict()}, "metadata", "dict", "OrderedDict"),
        ({"max_concurrency": "20"}, "max_concurrency", "int", "str"),
        ({"max_concurrency": False}, "max_concurrency", "int", "bool"),
    ],
)
def test_configuration_types_are_checked_exactly(idle_agent, arguments, name, expected, received):
    with pytest.raises(TypeError, match=rf"\b{name}\b.*\b{expected}\b.*\b{received}\b"):
        idle_agent._config_graph(**arguments)


@pytest.mark.parametrize(
    "inputs, received",
    [
        (Inputs(user_question="How many orders?", save_path="media"), "Inputs"),
        (collections.OrderedDict(user_question="How many orders?"), "OrderedDict"),
        (None, "NoneType"),
        ([("user_question", "How many orders?")], "list"),
    ],
)
def test_invoke_refuses_anything_but_a_dict(idle_agent, idle_server, inputs, received):
    with pytest.raises(TypeError, match=rf"\binputs\b.*\bdict\b.*\b{received}\b"):
        idle_agent.invoke(inputs)
    assert idle_server.requests == []


@pytest.mark.parametrize("shop_db", ["sqlite"], indirect=True)
def test_stalled_model_service_ends_the_question(make_agent, model_server, monkeypatch, tmp_path):
    monkeypatch.setenv("NORVIAI_MODEL_TIMEOUT", "0.2")
    agent = make_agent()
    model_server.on_tool("select_relevant_tables", {"relevant_tables": ["orders"]})
    stalled = delay(30, tool_call_reply("SQLQueryInput", {"sql_query": "SELECT 1"}))
    model_server.on_tool("SQLQueryInput", stalled)

    started = time.monotonic()
    with pytest.raises(openai.APITimeoutError):
        agent.invoke({"user_question": "How many orders?", "save_path": str(tmp_path)})
    assert time.monotonic() - started < 10
    # The client's own retries stay: the first request and two more.
    assert [r.forced_tool for r in model_server.requests] == ["select_relevant_tables"] + [
        "SQLQueryInput"
    ] * 3


def test_openai_compatible_models_send_the_reply_limit_as_max_tokens(shop, model_server):
    from norviai.askflow.askflow import SQLGraph

    agent = SQLGraph._from_openai_server(shop, "small", "large", model_server.openai_base_url, "k")
    model_server.respond_with(lambda request: text_reply("ok"))
    for attribute, limit in [("sql_generation_model", 4096), ("pandas_code_model", 8192)]:
        getattr(agent, attribute).invoke("hello")
        body = model_server.last_request.body
        assert (body["max_tokens"], "max_completion_tokens" in body) == (limit, False), attribute
