"""The steps module's set-up, structured-output models, initialisation and routing."""

import pytest

from norviai.askflow import askflow_prompts, flowsteps


def test_module_setup_selects_agg_and_exposes_library_names_and_prompts():
    import matplotlib

    assert matplotlib.get_backend().lower() == "agg"
    for name in askflow_prompts.__all__:
        assert getattr(flowsteps, name) is getattr(askflow_prompts, name)
    for name in [
        "ChatPromptTemplate",
        "QuerySQLCheckerTool",
        "ToolExecutor",
        "SQLAlchemyError",
        "Runnable",
        "RunnableConfig",
        "logger",
        "CustomSQLDatabase",
        "StringIO",
    ]:
        assert hasattr(flowsteps, name), name


@pytest.mark.parametrize(
    "model, fields",
    [
        ("RelevantTablesOutput", {"relevant_tables": ("array", "List of relevant table names")}),
        ("RewriteQueryOutput", {"rewritten_question": ("string", "Rewritten question")}),
        ("PythonCodeInput", {"code": ("string", "Python code to be executed")}),
        ("SQLQueryInput", {"sql_query": ("string", "SQL query string to be executed")}),
        (
            "GenerationOutput",
            {
                "image_path": ("string", "image path generated if exists in context"),
                "final_response": ("string", "final response"),
            },
        ),
        (
            "PandasCodeOutput",
            {
                "pandas_ai": (
                    "boolean",
                    "Whether question should answer by using pandas_ai or not. In case, the "
                    "answer can derive directly from sql_execution_result, False. If the answer "
                    "involves analysis/plotting/forecast then True.",
                ),
                "final_answer": ("boolean", "Final answer"),
                "follow_up_question": ("boolean", "Follow up question"),
            },
        ),
    ],
)
def test_model_schemas(model, fields):
    schema = getattr(flowsteps, model).model_json_schema()
    assert schema["title"] == model
    assert list(schema["properties"]) == list(fields)
    assert schema["required"] == list(fields)
    for name, (json_type, description) in fields.items():
        assert schema["properties"][name]["type"] == json_type
        assert schema["properties"][name]["description"] == description
    if model == "RelevantTablesOutput":
        assert schema["properties"]["relevant_tables"]["items"] == {"type": "string"}


def test_initialisation_resets_in_place_and_keeps_other_keys():
    earlier = {"generated_sql_query": ["old"], "execution_error": ["e"], "sql_execution_result": []}
    inputs = {
        "user_question": "q",
        "save_path": "media",
        "use_pandas_ai_flag": True,
        "max_iterations": 9,
        "iteration_count": 4,
        "rewrite_count": 1,
        **earlier,
    }
    old_lists = [inputs[key] for key in earlier]
    result = flowsteps.initialisation(inputs)
    assert result is inputs
    assert result == {
        "user_question": "q",
        "save_path": "media",
        "use_pandas_ai_flag": True,
        "max_iterations": 5,
        "iteration_count": 0,
        "rewrite_count": 0,
        "generated_sql_query": [],
        "execution_error": [],
        "sql_execution_result": [],
        "rewritten_question": "",
        "pandas_generation_prompt_type": "generation",
        "max_iterations_pandas": 3,
    }
    lists = [result[key] for key in earlier]
    assert all(new is not old for new, old in zip(lists, old_lists))
    assert len({id(item) for item in lists}) == 3
    assert "iteration_count_pandas" not in result


def test_initialisation_keeps_a_given_pandas_limit():
    assert flowsteps.initialisation({"max_iterations_pandas": 7})["max_iterations_pandas"] == 7


class DictSubclass(dict):
    pass


ALL_FUNCTIONS = [
    "initialisation",
    "sql_syntax_condition",
    "sql_execution_condition",
    "pandas_execution_condition",
    "pandas_code_condition",
    "handle_sql_error",
    "handle_pandas_error",
    "sql_error_handler_condition",
    "pandas_error_handler_condition",
]


@pytest.mark.parametrize("name", ALL_FUNCTIONS)
@pytest.mark.parametrize("value", [None, DictSubclass(), [("a", 1)]])
def test_non_dict_state_is_refused(name, value):
    parameter = "inputs" if name == "initialisation" else "state"
    with pytest.raises(TypeError) as error:
        getattr(flowsteps, name)(value)
    assert f"'{parameter}'" in str(error.value)
    assert "'dict'" in str(error.value)
    assert type(value).__name__ in str(error.value)


