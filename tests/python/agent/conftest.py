"""Agent fixtures: norviai-service handing out deployments on the scripted model server, the sample
database's connection arguments, and a question scripted end to end with known usage figures."""

import itertools
import threading

import pytest
from langchain_community.callbacks.openai_info import TokenType, get_openai_token_cost_for_model

from support.http_stub import StubService
from support.model_server import text_reply, tool_call_reply


@pytest.fixture
def vendor_service_deployments(model_server):
    """A smaller and a larger deployment, both on the scripted model server."""

    def record(model, name, key):
        return {
            "model": model,
            "deployment_name": name,
            "azure_endpoint": model_server.base_url,
            "api_key": key,
            "api_version": "2024-02-01",
        }

    return {
        "azure": [
            record("GPT-3.5", "small", "azure-key-small-81c2"),
            record("GPT-4-32k", "large", "azure-key-large-4b9e"),
        ],
        "openai": [{"model_name": "gpt-4o-mini", "api_key": "openai-key-9f"}],
    }


@pytest.fixture
def service(vendor_service, monkeypatch):
    monkeypatch.setenv("NORVIAI_SERVICE_URL", vendor_service.url)
    monkeypatch.setenv("NORVIAI_MODEL_TIMEOUT", "20")
    return vendor_service


@pytest.fixture
def connection(shop_db):
    """create_agent's engine, db_name, db_user, db_password, db_host and db_port for shop_db."""
    if shop_db.engine_name == "sqlite":
        return ("SQLite", shop_db.path, None, None, None, None)
    if shop_db.engine_name == "postgresql":
        server = shop_db.server
        return (
            "PostgreSQL",
            server.database,
            server.user,
            server.password,
            server.host,
            server.port,
        )
    pytest.skip(f"the front end is tested on SQLite and PostgreSQL, not {shop_db.engine_name}")


class ScriptedQuestion:
    """Answers every model call of one question by the tool it forces, each reply carrying its own
    usage figures, so that the question's tokens and cost are known exactly."""

    PRICED_AS = {"SQLQueryInput": "gpt-4-32k"}  # the large deployment answers as its model

    def __init__(self, model_server, *, tables=("orders",), sql="SELECT COUNT(*) FROM orders"):
        self.tables = list(tables)
        self.sql = sql
        self.code = "print('orders counted')"
        self.answer = "The shop has received every order counted above."
        self.image_path = ""
        self.rewritten = "Count the orders in the shop"
        self.usages = []  # (model, prompt_tokens, completion_tokens) of every reply
        self._sizes = itertools.count(1)
        self._lock = threading.Lock()
        model_server.respond_with(self.reply)

    def reply(self, request):
        tool = request.forced_tool
        arguments = {
            "select_relevant_tables": lambda: {"relevant_tables": self.tables},
            "SQLQueryInput": lambda: {"sql_query": self.sql},
            "PythonCodeInput": lambda: {"code": self.code},
            "RewriteQueryOutput": lambda: {"rewritten_question": self.rewritten},
            "GenerationOutput": lambda: {
                "final_response": self.answer,
                "image_path": self.image_path,
            },
        }
        model = self.PRICED_AS.get(tool, "gpt-35-turbo")
        with self._lock:
            size = next(self._sizes)
            usage = {"prompt_tokens": 1000 + 37 * size, "completion_tokens": 20 + 3 * size}
            self.usages.append((model, usage["prompt_tokens"], usage["completion_tokens"]))
        if tool is None:  # the SQL checker's plain chat request
            return text_reply(f"```sql\n{self.sql}\n```", usage=usage, model=model)
        return tool_call_reply(tool, arguments[tool](), usage=usage, model=model)

    @property
    def tokens(self):
        return sum(prompt + completion for _, prompt, completion in self.usages)

    @property
    def cost(self):
        return sum(
            get_openai_token_cost_for_model(model, prompt)
            + get_openai_token_cost_for_model(model, completion, token_type=TokenType.COMPLETION)
            for model, prompt, completion in self.usages
        )


@pytest.fixture
def question(model_server):
    return ScriptedQuestion(model_server)


@pytest.fixture
def report_stub():
    """report_stub(status, body, content_type) starts a stub; all are closed at the end."""
    started = []

    def start(status, body, content_type="application/json"):
        started.append(StubService(status, body, content_type))
        return started[-1]

    yield start
    for stub in started:
        stub.close()
