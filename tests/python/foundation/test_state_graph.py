"""The question state merged by a real langgraph StateGraph over our C++ functions."""

import inspect

import pytest
from langgraph.graph import END, StateGraph

from norviai.askflow import askflow, flowsteps
from norviai.askflow.askflow import SQLState


def test_state_declares_the_25_keys_in_order_with_their_annotations():
    annotations = SQLState.__annotations__
    assert len(annotations) == 25
    assert list(annotations)[:3] == [
        "user_question",
        "follow_up_question",
        "schemas_from_relevant_tables",
    ]
    assert list(annotations)[-1] == "pandas_generation_prompt_type"
    assert SQLState.__total__ is True
    # langgraph evaluates the text annotations in the module's namespace.
    import typing

    hints = typing.get_type_hints(SQLState, include_extras=True)
    assert hints["iteration_count"].__metadata__[0] is askflow.operator.add
    assert hints["generated_sql_query"].__metadata__[0] is askflow.operator.concat
    assert hints["image_path"] == (str | None)


def test_cpp_callables_carry_signatures():
    for name in [
        "initialisation",
        "handle_sql_error",
        "sql_error_handler_condition",
        "handle_pandas_error",
        "pandas_execution_condition",
    ]:
        parameters = list(inspect.signature(getattr(flowsteps, name)).parameters)
        assert len(parameters) == 1, name


def _graph():
    graph = StateGraph(SQLState)
    graph.add_node("init_node", flowsteps.initialisation)
    graph.add_node("sql_error_handler_node", flowsteps.handle_sql_error)
    graph.set_entry_point("init_node")
    graph.add_edge("init_node", "sql_error_handler_node")
    graph.add_conditional_edges(
        "sql_error_handler_node",
        flowsteps.sql_error_handler_condition,
        {
            "regenerate_sql_query": "sql_error_handler_node",
            "terminal_failure_response": END,
            "rewrite_query": END,
        },
    )
    return graph.compile()


def test_graph_merges_lists_by_concatenation_and_counters_by_addition():
    final = _graph().invoke({"user_question": "q", "save_path": "/tmp/x"})
    # The handler counts 1..5 repairs, then asks for a rewrite.
    assert final["iteration_count"] == 5
    assert final["sql_generation_prompt_type"] == "correction"
    assert final["generated_sql_query"] == []
    assert final["sql_execution_result"] == []
    assert final["execution_error"] == []
    assert final["rewritten_question"] == ""
    assert final["user_question"] == "q"
    # Last-value keys nobody wrote stay absent.
    for key in ("final_response", "pandas_code", "image_path", "execution_success"):
        assert key not in final
    assert final["max_iterations_pandas"] == 3


def test_repairs_then_rewrite_then_give_up_through_the_reducers():
    graph = StateGraph(SQLState)
    graph.add_node("init_node", flowsteps.initialisation)
    graph.add_node("sql_error_handler_node", flowsteps.handle_sql_error)
    # Stands for the failed execution after the rewrite: the handler runs once more.
    graph.add_node("after_rewrite_node", flowsteps.handle_sql_error)
    graph.set_entry_point("init_node")
    graph.add_edge("init_node", "sql_error_handler_node")
    graph.add_conditional_edges(
        "sql_error_handler_node",
        flowsteps.sql_error_handler_condition,
        {
            "regenerate_sql_query": "sql_error_handler_node",
            "terminal_failure_response": "after_rewrite_node",
            "rewrite_query": "sql_error_handler_node",
        },
    )
    graph.add_edge("after_rewrite_node", END)
    final = graph.compile().invoke({"user_question": "q", "save_path": "s"})
    # Five counted repairs, one rewrite (the in-place reset of the count does not reach the
    # stored state), then the give-up update appended to the history; its 0 adds nothing.
    assert final["rewrite_count"] == 1
    assert final["iteration_count"] == 5
    assert final["sql_execution_result"] == ["SQL generation failed after max iterations"]


def test_recursion_limit_stops_a_loop():
    from langgraph.errors import GraphRecursionError

    graph = StateGraph(SQLState)
    graph.add_node("init_node", flowsteps.initialisation)
    graph.add_node("pandas_error_handler_node", flowsteps.handle_pandas_error)
    graph.set_entry_point("init_node")
    graph.add_edge("init_node", "pandas_error_handler_node")
    # Always loops: a limit that is never reached.
    graph.add_conditional_edges(
        "pandas_error_handler_node",
        flowsteps.pandas_error_handler_condition,
        {"regenerate_pandas_code": "pandas_error_handler_node", "terminal_failure_response": END},
    )
    with pytest.raises(GraphRecursionError):
        graph.compile().invoke(
            {"user_question": "q", "save_path": "s", "max_iterations_pandas": 10**9},
            config={"recursion_limit": 10},
        )
