"""A question on a database of 1,000 tables: every model request stays within the token budget,
the picker and the rewrite are shown the tables the question needs, and the answer comes."""

import json

import pytest
from sqlalchemy import create_engine

from norviai import _retrieval
from norviai.askflow.askflow import SQLGraph
from norviai.askflow.custom_sql import CustomSQLDatabase
from norviai.settings import AzureOpenAIChat4, AzureOpenAIChat35
from support import large_schema
from support.question_graph import settings

BUDGET = 24000
GIVE_UP_SQL = [f"SELECT nme{i} FROM missing_table" for i in range(5)]


@pytest.fixture(scope="module")
def large_db(tmp_path_factory):
    tables, groups = large_schema.build(1000)
    url = "sqlite:///{}".format(tmp_path_factory.mktemp("large") / "large.db")
    engine = create_engine(url)
    large_schema.create(engine, tables)
    engine.dispose()
    # SQLite keeps no table comments: ask about a unit whose tables carry its name.
    asked = [
        (question, needed)
        for question, needed in large_schema.questions(groups)
        if all(not any(ch.isdigit() for ch in name) for name in needed) and len(needed) > 1
    ]
    return url, len(tables), asked[0]


def request_tokens(request):
    tokens = sum(
        _retrieval.count_tokens(m["content"])
        for m in request.messages
        if isinstance(m.get("content"), str)
    )
    if request.tools:
        tokens += _retrieval.count_tokens(json.dumps(request.tools))
    return tokens


@pytest.mark.timeout(120)
def test_question_on_a_thousand_tables_stays_within_the_budget(
    large_db, model_server, script, monkeypatch, tmp_path
):
    monkeypatch.delenv("NORVIAI_PROMPT_BUDGET", raising=False)
    url, table_count, (question, needed) = large_db
    needed = sorted(needed)
    fixed = f"SELECT COUNT(*) FROM {needed[0]}"
    script.tables(needed, needed)
    script.queries(*GIVE_UP_SQL, fixed)
    script.rewrite("Count the rows of " + needed[0])
    script.programs("print(0)")
    script.answer()
    db = CustomSQLDatabase.from_uri(url)
    agent = SQLGraph(
        custom_sql_db=db,
        config_35=settings(AzureOpenAIChat35, "small", model_server),
        config_4=settings(AzureOpenAIChat4, "large", model_server),
    )

    final = agent.invoke({"user_question": question, "save_path": str(tmp_path)})

    assert len(db.get_usable_table_names()) == table_count
    assert final["final_response"] == "answered"
    assert final["generated_sql_query"][-1] == fixed
    assert "RewriteQueryOutput" in script.kinds
    sizes = {kind: max(request_tokens(r) for r in script.sent(kind)) for kind in set(script.kinds)}
    assert all(size <= BUDGET for size in sizes.values()), sizes
    # The cut prompts are full, not trivially small.
    assert sizes["select_relevant_tables"] > BUDGET * 0.8, sizes
    assert sizes["RewriteQueryOutput"] > BUDGET * 0.8, sizes

    for picker in script.sent("select_relevant_tables"):
        relevant = picker.tools[0]["function"]["parameters"]["properties"]["relevant_tables"]
        listed = relevant["items"]["properties"]["table_name"]["enum"]
        assert set(needed) <= set(listed) and len(listed) < table_count
        assert (
            f".\nOnly the {len(listed)} tables most related to the question are listed.\n"
            "And the schema from all tables: "
        ) in relevant["description"]
        assert all(f"CREATE TABLE {name} (" in relevant["description"] for name in needed)
    (rewrite,) = script.sent("RewriteQueryOutput")
    (system,) = rewrite.messages
    shown = system["content"].count("CREATE TABLE ")
    assert 0 < shown < table_count
    assert (
        f"Only the {shown} tables most related to the question are listed.\n" in system["content"]
    )
    assert all(f"CREATE TABLE {name} (" in system["content"] for name in needed)
