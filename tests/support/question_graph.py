"""Facts about the question graph that several test files check against."""

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
