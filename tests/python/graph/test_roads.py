"""One question per road through the graph, end to end: the real clients talk to the scripted
model server over HTTP, the SQL runs on the sample database, the analysis code in its sandbox.
Each road is checked on the recorded model requests and on the final state."""

import pytest
from langgraph.errors import GraphRecursionError
from PIL import Image
from sqlalchemy import text

from norviai.askflow.flowsteps import SQL_PREFIX
from support.model_server import cut_by_length, no_tool_calls, raw_tool_call

pytestmark = pytest.mark.parametrize("shop_db", ["sqlite", "postgresql"], indirect=True)

QUESTION = "How many orders have been placed?"

SQL_PATH = [
    "init_node",
    "table_names_lookup_node",
    "relevant_table_names_node",
    "relevant_schemas_node",
    "sql_generation_node",
    "sql_syntax_checker_node",
    "sql_execution_node",
]
SQL_REPAIR = ["sql_error_handler_node", *SQL_PATH[4:]]
ANALYSIS = ["pandas_generator_node", "pandas_executor_node"]
ANALYSIS_FAILED = [*ANALYSIS, "final_response_generation_node+pandas_error_handler_node"]
FINAL = ["final_response_generation_node"]

CORRECTION = (
    "The user asked the following question:\n"
    "            {user_question}\n\n"
    "            You generated this python code:\n"
    "            {python_code}\n\n"
    "            It fails with the following error:\n"
    "            {error}\n\n"
    "            Fix the python code above and return the new python code:"
)

GIVE_UP_SQL = [f"SELECT nme{i} FROM customers" for i in range(5)]


def nodes(*names):
    """Expected steps: one node per step; "a+b" for nodes sharing a step."""
    return [sorted(name.split("+")) for name in names]


def scalar(shop_db, query):
    with shop_db.engine.connect() as connection:
        return connection.execute(text(query)).scalar()


def generation_user_message(shop, question, tables):
    schemas = shop.get_table_info_no_throw(tables)
    return {"role": "user", "content": f"{question}\n Schemas_from_relevant_tables: {schemas}"}


def answer_with_output(parts):
    return {"final_response": f"output: {parts['output'].strip()}", "image_path": ""}


def test_answer_on_the_first_try(ask, script, shop, shop_db, tmp_path):
    orders = scalar(shop_db, "SELECT COUNT(*) FROM orders")
    query = "SELECT COUNT(*) FROM orders"
    program = (
        "import pandas as pd\n"
        f"frame = pd.DataFrame([({orders},)], columns=['orders'])\n"
        "print(int(frame['orders'].sum()))"
    )
    script.tables(["orders"])
    script.queries(query)
    script.fence_checked_queries(True)
    script.programs(program)
    script.answer(answer_with_output)
    save_path = str(tmp_path / "media")

    final, steps = ask({"user_question": QUESTION, "save_path": save_path})

    assert steps == nodes(*SQL_PATH, *ANALYSIS, *FINAL)
    assert script.kinds == [
        "select_relevant_tables",
        "SQLQueryInput",
        "checker",
        "PythonCodeInput",
        "GenerationOutput",
    ]
    script.assert_model_settings()

    (picker,) = script.sent("select_relevant_tables")
    assert picker.messages == [{"role": "user", "content": QUESTION}]
    (generation,) = script.sent("SQLQueryInput")
    system, user = generation.messages
    assert system["role"] == "system"
    assert f"create a syntactically correct {shop.dialect} query" in system["content"]
    assert user == generation_user_message(shop, QUESTION, ["orders"])
    assert script.checked_queries() == [query]
    (code_request,) = script.sent("PythonCodeInput")
    code_prompt = "\n".join(message["content"] for message in code_request.messages)
    for shown in (QUESTION, query, f"[({orders},)]", save_path):
        assert shown in code_prompt

    # The checker's fence is gone before the query runs.
    assert script.final_prompts() == [
        f"User question: {QUESTION}\n"
        f"SQL query: ['{query}']\n"
        f"SQL query result: [({orders},)]\n"
        f"Python code: {program}\n"
        f"Python executed result: {orders}\n\n"
        "Use the above result to address user's question."
    ]
    expected = {
        "user_question": QUESTION,
        "save_path": save_path,
        "table_names_from_db": "customers, order_items, orders, products",
        "relevant_tables": ["orders"],
        "schemas_from_relevant_tables": shop.get_table_info_no_throw(["orders"]),
        "sql_generation_prompt_type": "generation",
        "generated_sql_query": [query],
        "sql_execution_result": [f"[({orders},)]"],
        "execution_success": True,
        "execution_error": [],
        "pandas_code": program,
        "python_executed_output": f"{orders}\n",
        "python_execution_success": True,
        "python_error_message": "absent",
        "pandas_generation_prompt_type": "generation",
        "final_response": f"output: {orders}",
        "image_path": "",
        "iteration_count": 0,
        "max_iterations": 5,
        "rewrite_count": 0,
        "rewritten_question": "",
        "iteration_count_pandas": 0,
    }
    assert {key: final.get(key, "absent") for key in expected} == expected


