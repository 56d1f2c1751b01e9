"""The question graph over the scripted model server and the sample shop database."""

import re

import pytest
from langchain_openai import AzureChatOpenAI

from norviai.askflow.askflow import SQLGraph
from norviai.askflow.custom_sql import CustomSQLDatabase
from norviai.askflow.flowsteps import PandasExecutor
from norviai.settings import AzureOpenAIChat4, AzureOpenAIChat35
from support import sample_data
from support.model_server import ModelServer, text_reply
from support.question_graph import settings

API_KEY = "k"

# Request kind: deployment, max_tokens, temperature, top_p. The checker is the one plain chat
# request; every other request forces the tool it is named after.
MODEL_SETTINGS = {
    "select_relevant_tables": ("small", 800, 0.0, 0.95),
    "checker": ("small", 8192, 0, 0.95),
    "SQLQueryInput": ("large", 4096, 0, 0.95),
    "GenerationOutput": ("small", 4096, 0, 0.95),
    "PythonCodeInput": ("small", 8192, 0, 0.95),
    "RewriteQueryOutput": ("small", 4096, 0, 0.95),
}

FINAL_PROMPT = re.compile(
    r"User question: (?P<user_question>.*?)\n"
    r"SQL query: (?P<queries>.*?)\n"
    r"SQL query result: (?P<result>.*?)\n"
    r"Python code: (?P<code>.*?)\n"
    r"Python executed result: (?P<output>.*?)\n"
    r"Use the above result to address user's question\.",
    re.S,
)


def request_kind(request):
    return request.forced_tool or ("checker" if not request.tools else "unknown")


def checked_query(request):
    """The query the SQL checker was asked to look over (the tool's prompt starts with it)."""
    (message,) = request.messages
    return message["content"].split("\nDouble check the ")[0].strip()


class ModelScript:
    """Scripts the model per request kind and reads back what each kind was sent."""

    def __init__(self, server):
        self.server = server
        self.fence_checked_queries(False)

    def fence_checked_queries(self, fenced):
        """The checker echoes the query, bare or in a ```sql fence as models often write it."""

        def checker(request):
            if request.tools:
                return None
            query = checked_query(request)
            return text_reply(f"```sql\n{query}\n```" if fenced else query)

        self.server.respond_with(checker)

    def tables(self, *choices):
        self.server.on_tool(
            "select_relevant_tables", *({"relevant_tables": list(c)} for c in choices)
        )

    def queries(self, *queries):
        self.server.on_tool("SQLQueryInput", *({"sql_query": q} for q in queries))

    def programs(self, *programs):
        self.server.on_tool("PythonCodeInput", *({"code": p} for p in programs))

    def rewrite(self, question):
        self.server.on_tool("RewriteQueryOutput", {"rewritten_question": question})

    def answer(self, respond=None):
        """The final response: a function of the prompt's parts, or a fixed text."""

        def reply(request):
            parts = final_prompt_parts(request)
            if respond is None:
                return {"final_response": "answered", "image_path": ""}
            return respond(parts)

        self.server.on_tool("GenerationOutput", reply)

    @property
    def kinds(self):
        return [request_kind(r) for r in self.server.requests]

    def sent(self, kind):
        return [r for r in self.server.requests if request_kind(r) == kind]

    def final_prompts(self):
        return [r.messages[-1]["content"] for r in self.sent("GenerationOutput")]

    def final_prompt_parts(self):
        return [final_prompt_parts(r) for r in self.sent("GenerationOutput")]

    def checked_queries(self):
        return [checked_query(r) for r in self.sent("checker")]

    def assert_model_settings(self):
        requests = self.server.requests
        assert requests
        for request in requests:
            kind = request_kind(request)
            assert kind in MODEL_SETTINGS, kind
            deployment, max_tokens, temperature, top_p = MODEL_SETTINGS[kind]
            body = request.body
            observed = (
                request.flavour,
                request.deployment,
                request.api_key,
                body["max_tokens"],
                body["temperature"],
                body["top_p"],
            )
            assert observed == ("azure", deployment, API_KEY, max_tokens, temperature, top_p), kind
            if kind == "select_relevant_tables":
                assert body["model"] == "small"


def final_prompt_parts(request):
    match = FINAL_PROMPT.fullmatch(request.messages[-1]["content"])
    assert match, request.messages[-1]["content"]
    return match.groupdict()


@pytest.fixture
def shop(shop_db):
    return CustomSQLDatabase.from_uri(shop_db.url)


@pytest.fixture
def make_agent(shop, model_server):
    """Builds an SQLGraph over the sample database and the scripted server; the models read
    their settings from the environment when they are built."""

    def build():
        return SQLGraph(
            custom_sql_db=shop,
            config_35=settings(AzureOpenAIChat35, "small", model_server),
            config_4=settings(AzureOpenAIChat4, "large", model_server),
        )

    return build


@pytest.fixture
def agent(make_agent):
    return make_agent()


@pytest.fixture(scope="module")
def idle_server():
    with ModelServer() as server:
        yield server


@pytest.fixture(scope="module")
def idle_agent(tmp_path_factory, idle_server):
    """One agent for the checks that ask no question: a SQLite copy of the sample database and
    a server that no test of the module scripts."""
    url = "sqlite:///{}".format(tmp_path_factory.mktemp("shop") / "shop.db")
    sample_data.load(url)
    return SQLGraph(
        custom_sql_db=CustomSQLDatabase.from_uri(url),
        config_35=settings(AzureOpenAIChat35, "small", idle_server),
        config_4=settings(AzureOpenAIChat4, "large", idle_server),
    )


@pytest.fixture
def script(model_server):
    return ModelScript(model_server)


@pytest.fixture
def ask(agent):
    """Runs one question as SQLGraph.invoke does; returns the final state and the nodes each
    graph step ran."""

    def run(inputs):
        steps = {}
        final = None
        chunks = agent.compiled_graph.stream(
            inputs, config=agent.runnable_config, stream_mode=["debug", "values"]
        )
        for mode, chunk in chunks:
            if mode == "values":
                final = chunk
            elif chunk["type"] == "task":
                steps.setdefault(chunk["step"], []).append(chunk["payload"]["name"])
        return final, [sorted(steps[number]) for number in sorted(steps)]

    return run


@pytest.fixture
def executor():
    # The executor never calls its model; nothing listens on this address.
    model = AzureChatOpenAI(
        azure_deployment="small",
        azure_endpoint="http://127.0.0.1:9",
        api_key="k",
        api_version="2024-02-01",
    )
    return PandasExecutor(model=model)
