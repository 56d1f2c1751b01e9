"""Table information for a 1,000-table PostgreSQL database: CustomSQLDatabase against
langchain_community's own SQLDatabase (reflection at construction, then get_table_info).

Starts a private PostgreSQL server (tests/support), creates 1,000 tables of 10 columns with three
rows each, and prints the times, their ratios (all tables, three tables), whether both texts
agree, and our time for all tables without sample rows and for the construction alone.
Run from the repository root: .venv/bin/python bench/table_info_bench.py [--tables N] [--rounds R]
"""

import argparse
import functools
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "tests"))

from langchain_community.utilities.sql_database import SQLDatabase  # noqa: E402
from sqlalchemy import create_engine  # noqa: E402
from sqlalchemy.pool import NullPool  # noqa: E402
from support.databases import PostgresServer  # noqa: E402

from norviai.askflow.custom_sql import CustomSQLDatabase  # noqa: E402

COLUMNS = (
    "id SERIAL PRIMARY KEY",
    "parent_id INTEGER{reference}",
    "name VARCHAR(100) NOT NULL",
    "code CHAR(8)",
    "amount NUMERIC(12, 2) DEFAULT 0",
    "ratio DOUBLE PRECISION",
    "active BOOLEAN NOT NULL DEFAULT true",
    "created_at TIMESTAMP DEFAULT CURRENT_TIMESTAMP",
    "due DATE",
    "note TEXT",
)


def build(url, count):
    engine = create_engine(url, poolclass=NullPool)
    with engine.begin() as connection:
        for number in range(count):
            # A shallow tree of references: the library reflects referenced tables recursively.
            reference = f" REFERENCES t{(number - 1) // 10:04d} (id)" if number else ""
            columns = ", ".join(COLUMNS).format(reference=reference)
            connection.exec_driver_sql(f"CREATE TABLE t{number:04d} ({columns})")
            connection.exec_driver_sql(
                f"INSERT INTO t{number:04d} (parent_id, name, code, amount, ratio, due, note) "
                "SELECT NULL, 'row ' || g, 'C' || g, g * 1.5, g / 3.0, DATE '2024-01-01' + g, "
                "repeat('x', g) FROM generate_series(1, 3) AS g"
            )
    engine.dispose()


def table_info(cls, url, names, **options):
    """A fresh wrapper's table information, construction included."""
    db = cls.from_uri(url, **options)
    try:
        return db.get_table_info(names)
    finally:
        db._engine.dispose()


def construction(url):
    """A fresh wrapper and nothing else: engine, first connection, table names, role check."""
    CustomSQLDatabase.from_uri(url)._engine.dispose()


def timed(action, rounds):
    """Best time of `rounds` runs (a fresh instance each time) and the last value."""
    best = None
    for _ in range(rounds):
        began = time.perf_counter()
        value = action()
        elapsed = time.perf_counter() - began
        best = elapsed if best is None else min(best, elapsed)
    return best, value


def report(title, ours, library, rounds):
    ours_seconds, ours_text = timed(ours, rounds)
    library_seconds, library_text = timed(library, rounds)
    print(f"{title} (best of {rounds}):")
    print(f"  CustomSQLDatabase  {ours_seconds:8.3f} s")
    print(f"  SQLDatabase        {library_seconds:8.3f} s")
    print(f"  ratio              {library_seconds / ours_seconds:8.1f} x")
    print(f"  same text          {ours_text == library_text}")
    return library_seconds / ours_seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tables", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    arguments = parser.parse_args()
    count, rounds = arguments.tables, arguments.rounds

    with PostgresServer() as server:
        url = server.url()
        seconds, _ = timed(lambda: build(url, count), 1)
        print(f"built {count} tables of {len(COLUMNS)} columns in {seconds:.1f} s")

        three = ["t0000", "t0001", "t0002"]
        ours_all = functools.partial(table_info, CustomSQLDatabase, url, None)
        library_all = functools.partial(table_info, SQLDatabase, url, None)
        ours_three = functools.partial(table_info, CustomSQLDatabase, url, three)
        library_three = functools.partial(table_info, SQLDatabase, url, three)

        all_ratio = report(
            f"all {count} tables, construction included", ours_all, library_all, rounds
        )
        # Where our time goes: the same call without sample rows is construction, catalogue
        # and CREATE TABLE texts.
        no_samples = functools.partial(
            table_info, CustomSQLDatabase, url, None, sample_rows_in_table_info=0
        )
        no_samples_seconds, _ = timed(no_samples, rounds)
        print(f"  of which without sample rows {no_samples_seconds:8.3f} s")
        construction_seconds, _ = timed(functools.partial(construction, url), rounds)
        print(f"  of which construction alone  {construction_seconds:8.3f} s")
        three_ratio = report(
            "three tables, construction included (what one question asks for)",
            ours_three,
            library_three,
            rounds,
        )
        print(f"ratios: all tables {all_ratio:.1f} x, three tables {three_ratio:.1f} x (goal 20 x)")


if __name__ == "__main__":
    main()