def test_sql_repaired_on_the_second_try(ask, script, shop, shop_db, tmp_path):
    bad = "SELECT nme FROM customers ORDER BY id LIMIT 3"
    good = "SELECT name FROM customers ORDER BY id LIMIT 3"
    with shop_db.engine.connect() as connection:
        names = [tuple(row) for row in connection.execute(text(good))]
    script.tables(["customers"])
    script.queries(bad, good)
    script.programs("print('three names')")
    script.answer()

    final, steps = ask({"user_question": "Name three customers.", "save_path": str(tmp_path)})

    assert steps == nodes(*SQL_PATH, *SQL_REPAIR, *ANALYSIS, *FINAL)
    assert script.kinds == [
        "select_relevant_tables",
        "SQLQueryInput",
        "checker",
        "SQLQueryInput",
        "checker",
        "PythonCodeInput",
        "GenerationOutput",
    ]
    script.assert_model_settings()

    error, rows = final["sql_execution_result"]
    assert "nme" in error and error != "None"
    assert rows == str(names)
    first, correction = script.sent("SQLQueryInput")
    assert first.messages[1] == generation_user_message(
        shop, "Name three customers.", ["customers"]
    )
    system, human = correction.messages
    assert system == {
        "role": "system",
        "content": SQL_PREFIX.format(
            dialect=shop.dialect,
            user_question="Name three customers.",
            table_names_from_db=final["table_names_from_db"],
        ),
    }
    # The failed pair: the query as it ran and the database's own error text.
    assert human["role"] == "user"
    assert bad in human["content"] and error in human["content"]
    assert script.checked_queries() == [bad, good]

    assert final["generated_sql_query"] == [bad, good]
    assert final["execution_success"] is True
    assert final["iteration_count"] == 1
    assert final["sql_generation_prompt_type"] == "correction"
    assert final["rewrite_count"] == 0
    assert final["python_executed_output"] == "three names\n"
    assert script.final_prompt_parts()[0]["result"] == str(names)


