"""CustomSQLDatabase.run on every engine: rows as text, no rows, database errors, the row cap and
the statement time limit."""

import ast
import json
import logging
import subprocess
import sys
import time

import pytest
from langchain_community.utilities.sql_database import SQLDatabase
from sqlalchemy.exc import SQLAlchemyError

from norviai.askflow.custom_sql import CustomSQLDatabase, ReadOnlyViolation, StatementTimeout

# Far too many rows to count within a second on any engine.
CROSS_JOIN = (
    "SELECT count(*) FROM order_items a, order_items b, order_items c, order_items d "
    "WHERE a.quantity + b.quantity + c.quantity + d.quantity > 0"
)

UNKNOWN_COLUMN = {
    "sqlite": "no such column: nope",
    "postgresql": 'column "nope" does not exist',
    "mariadb": "Unknown column 'nope'",
}

# The session state a run sets, read back on the connection the pool hands out next.
SESSION_STATE = {
    "sqlite": ["PRAGMA query_only"],
    "postgresql": ["SHOW transaction_read_only", "SHOW statement_timeout"],
    "mariadb": ["SELECT @@session.max_statement_time", "SELECT @@session.tx_read_only"],
}
CLEAN_STATE = {
    "sqlite": [0],
    "postgresql": ["off", "0"],
    "mariadb": [0, 0],
}


def single_connection_wrapper(shop_db, **options):
    """A wrapper whose pool holds one connection, so that each run reuses the last one's."""
    return CustomSQLDatabase.from_uri(
        shop_db.url, engine_args={"pool_size": 1, "max_overflow": 0}, **options
    )


@pytest.fixture
def wrapper(shop_db):
    db = single_connection_wrapper(shop_db)
    yield db
    db._engine.dispose()


def session_state(db, engine_name):
    with db._engine.connect() as connection:
        return [connection.exec_driver_sql(sql).scalar() for sql in SESSION_STATE[engine_name]]


def test_rows_come_back_as_the_library_text(shop_db, wrapper):
    library = SQLDatabase.from_uri(shop_db.url)
    try:
        for query in [
            "SELECT id, name, created_at FROM customers WHERE id <= 3 ORDER BY id",
            "SELECT p.name, sum(i.quantity * i.unit_price) AS revenue FROM order_items i "
            "JOIN products p ON p.id = i.product_id GROUP BY p.name ORDER BY revenue DESC LIMIT 4",
            "SELECT o.id, o.order_date, o.status FROM orders o WHERE o.id IN (1, 2);",
        ]:
            for include_columns in (False, True):
                ours = wrapper.run(query, include_columns=include_columns)
                assert ours == library.run(query, include_columns=include_columns)
                assert ours.startswith("[(" if not include_columns else "[{")
        assert wrapper.run("SELECT name FROM customers ORDER BY id", fetch="one") == (
            library.run("SELECT name FROM customers ORDER BY id", fetch="one")
        )
    finally:
        library._engine.dispose()


def test_text_is_sent_as_written_and_parameters_bind(wrapper):
    assert wrapper.run("SELECT 'a :b' AS t, 'x%y' AS u") == "[('a :b', 'x%y')]"
    assert wrapper.run(
        "SELECT name FROM customers WHERE id = :id", parameters={"id": 7}
    ) == wrapper.run("SELECT name FROM customers WHERE id = 7")
    assert wrapper.run(
        "SELECT name FROM customers WHERE id = :id", parameters={"id": 7}, include_columns=True
    ) == wrapper.run("SELECT name FROM customers WHERE id = 7", include_columns=True)


def test_no_rows_is_an_empty_text(wrapper):
    result = wrapper.run("SELECT id FROM orders WHERE status = 'lost'")
    assert result == ""
    assert not result


def test_database_errors_are_sqlalchemy_errors_with_the_database_message(shop_db, wrapper):
    with pytest.raises(SQLAlchemyError) as error:
        wrapper.run("SELECT nope FROM customers")
    assert not isinstance(error.value, (ReadOnlyViolation, StatementTimeout))
    assert UNKNOWN_COLUMN[shop_db.engine_name] in str(error.value)
    with pytest.raises(SQLAlchemyError) as again:
        wrapper.run("SELECT nope FROM customers")
    assert str(again.value) == str(error.value)  # the same text each time, for the model
    # The connection went back to the pool usable and without the run's settings.
    assert wrapper.run("SELECT count(*) FROM customers") == "[(50,)]"
    assert session_state(wrapper, shop_db.engine_name) == CLEAN_STATE[shop_db.engine_name]


