import pytest
from langchain_openai import AzureChatOpenAI
from loguru import logger

from norviai.askflow.custom_sql import CustomSQLDatabase
from norviai.settings import AzureOpenAIChat35


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
    return AzureChatOpenAI(
        **settings.__dict__, max_tokens=256, temperature=0, max_retries=0, timeout=20
    )


@pytest.fixture
def shop(shop_db):
    return CustomSQLDatabase.from_uri(shop_db.url)


@pytest.fixture
def log_messages():
    """The messages the steps log at INFO and above while the test runs."""
    messages = []
    handler = logger.add(lambda message: messages.append(message.record["message"]), level="INFO")
    yield messages
    logger.remove(handler)