@pytest.mark.parametrize(
    "function, state, label",
    [
        ("sql_syntax_condition", {"is_valid_syntax": True}, "sql_execute"),
        ("sql_syntax_condition", {"is_valid_syntax": ""}, "sql_syntax_error"),
        ("sql_execution_condition", {"execution_success": True}, "pandas_generation"),
        ("sql_execution_condition", {"execution_success": False}, "sql_execution_error"),
        ("pandas_execution_condition", {"python_execution_success": True}, "final_response"),
        ("pandas_execution_condition", {"python_execution_success": 0}, "pandas_execution_error"),
        ("pandas_code_condition", {"use_pandas_ai_flag": 1}, "use_pandas"),
        ("pandas_code_condition", {"use_pandas_ai_flag": None}, "generate_response"),
        (
            "sql_error_handler_condition",
            {"iteration_count": 4, "max_iterations": 5, "rewrite_count": 0},
            "regenerate_sql_query",
        ),
        (
            "sql_error_handler_condition",
            {"iteration_count": 5, "max_iterations": 5, "rewrite_count": 0},
            "rewrite_query",
        ),
        (
            "sql_error_handler_condition",
            {"iteration_count": 5, "max_iterations": 5, "rewrite_count": 1},
            "terminal_failure_response",
        ),
        (
            "sql_error_handler_condition",
            {"iteration_count": 0, "max_iterations": 5, "rewrite_count": 1},
            "terminal_failure_response",
        ),
        (
            "sql_error_handler_condition",
            {"iteration_count": 1, "max_iterations": 0, "rewrite_count": 0},
            "terminal_failure_response",
        ),
        (
            "pandas_error_handler_condition",
            {"iteration_count_pandas": 2, "max_iterations_pandas": 3},
            "regenerate_pandas_code",
        ),
        (
            "pandas_error_handler_condition",
            {"iteration_count_pandas": 3, "max_iterations_pandas": 3},
            "terminal_failure_response",
        ),
    ],
)
def test_condition_rows(function, state, label):
    assert getattr(flowsteps, function)(state) == label


def test_sql_error_condition_reads_rewrite_count_only_when_needed():
    # No row's first comparison holds, so the absent key is never read.
    state = {"iteration_count": 7, "max_iterations": 5}
    assert flowsteps.sql_error_handler_condition(state) == "terminal_failure_response"
    with pytest.raises(KeyError):
        flowsteps.sql_error_handler_condition({"iteration_count": 1, "max_iterations": 5})


SQL_GIVE_UP = {
    "sql_execution_result": ["SQL generation failed after max iterations"],
    "iteration_count": 0,
}


@pytest.mark.parametrize(
    "count, limit, rewrites, update",
    [
        (0, 5, 0, {"iteration_count": 1, "sql_generation_prompt_type": "correction"}),
        (5, 5, 0, {"rewrite_count": 1}),
        (0, 0, 0, {"rewrite_count": 1}),
        (3, 5, 1, SQL_GIVE_UP),
        (6, 5, 0, SQL_GIVE_UP),
    ],
)
def test_handle_sql_error_rows(count, limit, rewrites, update):
    state = {"iteration_count": count, "max_iterations": limit, "rewrite_count": rewrites}
    assert flowsteps.handle_sql_error(state) == update
    # The rewrite row resets the count in the mapping it was given.
    assert state["iteration_count"] == (0 if update == {"rewrite_count": 1} else count)


def test_handle_sql_error_needs_both_counters_and_orderable_values():
    with pytest.raises(KeyError):
        flowsteps.handle_sql_error({"iteration_count": 0, "max_iterations": 5})
    with pytest.raises(TypeError):
        flowsteps.handle_sql_error(
            {"iteration_count": None, "max_iterations": 5, "rewrite_count": 0}
        )


@pytest.mark.parametrize(
    "count, limit, update",
    [
        (2, 3, {"iteration_count_pandas": 1, "pandas_generation_prompt_type": "correction"}),
        (
            3,
            3,
            {
                "python_executed_output": "Python generation failed after max iterations",
                "iteration_count_pandas": 0,
            },
        ),
        (
            0,
            0,
            {
                "python_executed_output": "Python generation failed after max iterations",
                "iteration_count_pandas": 0,
            },
        ),
    ],
)
def test_handle_pandas_error_rows(count, limit, update):
    state = {"iteration_count_pandas": count, "max_iterations_pandas": limit}
    assert flowsteps.handle_pandas_error(state) == update