def test_question_rewritten_after_the_repair_limit_then_answered(
    ask, script, shop, shop_db, tmp_path
):
    rewritten = "How many customers have Italy as their country?"
    fixed = "SELECT COUNT(*) FROM customers WHERE country = 'Italy'"
    italians = scalar(shop_db, fixed)
    script.tables(["orders", "customers"], ["customers"])
    script.queries(*GIVE_UP_SQL, fixed)
    script.rewrite(rewritten)
    script.programs(f"print({italians})")
    script.answer(answer_with_output)
    question = "How many Italian customers do we have?"

    final, steps = ask({"user_question": question, "save_path": str(tmp_path)})

    assert steps == nodes(
        *SQL_PATH,
        *SQL_REPAIR * 4,
        "sql_error_handler_node",
        "rewrite_query_node",
        *SQL_PATH[2:],
        *ANALYSIS,
        *FINAL,
    )
    assert script.kinds == [
        "select_relevant_tables",
        *["SQLQueryInput", "checker"] * 5,
        "RewriteQueryOutput",
        "select_relevant_tables",
        "SQLQueryInput",
        "checker",
        "PythonCodeInput",
        "GenerationOutput",
    ]
    script.assert_model_settings()

    (rewrite,) = script.sent("RewriteQueryOutput")
    (system,) = rewrite.messages
    all_tables = [name.strip() for name in final["table_names_from_db"].split(",")]
    assert system["role"] == "system"
    assert question in system["content"]
    assert shop.get_table_info_no_throw(all_tables) in system["content"]
    # The picker and the schemas run again for the rewritten question; the SQL generation that
    # follows starts afresh from the newly chosen tables.
    pickers = script.sent("select_relevant_tables")
    assert [p.messages for p in pickers] == [[{"role": "user", "content": question}]] * 2
    generations = script.sent("SQLQueryInput")
    assert generations[0].messages[1] == generation_user_message(
        shop, question, ["orders", "customers"]
    )
    assert generations[-1].messages[1] == generation_user_message(shop, question, ["customers"])
    for attempt, correction in enumerate(generations[1:5], start=1):
        human = correction.messages[1]["content"]
        assert all(query in human for query in GIVE_UP_SQL[:attempt])
        assert GIVE_UP_SQL[attempt] not in human
    code_prompt = "\n".join(m["content"] for m in script.sent("PythonCodeInput")[0].messages)
    assert rewritten in code_prompt and question not in code_prompt

    assert final["rewritten_question"] == rewritten
    assert final["relevant_tables"] == ["customers"]
    assert final["generated_sql_query"] == [*GIVE_UP_SQL, fixed]
    assert len(final["sql_execution_result"]) == 6
    assert final["sql_execution_result"][-1] == f"[({italians},)]"
    assert final["iteration_count"] == 5
    assert final["rewrite_count"] == 0
    assert final["sql_generation_prompt_type"] == "generation"
    assert final["final_response"] == f"output: {italians}"


def test_everything_fails(ask, script, shop_db, tmp_path):
    no_rows = "SELECT name FROM customers WHERE country = 'Atlantis'"
    after_rewrite = "SELECT total_amount FROM orders"
    queries = [no_rows, *GIVE_UP_SQL[1:], after_rewrite]
    script.tables(["customers"], ["orders"])
    script.queries(*queries)
    script.rewrite("List the names of customers living in Atlantis.")
    script.answer(
        lambda parts: {"final_response": "No answer: " + parts["result"], "image_path": ""}
    )
    question = "Who lives in Atlantis?"

    final, steps = ask({"user_question": question, "save_path": str(tmp_path)})

    # N = 5 executions for the question as asked, one more after the rewrite, then the answer.
    assert steps == nodes(
        *SQL_PATH,
        *SQL_REPAIR * 4,
        "sql_error_handler_node",
        "rewrite_query_node",
        *SQL_PATH[2:],
        "sql_error_handler_node",
        *FINAL,
    )
    assert [name for step in steps for name in step].count("sql_execution_node") == 6
    assert script.kinds == [
        "select_relevant_tables",
        *["SQLQueryInput", "checker"] * 5,
        "RewriteQueryOutput",
        "select_relevant_tables",
        "SQLQueryInput",
        "checker",
        "GenerationOutput",
    ]
    script.assert_model_settings()

    results = final["sql_execution_result"]
    assert len(results) == 6
    assert results[0] == "None"  # no rows counts as a failure
    assert all("nme" in error for error in results[1:5])
    last_error = results[-1]
    assert "total_amount" in last_error
    assert final["rewrite_count"] == 1
    assert final["execution_success"] is False
    assert final["generated_sql_query"] == queries
    for never_written in ("pandas_code", "python_executed_output", "python_execution_success"):
        assert never_written not in final

    # Keys the analysis never wrote are shown as empty text, not a KeyError.
    assert script.final_prompt_parts() == [
        {
            "user_question": question,
            "queries": str(queries),
            "result": last_error,
            "code": "",
            "output": "",
        }
    ]
    assert final["final_response"] == "No answer: " + last_error


