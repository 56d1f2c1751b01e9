"""Large databases: what the picker and the question rewrite are shown, and what it costs.

Builds PostgreSQL databases (a private server started from the test support) of synthetic
business schemas (tests/support/large_schema.py: units of six domains, foreign keys inside each
unit, some cryptic table names explained only by a table comment, a few not at all), asks 30
questions of each whose answering tables are known, and prints per database:

- the largest prompt of each step in tokens (as the steps count them) against the budget;
- recall of the needed tables in what the picker lists and in the schemas the rewrite shows;
- the catalogue and index build time (first use on a fresh wrapper), twice: right after the tables
  were created (no hint bits, no catalogue statistics yet), then on another fresh wrapper after
  VACUUM ANALYZE, as a database in use would be;
- the ranking time per question (index only) and the whole picker and rewrite prompt times.

The picker runs against the scripted model server; the rewrite's prompt is built without a model.
Run from the repository root: .venv/bin/python bench/large_schema_bench.py [--tables 1000 10000]
"""

import argparse
import json
import pathlib
import statistics
import sys
import time
import warnings

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
warnings.simplefilter("ignore")

from langchain_core.utils.function_calling import convert_to_openai_tool  # noqa: E402
from langchain_openai import AzureChatOpenAI  # noqa: E402
from loguru import logger  # noqa: E402
from sqlalchemy import create_engine  # noqa: E402
from sqlalchemy.pool import NullPool  # noqa: E402

from norviai import _retrieval  # noqa: E402
from norviai.askflow.custom_sql import CustomSQLDatabase  # noqa: E402
from norviai.askflow.flowsteps import RewriteQuery, RewriteQueryOutput  # noqa: E402
from norviai.function_calling.base import RelevantTablePicker  # noqa: E402
from norviai.settings import AzureOpenAIChat35  # noqa: E402
from support import large_schema  # noqa: E402
from support.databases import PostgresServer  # noqa: E402
from support.model_server import ModelServer  # noqa: E402


def picker_tokens(request):
    text = sum(_retrieval.count_tokens(m["content"]) for m in request.messages)
    return 7 + text + _retrieval.count_tokens(json.dumps(request.tools))


def rewrite_tokens(messages):
    tool = json.dumps(convert_to_openai_tool(RewriteQueryOutput))
    text = sum(4 + _retrieval.count_tokens(m.content) for m in messages)
    return 3 + text + _retrieval.count_tokens(tool)


def milliseconds(values):
    return f"median {statistics.median(values) * 1000:.1f} ms, max {max(values) * 1000:.1f} ms"


def run(server, models, count):
    name = f"large_{count}"
    server.create_database(name)
    url = server.url(database=name)
    tables, groups = large_schema.build(count)
    engine = create_engine(url, poolclass=NullPool)
    started = time.perf_counter()
    large_schema.create(engine, tables)
    created = time.perf_counter() - started
    engine.dispose()
    asked = large_schema.questions(groups)

    db = CustomSQLDatabase.from_uri(url)
    started = time.perf_counter()
    _retrieval.table_index(db)
    first_read = time.perf_counter() - started
    db._engine.dispose()

    vacuum = create_engine(url, poolclass=NullPool, isolation_level="AUTOCOMMIT")
    started = time.perf_counter()
    with vacuum.connect() as connection:
        connection.exec_driver_sql("VACUUM ANALYZE")
    vacuumed = time.perf_counter() - started
    vacuum.dispose()
    db = CustomSQLDatabase.from_uri(url)
    started = time.perf_counter()
    index = _retrieval.table_index(db)
    built = time.perf_counter() - started

    ranking = []
    for question, _ in asked:
        started = time.perf_counter()
        index.related(question)
        ranking.append(time.perf_counter() - started)

    settings = AzureOpenAIChat35(
        azure_deployment="small",
        azure_endpoint=models.base_url,
        api_key="k",
        api_version="2024-02-01",
    )
    picker = RelevantTablePicker(config=settings, db=db)
    rewrite = RewriteQuery(db=db, model=AzureChatOpenAI(**settings.__dict__, max_retries=0))
    names = ", ".join(db.get_usable_table_names())
    largest = {"picker": 0, "rewrite": 0}
    found = {"picker": 0, "rewrite": 0}
    times = {"picker": [], "rewrite": []}
    needed_count = 0
    for question, needed in asked:
        needed_count += len(needed)
        models.on_tool("select_relevant_tables", {"relevant_tables": sorted(needed)})
        state = {"user_question": question, "table_names_from_db": names}
        started = time.perf_counter()
        picker.invoke(dict(state))
        times["picker"].append(time.perf_counter() - started)
        request = models.last_request
        relevant = request.tools[0]["function"]["parameters"]["properties"]["relevant_tables"]
        listed = set(relevant["items"]["properties"]["table_name"]["enum"])
        largest["picker"] = max(largest["picker"], picker_tokens(request))
        found["picker"] += len(needed & listed)

        started = time.perf_counter()
        messages = rewrite.generate_prompt(dict(state))
        times["rewrite"].append(time.perf_counter() - started)
        largest["rewrite"] = max(largest["rewrite"], rewrite_tokens(messages))
        text = messages[0].content
        found["rewrite"] += sum(f"CREATE TABLE {table} (" in text for table in needed)
        models.clear()

    budget = _retrieval.prompt_budget()
    print(f"{len(tables)} tables ({created:.1f} s to create), {len(asked)} questions")
    for step in ("picker", "rewrite"):
        within = "within" if largest[step] <= budget else "OVER"
        recall = 100.0 * found[step] / needed_count
        print(
            f"  {step}: largest prompt {largest[step]} tokens ({within} the budget of {budget}); "
            f"recall of needed tables {recall:.1f} %; prompt built in {milliseconds(times[step])}"
        )
    print(
        f"  catalogue and index of a fresh wrapper built in {first_read:.2f} s right after the "
        f"tables were created, in {built:.2f} s after VACUUM ANALYZE ({vacuumed:.1f} s)"
    )
    print(f"  ranking per question: {milliseconds(ranking)}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tables", type=int, nargs="+", default=[1000, 10000])
    args = parser.parse_args()
    logger.remove()  # the steps' debug lines would bury the figures
    with PostgresServer() as server, ModelServer() as models:
        for count in args.tables:
            run(server, models, count)


if __name__ == "__main__":
    main()
