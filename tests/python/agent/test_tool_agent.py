"""An AgentExecutor over CustomRunnableAgent, with a chat model bound to two tools, against the
scripted model server."""

import json

import openai
import pytest
from langchain.agents import AgentExecutor
from langchain.agents.format_scratchpad.openai_tools import format_to_openai_tool_messages
from langchain.agents.output_parsers.openai_tools import OpenAIToolsAgentOutputParser
from langchain_core.prompts import ChatPromptTemplate, MessagesPlaceholder
from langchain_core.runnables import RunnablePassthrough
from langchain_core.tools import StructuredTool
from langchain_openai import ChatOpenAI

from norviai.agent import CustomRunnableAgent
from support.model_server import fault, text_reply, tool_call_reply

pytestmark = pytest.mark.timeout(30)

SYSTEM = "You answer questions about the shop's prices."
QUESTION = "What does the lamp cost in euros?"


def price_of(product: str) -> str:
    """Price of a product in US dollars."""
    return json.dumps({"product": product, "usd": 12.5})


def to_currency(amount: float, currency: str) -> str:
    """Convert an amount in US dollars to another currency."""
    return f"{amount * 0.88:.2f} {currency}"


@pytest.fixture
def executor(model_server):
    tools = [
        StructuredTool.from_function(price_of, name="price_of"),
        StructuredTool.from_function(to_currency, name="to_currency"),
    ]
    prompt = ChatPromptTemplate.from_messages(
        [("system", SYSTEM), ("human", "{input}"), MessagesPlaceholder("agent_scratchpad")]
    )
    model = ChatOpenAI(
        model="gpt-4o-mini",
        base_url=model_server.openai_base_url,
        api_key="tool-agent-key",
        max_retries=0,
        timeout=10,
    )
    scratchpad = RunnablePassthrough.assign(
        agent_scratchpad=lambda x: format_to_openai_tool_messages(x["intermediate_steps"])
    )
    runnable = scratchpad | prompt | model.bind_tools(tools) | OpenAIToolsAgentOutputParser()
    return AgentExecutor(agent=CustomRunnableAgent(runnable=runnable), tools=tools)


def test_two_tools_in_turn_then_an_answer(model_server, executor):
    model_server.enqueue(
        tool_call_reply("price_of", {"product": "lamp"}, "call_price"),
        tool_call_reply("to_currency", {"amount": 12.5, "currency": "EUR"}, "call_convert"),
        text_reply("The lamp costs 11.00 EUR."),
    )

    assert executor.invoke({"input": QUESTION}) == {
        "input": QUESTION,
        "output": "The lamp costs 11.00 EUR.",
    }

    first, second, third = model_server.requests
    for request in (first, second, third):
        assert request.tool_names == ["price_of", "to_currency"]
        assert request.api_key == "tool-agent-key"
        # Each step is planned with one plain invoke, never a stream.
        assert not request.body.get("stream")
    assert [(m["role"], m["content"]) for m in first.messages] == [
        ("system", SYSTEM),
        ("user", QUESTION),
    ]

    price = {"role": "tool", "tool_call_id": "call_price", "content": price_of("lamp")}
    convert = {"role": "tool", "tool_call_id": "call_convert", "content": "11.00 EUR"}
    assert second.messages[2]["tool_calls"][0]["id"] == "call_price"
    assert second.messages[3] == price
    assert len(second.messages) == 4
    assert [m.get("tool_call_id") for m in third.messages] == [
        None,
        None,
        None,
        "call_price",
        None,
        "call_convert",
    ]
    assert third.messages[3] == price
    assert third.messages[5] == convert
    assert json.loads(third.messages[4]["tool_calls"][0]["function"]["arguments"]) == {
        "amount": 12.5,
        "currency": "EUR",
    }


def test_a_model_error_reaches_the_caller(model_server, executor):
    model_server.enqueue(tool_call_reply("price_of", {"product": "lamp"}, "call_1"), fault(400))
    with pytest.raises(openai.BadRequestError):
        executor.invoke({"input": QUESTION})
    assert len(model_server.requests) == 2
