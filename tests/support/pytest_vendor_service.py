"""pytest plugin: a fresh norviai-service process for each test that asks for `vendor_service`."""

import copy

import pytest

from support.vendor_service import VendorService

# Points at the discard port on loopback: nothing answers there, and tests rewrite it as needed.
DEFAULT_DEPLOYMENTS = {
    "azure": [
        {
            "model": "GPT-3.5",
            "deployment_name": "gpt-35-turbo",
            "azure_endpoint": "http://127.0.0.1:9/",
            "api_key": "azure-test-key-small",
            "api_version": "2024-02-01",
        },
        {
            "model": "GPT-4o",
            "deployment_name": "gpt-4o",
            "azure_endpoint": "http://127.0.0.1:9/",
            "api_key": "azure-test-key-large",
            "api_version": "2024-02-01",
        },
    ],
    "openai": [
        {"model_name": "gpt-3.5-turbo", "temperature": 0, "api_key": "openai-test-key-small"},
        {"model_name": "gpt-4o", "api_key": "openai-test-key-large"},
    ],
}


@pytest.fixture
def vendor_service_deployments():
    """The deployments the service starts with; a test may override this fixture."""
    return copy.deepcopy(DEFAULT_DEPLOYMENTS)


@pytest.fixture
def vendor_service_token():
    """The bearer token the service requires, None for none; a test may override this fixture."""
    return None


@pytest.fixture
def vendor_service(vendor_service_deployments, vendor_service_token, tmp_path):
    service = VendorService(
        None, vendor_service_deployments, tmp_path / "vendor-service", token=vendor_service_token
    )
    try:
        yield service
    finally:
        service.stop()
