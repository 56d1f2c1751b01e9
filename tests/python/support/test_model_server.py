"""The scripted model server, driven by the real openai clients and langchain over HTTP."""

import threading
import time

import openai
import pytest
from langchain_community.callbacks import get_openai_callback
from langchain_core.messages import HumanMessage, SystemMessage
from langchain_openai import AzureChatOpenAI, ChatOpenAI
from pydantic import BaseModel, Field

from support.model_server import (
    ModelServer,
    cut_connection,
    delay,
    fault,
    no_tool_calls,
    not_json,
    text_reply,
    tool_call_reply,
    tool_calls_reply,
)

pytestmark = pytest.mark.timeout(30)

API_VERSION = "2024-02-01"
QUESTION = [{"role": "user", "content": "How many orders?"}]


class RelevantTables(BaseModel):
    """Tables needed to answer the question."""

    tables: list[str] = Field(description="table names")


def azure_client(server, **options):
    options.setdefault("max_retries", 0)
    return openai.AzureOpenAI(
        azure_endpoint=server.base_url, api_key="azure-key", api_version=API_VERSION, **options
    )


def openai_client(server, **options):
    options.setdefault("max_retries", 0)
    return openai.OpenAI(base_url=server.openai_base_url, api_key="sk-test", **options)


def azure_chat(server, **options):
    return AzureChatOpenAI(
        azure_endpoint=server.base_url,
        api_key="azure-key",
        api_version=API_VERSION,
        azure_deployment="gpt35-deployment",
        max_retries=0,
        **options,
    )


class TestUrlFlavours:
    def test_azure_client_reaches_the_deployment_path_with_its_key(self, model_server):
        model_server.enqueue(text_reply("42 orders"))
        completion = azure_client(model_server).chat.completions.create(
            model="gpt35-deployment", messages=QUESTION
        )
        assert completion.choices[0].message.content == "42 orders"
        assert completion.choices[0].finish_reason == "stop"
        assert completion.model == "gpt-35-turbo"
        request = model_server.last_request
        assert request.flavour == "azure"
        assert request.path == "/openai/deployments/gpt35-deployment/chat/completions"
        assert request.deployment == "gpt35-deployment"
        assert request.query == {"api-version": API_VERSION}
        assert request.headers["api-key"] == "azure-key"
        assert request.api_key == "azure-key"
        assert request.messages == QUESTION

    @pytest.mark.parametrize("suffix", ["/v1", ""])
    def test_openai_client_sends_a_bearer_key(self, model_server, suffix):
        model_server.enqueue(text_reply("hello"))
        client = openai.OpenAI(
            base_url=model_server.base_url + suffix, api_key="sk-test", max_retries=0
        )
        completion = client.chat.completions.create(model="gpt-4o-mini", messages=QUESTION)
        assert completion.choices[0].message.content == "hello"
        request = model_server.last_request
        assert request.flavour == "openai"
        assert request.deployment is None
        assert request.path == suffix + "/chat/completions"
        assert request.headers["authorization"] == "Bearer sk-test"
        assert request.model == "gpt-4o-mini"

    def test_a_server_key_refuses_other_keys(self):
        with ModelServer(api_key="right") as server:
            server.respond_with(lambda request: text_reply("ok"))
            with pytest.raises(openai.AuthenticationError):
                azure_client(server).chat.completions.create(model="d", messages=QUESTION)
            good = openai.OpenAI(base_url=server.openai_base_url, api_key="right")
            assert good.chat.completions.create(model="m", messages=QUESTION).choices


