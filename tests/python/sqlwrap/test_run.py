"""CustomSQLDatabase.run on every engine: rows as text, no rows, database errors, the row cap and
the statement time limit."""

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