def test_analysis_code_repaired(ask, script, shop_db, tmp_path):
    failing = "counts = [3, 1, 2]\nprint(len(sum(counts)))"
    fixed = "counts = [3, 1, 2]\nprint(sum(counts))"
    error = "TypeError: object of type 'int' has no len()"
    script.tables(["orders"])
    script.queries("SELECT COUNT(*) FROM orders")
    script.programs(failing, fixed)
    script.answer(answer_with_output)

    final, steps = ask({"user_question": QUESTION, "save_path": str(tmp_path)})

    # The failed run schedules the final response and the error handler in one graph step.
    assert steps == nodes(*SQL_PATH, *ANALYSIS_FAILED, *ANALYSIS, *FINAL)
    assert script.kinds == [
        "select_relevant_tables",
        "SQLQueryInput",
        "checker",
        "PythonCodeInput",
        "GenerationOutput",
        "PythonCodeInput",
        "GenerationOutput",
    ]
    script.assert_model_settings()

    correction = script.sent("PythonCodeInput")[1]
    assert correction.messages == [
        {
            "role": "user",
            "content": CORRECTION.format(user_question=QUESTION, python_code=failing, error=error),
        }
    ]
    first, second = script.final_prompt_parts()
    assert (first["code"], first["output"]) == (failing, "")
    assert (second["code"], second["output"]) == (fixed, "6\n")

    assert final["python_execution_success"] is True
    assert final["python_executed_output"] == "6\n"
    assert final["python_error_message"] == error
    assert final["iteration_count_pandas"] == 1
    assert final["pandas_generation_prompt_type"] == "correction"
    assert final["pandas_code"] == fixed
    assert final["final_response"] == "output: 6"


FAILING_PROGRAMS = [
    ("print(pd.__version__)", "NameError: name 'pd' is not defined"),
    ("print(1 / 0)", "ZeroDivisionError: division by zero"),
    ("raise ValueError('no data')", "ValueError: no data"),
]


def test_analysis_gives_up_after_three_failures(ask, script, shop_db, tmp_path):
    script.tables(["orders"])
    script.queries("SELECT COUNT(*) FROM orders")
    script.programs(*(program for program, _ in FAILING_PROGRAMS))
    script.answer()

    final, steps = ask({"user_question": QUESTION, "save_path": str(tmp_path)})

    # Three runs (the first and two repairs); the handler's condition then ends the question.
    assert steps == nodes(*SQL_PATH, *ANALYSIS_FAILED * 3, *FINAL)
    assert script.kinds == [
        "select_relevant_tables",
        "SQLQueryInput",
        "checker",
        *["PythonCodeInput", "GenerationOutput"] * 3,
        "GenerationOutput",
    ]
    script.assert_model_settings()

    corrections = script.sent("PythonCodeInput")[1:]
    for request, (program, error) in zip(corrections, FAILING_PROGRAMS):
        expected = CORRECTION.format(user_question=QUESTION, python_code=program, error=error)
        assert request.messages == [{"role": "user", "content": expected}]
    last = script.final_prompt_parts()[-1]
    assert (last["code"], last["output"]) == (FAILING_PROGRAMS[-1][0], "")

    assert final["iteration_count_pandas"] == 3
    assert final["max_iterations_pandas"] == 3
    assert final["python_execution_success"] is False
    assert final["python_error_message"] == FAILING_PROGRAMS[-1][1]
    assert "python_executed_output" not in final
    assert final["final_response"] == "answered"


def test_analysis_give_up_text_reaches_the_final_prompt(ask, script, shop_db, tmp_path):
    # With no repair allowed the handler takes its give-up row on the first failure.
    script.tables(["orders"])
    script.queries("SELECT COUNT(*) FROM orders")
    script.programs(FAILING_PROGRAMS[0][0])
    script.answer()
    inputs = {"user_question": QUESTION, "save_path": str(tmp_path), "max_iterations_pandas": 0}

    final, steps = ask(inputs)

    assert steps == nodes(*SQL_PATH, *ANALYSIS_FAILED, *FINAL)
    outputs = [parts["output"] for parts in script.final_prompt_parts()]
    assert outputs == ["", "Python generation failed after max iterations"]
    assert final["python_executed_output"] == "Python generation failed after max iterations"
    assert final["python_execution_success"] is False
    assert final["iteration_count_pandas"] == 0
    script.assert_model_settings()