class TestScripts:
    @pytest.mark.filterwarnings("ignore:Parameters {'top_p'} should be specified explicitly")
    def test_structured_output_follows_the_tool_script_and_records_the_body(self, model_server):
        model_server.on_tool(
            "RelevantTables",
            {"tables": ["orders"]},
            lambda request: {"tables": [request.messages[-1]["content"]]},
            {"tables": ["customers", "orders"]},
        )
        model = azure_chat(
            model_server, temperature=0, max_tokens=300, model_kwargs={"top_p": 0.95}
        )
        picker = model.with_structured_output(RelevantTables)
        answers = [picker.invoke(f"question {n}") for n in range(4)]
        assert answers == [
            RelevantTables(tables=["orders"]),
            RelevantTables(tables=["question 1"]),
            RelevantTables(tables=["customers", "orders"]),
            RelevantTables(tables=["customers", "orders"]),
        ]
        body = model_server.requests[0].body
        assert body["tool_choice"] == {"type": "function", "function": {"name": "RelevantTables"}}
        assert model_server.requests[0].forced_tool == "RelevantTables"
        assert model_server.requests[0].tool_names == ["RelevantTables"]
        parameters = model_server.requests[0].tools[0]["function"]["parameters"]
        assert parameters["properties"]["tables"]["type"] == "array"
        assert (body["temperature"], body["max_tokens"], body["top_p"]) == (0, 300, 0.95)
        assert body["messages"] == [{"role": "user", "content": "question 0"}]

    def test_queue_comes_first_then_tool_scripts_then_the_responder(self, model_server):
        model_server.respond_with(lambda request: text_reply(f"responder {request.index}"))
        model_server.on_tool("RelevantTables", {"tables": ["from script"]})
        model_server.enqueue(
            tool_call_reply("RelevantTables", {"tables": ["queued"]}), text_reply("second")
        )
        model = azure_chat(model_server)
        picker = model.with_structured_output(RelevantTables)
        assert picker.invoke("a") == RelevantTables(tables=["queued"])
        assert model.invoke("b").content == "second"
        assert model_server.queued == 0
        assert picker.invoke("c") == RelevantTables(tables=["from script"])
        assert model.invoke("d").content == "responder 3"

    def test_several_tool_calls_in_one_message(self, model_server):
        model_server.enqueue(
            tool_calls_reply([("sql_db_query", {"query": "SELECT 1"}, "call_a"), ("plot", {})])
        )
        model = ChatOpenAI(base_url=model_server.openai_base_url, api_key="sk", max_retries=0)
        message = model.invoke([SystemMessage("You query."), HumanMessage("go")])
        assert [(call["name"], call["args"]) for call in message.tool_calls] == [
            ("sql_db_query", {"query": "SELECT 1"}),
            ("plot", {}),
        ]
        assert message.tool_calls[0]["id"] == "call_a"
        assert message.tool_calls[1]["id"] not in ("", None, "call_a")
        assert message.response_metadata["finish_reason"] == "tool_calls"

    def test_streamed_text_and_tool_calls(self, model_server):
        model_server.enqueue(text_reply("streamed answer"), tool_call_reply("plot", {"x": 1}))
        model = ChatOpenAI(base_url=model_server.openai_base_url, api_key="sk", max_retries=0)
        assert "".join(chunk.content for chunk in model.stream("q")) == "streamed answer"
        chunks = list(
            model.bind_tools([{"type": "function", "function": {"name": "plot"}}]).stream("q")
        )
        merged = chunks[0]
        for chunk in chunks[1:]:
            merged += chunk
        assert [(call["name"], call["args"]) for call in merged.tool_calls] == [("plot", {"x": 1})]
        assert model_server.requests[0].body["stream"] is True

    def test_unmatched_request_fails_loudly_without_retries(self, model_server):
        client = openai_client(model_server, max_retries=2)
        with pytest.raises(openai.InternalServerError, match="no scripted reply matched"):
            client.chat.completions.create(model="m", messages=QUESTION)
        assert len(model_server.requests) == 1

    def test_a_script_that_raises_is_reported(self):
        with ModelServer() as server:
            server.respond_with(lambda request: 1 / 0)
            with pytest.raises(openai.InternalServerError, match="ZeroDivisionError"):
                openai_client(server).chat.completions.create(model="m", messages=QUESTION)
            assert "ZeroDivisionError" in server.errors[0]


class TestUsage:
    def test_callback_counts_the_reply_usage_and_prices_the_model(self, model_server):
        model_server.enqueue(
            text_reply("priced", usage={"prompt_tokens": 1000, "completion_tokens": 500})
        )
        with get_openai_callback() as callback:
            azure_chat(model_server).invoke("q")
        assert (callback.prompt_tokens, callback.completion_tokens) == (1000, 500)
        assert callback.total_tokens == 1500
        assert callback.successful_requests == 1
        assert callback.total_cost == pytest.approx(1.0 * 0.0015 + 0.5 * 0.002)

    def test_default_usage_is_deterministic_and_model_is_settable(self):
        with ModelServer(model="gpt-4") as server:
            server.respond_with(lambda request: text_reply("same answer"))
            client = openai_client(server)
            first, second = (
                client.chat.completions.create(model="m", messages=QUESTION) for _ in range(2)
            )
            assert first.usage == second.usage
            assert first.usage.prompt_tokens > 0 and first.usage.completion_tokens > 0
            assert first.usage.total_tokens == (
                first.usage.prompt_tokens + first.usage.completion_tokens
            )
            assert first.model == "gpt-4" and first.id != second.id
            server.enqueue(text_reply("x", model="gpt-4o"))
            assert client.chat.completions.create(model="m", messages=QUESTION).model == "gpt-4o"