def test_row_cap_cuts_and_says_so(shop_db):
    db = single_connection_wrapper(shop_db, max_rows=5)
    try:
        cut = db.run("SELECT id FROM order_items ORDER BY id")
        assert cut == (
            "[(1,), (2,), (3,), (4,), (5,)]\n"
            "(Only the first 5 rows are shown; the query returned more.)"
        )
        assert db.run("SELECT id FROM order_items ORDER BY id LIMIT 5") == (
            "[(1,), (2,), (3,), (4,), (5,)]"
        )
        assert db.run("SELECT id FROM order_items ORDER BY id", include_columns=True).endswith(
            "{'id': 5}]\n(Only the first 5 rows are shown; the query returned more.)"
        )
    finally:
        db._engine.dispose()


def test_default_limits(shop_db):
    db = CustomSQLDatabase.from_uri(shop_db.url)
    try:
        assert db._statement_timeout == 30 and db._max_rows == 1000
        text = db.run(
            "SELECT a.id FROM order_items a, customers b ORDER BY a.id, b.id"
        )  # more than 1,000 rows
        assert text.endswith("\n(Only the first 1000 rows are shown; the query returned more.)")
        assert text.count("(") == 1000 + 1
    finally:
        db._engine.dispose()


@pytest.mark.parametrize(
    "options, message",
    [
        ({"statement_timeout": 0}, "statement_timeout must be a positive number"),
        ({"statement_timeout": "30"}, "statement_timeout must be a positive number"),
        ({"max_rows": 0}, "max_rows must be a positive integer"),
        ({"max_rows": 2.5}, "max_rows must be a positive integer"),
    ],
)
def test_limits_are_checked_before_connecting(options, message):
    with pytest.raises(ValueError, match=message):
        CustomSQLDatabase.from_uri("sqlite://", **options)


def test_time_limit_cancels_and_the_wrapper_works_right_after(shop_db):
    db = single_connection_wrapper(shop_db, statement_timeout=1)
    try:
        began = time.monotonic()
        with pytest.raises(StatementTimeout) as error:
            db.run(CROSS_JOIN)
        elapsed = time.monotonic() - began
        assert isinstance(error.value, SQLAlchemyError)
        assert 0.9 < elapsed < 15
        assert "cancelled for exceeding the time limit of 1 second" in str(error.value)
        assert isinstance(error.value.__cause__, SQLAlchemyError)  # the database's own error

        assert db.run("SELECT count(*) FROM customers") == "[(50,)]"
        assert session_state(db, shop_db.engine_name) == CLEAN_STATE[shop_db.engine_name]
    finally:
        db._engine.dispose()


# What one run leaves in its session (through functions the guard cannot see into, variables and
# the last insert id), read back by the next user of the one pooled connection.
LEFTOVER_SETUP = {
    "postgresql": [
        "CREATE FUNCTION norviai_take_lock() RETURNS boolean LANGUAGE sql "
        "AS 'SELECT pg_try_advisory_lock(4242)'",
        "CREATE FUNCTION norviai_mark() RETURNS text LANGUAGE sql "
        "AS 'SELECT set_config(''norviai.mark'', ''left over'', false)'",
    ],
    "mariadb": [
        "CREATE FUNCTION norviai_take_lock() RETURNS INTEGER RETURN GET_LOCK('norviai', 0)",
    ],
}
LEFTOVER_TEARDOWN = {
    "postgresql": ["DROP FUNCTION norviai_take_lock()", "DROP FUNCTION norviai_mark()"],
    "mariadb": ["DROP FUNCTION norviai_take_lock"],
}
LEFTOVERS = {
    "postgresql": [
        (
            "SELECT norviai_take_lock()",
            "SELECT count(*) FROM pg_locks WHERE locktype = 'advisory'",
            0,
        ),
        ("SELECT norviai_mark()", "SELECT coalesce(current_setting('norviai.mark', true), '')", ""),
    ],
    "mariadb": [
        ("SELECT norviai_take_lock()", "SELECT IS_USED_LOCK('norviai') IS NULL", 1),
        ("SELECT @v := 42", "SELECT @v", None),
        ("SELECT LAST_INSERT_ID(42)", "SELECT LAST_INSERT_ID()", 0),
    ],
}


def test_nothing_a_run_does_reaches_the_next_run(shop_db, wrapper):
    if shop_db.engine_name == "sqlite":
        pytest.skip("SQLite sessions hold no locks or variables")
    with shop_db.engine.begin() as connection:
        for statement in LEFTOVER_SETUP[shop_db.engine_name]:
            connection.exec_driver_sql(statement)
    try:
        for run, check, clean in LEFTOVERS[shop_db.engine_name]:
            assert wrapper.run(run)
            with wrapper._engine.connect() as connection:
                assert connection.exec_driver_sql(check).scalar() == clean, run
        assert session_state(wrapper, shop_db.engine_name) == CLEAN_STATE[shop_db.engine_name]
    finally:
        with shop_db.engine.begin() as connection:
            for statement in LEFTOVER_TEARDOWN[shop_db.engine_name]:
                connection.exec_driver_sql(statement)


