import os
import sys

# tests/support is importable as the package `support`.
sys.path.insert(0, os.path.join(os.path.dirname(__file__), os.pardir))

pytest_plugins = [
    "support.pytest_model_server",
    "support.pytest_databases",
    "support.pytest_vendor_service",
]
