"""Connection settings of one Azure OpenAI deployment each.

An instance's attribute mapping is exactly the keyword set that both
``langchain_openai.AzureChatOpenAI`` and ``openai.AzureOpenAI`` accept, so callers
can spread ``settings.__dict__`` into either constructor and add their own
``max_tokens``, ``temperature``, ``model_kwargs`` or ``timeout``.
"""


class _AzureDeploymentSettings:
    def __init__(
        self,
        *,
        azure_deployment: str | None = None,
        azure_endpoint: str | None = None,
        api_key: str | None = None,
        api_version: str | None = None,
    ) -> None:
        self.azure_deployment = azure_deployment
        self.azure_endpoint = azure_endpoint
        self.api_key = api_key
        self.api_version = api_version

    def __repr__(self) -> str:
        # The key stays out of every printed form.
        masked = None if self.api_key is None else "***"
        return (
            f"{type(self).__name__}(azure_deployment={self.azure_deployment!r}, "
            f"azure_endpoint={self.azure_endpoint!r}, api_key={masked!r}, "
            f"api_version={self.api_version!r})"
        )


class AzureOpenAIChat35(_AzureDeploymentSettings):
    """The smaller deployment: every model of the question graph but SQL generation."""


class AzureOpenAIChat4(_AzureDeploymentSettings):
    """The larger deployment: SQL generation."""