class TestFaults:
    def test_client_retries_past_a_500(self, model_server):
        model_server.enqueue(fault(500))
        model_server.respond_with(lambda request: text_reply("recovered"))
        completion = azure_client(model_server, max_retries=1).chat.completions.create(
            model="d", messages=QUESTION
        )
        assert completion.choices[0].message.content == "recovered"
        assert len(model_server.requests) == 2

    def test_retry_after_is_honoured(self, model_server):
        model_server.enqueue(fault(429, retry_after=1), text_reply("after the wait"))
        client = openai_client(model_server, max_retries=1)
        assert client.chat.completions.create(model="m", messages=QUESTION).choices
        first, second = model_server.requests
        # Without the header the first back-off is at most half a second.
        assert second.received_at - first.received_at >= 0.95

    def test_delay_beyond_the_timeout_does_not_block_other_requests(self, model_server):
        def answer(request):
            if request.messages[-1]["content"] == "slow":
                return delay(5, then=text_reply("late"))
            return text_reply("prompt")

        model_server.respond_with(answer)
        client = openai_client(model_server)
        slow_message = [{"role": "user", "content": "slow"}]
        outcome = []

        def slow_call():
            try:
                client.with_options(timeout=1.5).chat.completions.create(
                    model="m", messages=slow_message
                )
            except openai.APIError as error:
                outcome.append(error)

        slow = threading.Thread(target=slow_call)
        slow.start()
        while not model_server.requests:
            time.sleep(0.01)
        prompt = client.chat.completions.create(model="m", messages=QUESTION)
        assert prompt.choices[0].message.content == "prompt"
        assert slow.is_alive()  # answered while the slow request was still held
        slow.join(5)
        assert isinstance(outcome[0], openai.APITimeoutError)

    def test_delay_without_a_reply_answers_from_the_rest_of_the_script(self, model_server):
        model_server.enqueue(delay(0.2))
        model_server.on_tool("RelevantTables", {"tables": ["t"]})
        picker = azure_chat(model_server).with_structured_output(RelevantTables)
        assert picker.invoke("q") == RelevantTables(tables=["t"])

    def test_stop_does_not_wait_for_a_delayed_request_or_an_idle_connection(self):
        server = ModelServer().start()
        idle = openai_client(server)  # keeps its connection open after the answer
        server.enqueue(text_reply("first"), delay(30, then=text_reply("never")))
        assert idle.chat.completions.create(model="m", messages=QUESTION).choices
        errors = []

        def call():
            try:
                openai_client(server, timeout=60).chat.completions.create(
                    model="m", messages=QUESTION
                )
            except openai.APIError as error:
                errors.append(error)

        caller = threading.Thread(target=call)
        caller.start()
        while len(server.requests) < 2:
            time.sleep(0.01)
        started = time.monotonic()
        server.stop()
        assert time.monotonic() - started < 2
        caller.join(5)
        assert isinstance(errors[0], openai.APIConnectionError)

    def test_cut_connection_is_a_connection_error(self, model_server):
        model_server.enqueue(cut_connection())
        with pytest.raises(openai.APIConnectionError) as raised:
            openai_client(model_server).chat.completions.create(model="m", messages=QUESTION)
        assert not isinstance(raised.value, openai.APITimeoutError)

    def test_bodies_that_are_not_json(self, model_server):
        model_server.enqueue(not_json(200), not_json(502, body="upstream down"))
        client = openai_client(model_server)
        # The client hands back the raw text of a 200 that is not JSON.
        page = client.chat.completions.create(model="m", messages=QUESTION)
        assert page == "<html><body>Bad gateway</body></html>"
        with pytest.raises(openai.InternalServerError, match="upstream down") as raised:
            client.chat.completions.create(model="m", messages=QUESTION)
        assert raised.value.status_code == 502

    def test_a_reply_without_the_forced_tool_call(self, model_server):
        model_server.on_tool("RelevantTables", no_tool_calls("I cannot pick tables."))
        picker = azure_chat(model_server).with_structured_output(RelevantTables, include_raw=True)
        result = picker.invoke("q")
        assert result["parsed"] is None
        assert result["raw"].content == "I cannot pick tables."
        assert result["raw"].tool_calls == []
