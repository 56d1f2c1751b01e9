"""Facts about the question graph that several test files check against, and how they build it."""

NODE_NAMES = [
    "init_node",
    "table_names_lookup_node",
    "relevant_table_names_node",
    "relevant_schemas_node",
    "sql_generation_node",
    "rewrite_query_node",
    "sql_syntax_checker_node",
    "sql_execution_node",
    "pandas_generator_node",
    "pandas_executor_node",
    "final_response_generation_node",
    "pandas_error_handler_node",
    "sql_error_handler_node",
]


def settings(settings_class, deployment, server, api_key="k"):
    """Deployment settings of `settings_class` pointing at the scripted model server."""
    return settings_class(
        azure_deployment=deployment,
        azure_endpoint=server.base_url,
        api_key=api_key,
        api_version="2024-02-01",
    )