def test_plot_saved_under_the_media_folder(agent, script, shop_db, tmp_path):
    media = tmp_path / "media"
    program = (
        "import os\n"
        "import matplotlib.pyplot as plt\n"
        "rows = [('cancelled', 17), ('delivered', 124), ('pending', 21), ('shipped', 38)]\n"
        "plt.bar([status for status, _ in rows], [count for _, count in rows])\n"
        "plt.title('Orders by status')\n"
        "plt.savefig('orders_by_status.png')\n"
        "print(os.path.abspath('orders_by_status.png'))"
    )
    script.tables(["orders"])
    script.queries("SELECT status, COUNT(*) FROM orders GROUP BY status ORDER BY status")
    script.programs(program)
    script.answer(
        lambda parts: {
            "final_response": "Most orders were delivered.",
            "image_path": parts["output"].strip(),
        }
    )

    final = agent.invoke({"user_question": "Plot the orders by status.", "save_path": str(media)})

    assert isinstance(final, dict)
    image = media / "orders_by_status.png"
    assert final["image_path"] == str(image)
    assert final["python_executed_output"] == f"{image}\n"
    with Image.open(image) as picture:
        assert picture.format == "PNG"
        assert picture.width > 100 and picture.height > 100
    assert final["final_response"] == "Most orders were delivered."
    script.assert_model_settings()


def test_run_past_fifty_steps_ends_with_the_recursion_error(agent, script, shop_db, tmp_path):
    script.tables(["orders"])
    script.queries("SELECT COUNT(*) FROM orders")
    script.programs("raise RuntimeError('still failing')")
    script.answer()
    inputs = {"user_question": QUESTION, "save_path": str(tmp_path), "max_iterations_pandas": 10**6}

    with pytest.raises(GraphRecursionError, match="Recursion limit of 50"):
        agent.invoke(inputs)

    # Seven steps of SQL, then three per analysis attempt: code is generated in steps 8, 11, ...,
    # 50, and the run stops before a 51st step.
    assert len(script.sent("PythonCodeInput")) == 15
    assert len(script.sent("GenerationOutput")) == 14
    script.assert_model_settings()


# A real model's reply: a forced call whose arguments the length limit cut.
CUT_SQL_ARGUMENTS = '{"sql_query": "SELECT 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0'


def test_replies_the_steps_cannot_use_are_failed_attempts(ask, script, shop_db, tmp_path):
    query = "SELECT COUNT(*) FROM orders"
    program = "print(6)"
    script.server.on_tool("select_relevant_tables", no_tool_calls("orders"))
    script.server.on_tool(
        "SQLQueryInput", raw_tool_call("SQLQueryInput", CUT_SQL_ARGUMENTS), {"sql_query": query}
    )
    script.server.on_tool("PythonCodeInput", cut_by_length("print("), {"code": program})
    script.server.on_tool(
        "GenerationOutput",
        {"final_response": "first", "image_path": ""},
        no_tool_calls("Six, I think."),
    )

    final, steps = ask({"user_question": QUESTION, "save_path": str(tmp_path)})

    assert steps == nodes(*SQL_PATH, *SQL_REPAIR, *ANALYSIS_FAILED, *ANALYSIS, *FINAL)
    # The unusable query is neither checked nor run.
    assert script.kinds == [
        "select_relevant_tables",
        "SQLQueryInput",
        "SQLQueryInput",
        "checker",
        "PythonCodeInput",
        "GenerationOutput",
        "PythonCodeInput",
        "GenerationOutput",
    ]
    assert script.checked_queries() == [query]
    assert final["relevant_tables"] == ["customers", "order_items", "orders", "products"]
    failed_reply, rows = final["sql_execution_result"]
    assert failed_reply.startswith("Your reply was not a valid SQLQueryInput call: ")
    assert "not valid JSON" in failed_reply
    assert rows == str([(scalar(shop_db, query),)])
    assert failed_reply in script.sent("SQLQueryInput")[1].messages[1]["content"]
    assert final["iteration_count"] == 1
    code_correction = script.sent("PythonCodeInput")[1].messages[0]["content"]
    assert (
        "Your reply was not a valid PythonCodeInput call: the reply was cut by the length limit"
        in code_correction
    )
    assert final["iteration_count_pandas"] == 1
    # The final model's plain message gives way to the last result.
    assert final["final_response"] == "The analysis printed:\n6\n"
    assert final["image_path"] == ""