# 1,000 zero bytes, as each engine writes them.
ZERO_BYTES = {
    "sqlite": "SELECT zeroblob(1000)",
    "postgresql": "SELECT decode(repeat('00', 1000), 'hex')",
    "mariadb": "SELECT REPEAT(X'00', 1000)",
}
# 1,000 rows of 300 characters: over 300,000 characters of text.
WIDE_ROWS = {
    "sqlite": (
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 1000) "
        "SELECT i, substr(hex(zeroblob(150)), 1, 300) FROM n"
    ),
    "postgresql": "SELECT i, repeat('0', 300) FROM generate_series(1, 1000) i",
    "mariadb": "SELECT seq, REPEAT('0', 300) FROM seq_1_to_1000",
}


def test_long_values_and_long_results_are_shortened(shop_db, wrapper, caplog):
    # Binary values are shortened as the library shortens text, and shown as bytes.
    binary = wrapper.run(ZERO_BYTES[shop_db.engine_name])
    assert "b'" + "\\x00" * 297 + "...'" in binary and len(binary) < 1250
    # copy is a name like any other.
    assert wrapper.run("SELECT name AS copy FROM customers ORDER BY copy LIMIT 1")

    text = wrapper.run(WIDE_ROWS[shop_db.engine_name])
    rows, note = text.split("\n")
    assert len(rows) <= 100_000
    shown = ast.literal_eval(rows)  # cut between rows
    assert 300 < len(shown) < 1000 and shown[-1][0] == len(shown)
    assert note == (
        f"(Only the first {len(shown)} rows are shown: the result text is limited to 100000 "
        "characters; select fewer columns or rows, or aggregate.)"
    )

    caplog.set_level(logging.WARNING, logger="norviai.askflow.custom_sql")
    db = single_connection_wrapper(shop_db, max_rows=5)
    try:
        assert len(db.run("SELECT id FROM order_items", fetch="cursor").all()) == 5
        assert len(db.run("SELECT id FROM orders WHERE id <= 5", fetch="cursor").all()) == 5
    finally:
        db._engine.dispose()
    warnings = [r.getMessage() for r in caplog.records if r.name == "norviai.askflow.custom_sql"]
    assert warnings == [
        "run(fetch='cursor') returns only the first 5 rows (max_rows); the query returned more."
    ]


# Results far larger than what is shown, with the growth of the host's peak memory they may
# cause (MiB); one huge value has to be fetched whole, so that case allows for one.
LARGE_RESULTS = {
    "sqlite": [
        (
            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000000) "
            "SELECT i FROM n",
            40,
        ),
        ("SELECT zeroblob(50000000) FROM order_items LIMIT 4", 150),
    ],
    "postgresql": [
        ("SELECT i FROM generate_series(1, 5000000) i", 40),
        ("SELECT repeat('x', 100000000) FROM generate_series(1, 4)", 330),
    ],
    "mariadb": [
        ("SELECT seq FROM seq_1_to_5000000", 40),
        ("SELECT REPEAT('x', 16000000) FROM seq_1_to_20", 120),
    ],
}

MEASURE = """
import json, sys
from norviai.askflow.custom_sql import CustomSQLDatabase

def peak_mib():
    with open("/proc/self/status") as status:
        line = next(line for line in status if line.startswith("VmHWM:"))
    return int(line.split()[1]) / 1024

db = CustomSQLDatabase.from_uri(sys.argv[1], max_rows=3)
db.run("SELECT 1")
before = peak_mib()
text = db.run(sys.argv[2])
print(json.dumps({"growth": peak_mib() - before, "length": len(text), "tail": text[-80:]}))
"""


@pytest.mark.timeout(300)
def test_large_results_are_streamed_not_held(shop_db):
    for query, allowed in LARGE_RESULTS[shop_db.engine_name]:
        done = subprocess.run(
            [sys.executable, "-c", MEASURE, shop_db.url, query],
            capture_output=True,
            text=True,
            timeout=240,
        )
        assert done.returncode == 0, done.stderr[-2000:]
        measured = json.loads(done.stdout)
        assert measured["growth"] < allowed, (query, measured)
        assert measured["length"] < 5000, (query, measured)
        assert measured["tail"].endswith("rows are shown; the query returned more.)"), measured
