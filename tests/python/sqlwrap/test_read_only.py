"""Generated SQL that writes, changes the schema or touches files never changes the database:
each statement of the corpus raises SQLAlchemyError with a reason and every table stays as it
was, on every engine. Where the lexical guard lets a statement through, the read-only transaction
stops it."""

import logging

import pytest
from sqlalchemy.engine import make_url
from sqlalchemy.exc import SQLAlchemyError

from norviai.askflow.custom_sql import CustomSQLDatabase, ReadOnlyViolation
from support import sample_data

NEW_CUSTOMER = (
    "INSERT INTO customers (id, name, email, city, country, created_at) "
    "VALUES (999, 'Mallory', 'm@example.com', 'Oslo', 'Norway', '2024-01-01 00:00:00')"
)

COMMON = [
    "DELETE FROM orders",
    "  delete from order_items where id > 0 ;",
    "UPDATE products SET price = 0",
    NEW_CUSTOMER,
    "INSERT INTO products SELECT * FROM products",
    "DROP TABLE order_items",
    "TRUNCATE TABLE orders",
    "ALTER TABLE customers ADD COLUMN hacked INTEGER",
    "CREATE TABLE evil (x INTEGER)",
    "CREATE VIEW evil_view AS SELECT 1 AS x",
    "CREATE INDEX evil_index ON orders (status)",
    "GRANT SELECT ON customers TO PUBLIC",
    "WITH gone AS (DELETE FROM orders RETURNING id) SELECT count(*) FROM gone",
    "WITH x AS (SELECT 1 AS y) UPDATE products SET stock = 0",
    "SELECT 1; DELETE FROM orders",
    "SELECT 1; DROP TABLE customers;",
    "COMMIT; DELETE FROM orders",
    "BEGIN; UPDATE products SET stock = 0; COMMIT;",
    "SELECT * FROM customers /* harmless */; UPDATE customers SET name = 'x'",
    "SELECT 1 -- a comment\n; DELETE FROM orders",
    "SELECT * INTO stolen FROM customers",
    "EXPLAIN ANALYZE DELETE FROM orders",
    "REPLACE INTO products (id, name, category, price, stock) VALUES (1, 'x', 'y', 1, 1)",
    "SELECT * FROM orders FOR UPDATE",
]

PER_ENGINE = {
    "postgresql": [
        "COPY customers TO '/tmp/norviai-stolen.csv'",
        "COPY customers FROM STDIN",
        "SELECT pg_read_file('/etc/passwd')",
        "SELECT lo_import('/etc/passwd')",
        "DO $$ BEGIN DELETE FROM orders; END $$",
        "SET TRANSACTION READ WRITE; DELETE FROM orders",
        "CREATE TEMP TABLE t AS SELECT * FROM customers",
        "LOCK TABLE orders",
        "PREPARE wipe AS DELETE FROM orders",
        "VACUUM orders",
        "SELECT set_config('default_transaction_read_only', 'off', false)",
    ],
    "mariadb": [
        "SELECT * FROM customers INTO OUTFILE '/tmp/norviai-stolen.txt'",
        "SELECT * FROM customers INTO DUMPFILE '/tmp/norviai-stolen.bin'",
        "SELECT LOAD_FILE('/etc/passwd')",
        "LOAD DATA INFILE '/etc/passwd' INTO TABLE customers",
        "SELECT 1 INTO @x",
        "RENAME TABLE orders TO old_orders",
        "HANDLER customers OPEN",
        "SET SESSION TRANSACTION READ WRITE; DELETE FROM orders",
        NEW_CUSTOMER + " ON DUPLICATE KEY UPDATE name = 'x'",
        "CALL wipe_everything()",
    ],
    "sqlite": [
        "ATTACH DATABASE '/tmp/norviai-evil.db' AS evil",
        "PRAGMA writable_schema = ON",
        "PRAGMA query_only = OFF; DELETE FROM orders",
        "VACUUM INTO '/tmp/norviai-copy.db'",
        "INSERT OR REPLACE INTO products (id, name, category, price, stock) "
        "VALUES (1, 'x', 'y', 1, 1)",
        "CREATE TRIGGER wipe AFTER INSERT ON orders BEGIN DELETE FROM orders; END",
        "REINDEX",
        "SELECT load_extension('/tmp/evil.so')",
    ],
}


def corpus(engine_name):
    return COMMON + PER_ENGINE[engine_name]


@pytest.fixture
def wrapper(shop_db):
    db = CustomSQLDatabase.from_uri(shop_db.url, statement_timeout=5)
    yield db
    db._engine.dispose()


def test_writing_statements_are_refused_and_change_nothing(shop_db, wrapper):
    statements = corpus(shop_db.engine_name)
    assert len(statements) >= 30
    assert shop_db.checksums() == sample_data.expected_checksums()
    for statement in statements:
        with pytest.raises(SQLAlchemyError) as error:
            wrapper.run(statement)
        assert str(error.value).strip(), statement
        if isinstance(error.value, ReadOnlyViolation):
            # Refusals tell the model what to do instead.
            assert len(str(error.value)) > 30, statement
    assert shop_db.checksums() == sample_data.expected_checksums()
    # Reads still work on the same wrapper afterwards.
    assert wrapper.run("SELECT count(*) FROM orders") == "[(200,)]"


# Functions that write, which the lexical guard cannot see into: only the read-only transaction
# stands between them and the data.
WRITING_FUNCTION = {
    "postgresql": (
        "CREATE FUNCTION wipe_orders() RETURNS integer LANGUAGE sql AS "
        "'DELETE FROM order_items; SELECT 1'",
        "DROP FUNCTION wipe_orders()",
        "read-only transaction",
    ),
    "mariadb": (
        "CREATE FUNCTION wipe_orders() RETURNS INTEGER MODIFIES SQL DATA "
        "BEGIN DELETE FROM order_items; RETURN 1; END",
        "DROP FUNCTION wipe_orders",
        "READ ONLY transaction",
    ),
}


def test_read_only_mode_stops_what_the_guard_lets_through(shop_db, wrapper):
    if shop_db.engine_name == "sqlite":
        # No SQL function writes on SQLite; the query-only switch is on for the run.
        assert wrapper.run("SELECT query_only FROM pragma_query_only") == "[(1,)]"
        return
    create, drop, message = WRITING_FUNCTION[shop_db.engine_name]
    with shop_db.engine.begin() as connection:
        connection.exec_driver_sql(create)
    try:
        with pytest.raises(SQLAlchemyError) as error:
            wrapper.run("SELECT wipe_orders()")
        assert not isinstance(error.value, ReadOnlyViolation)
        assert message in str(error.value)
        assert shop_db.checksums() == sample_data.expected_checksums()
    finally:
        with shop_db.engine.begin() as connection:
            connection.exec_driver_sql(drop)


# On a server that reads a backslash in a plain string as an escape, the guard's one string
# literal would be a SELECT, a COMMIT ending the read-only transaction, then a DELETE.
HIDDEN_BEHIND_BACKSLASH = "SELECT '\\' ' ; COMMIT; DELETE FROM order_items; --'"
BACKSLASH_ESCAPES_ON = {
    "postgresql": (
        {"options": "-c standard_conforming_strings=off"},
        "SHOW standard_conforming_strings",
        "off",
    ),
    "mariadb": ({"sql_mode": "NO_BACKSLASH_ESCAPES"}, "SELECT @@sql_mode", "NO_BACKSLASH_ESCAPES"),
}


def test_statements_hidden_by_server_string_settings_do_not_run(shop_db):
    if shop_db.engine_name == "sqlite":
        pytest.skip("SQLite strings have no backslash escapes to configure")
    settings, show, shown = BACKSLASH_ESCAPES_ON[shop_db.engine_name]
    url = make_url(shop_db.url).update_query_dict(settings)
    db = CustomSQLDatabase.from_uri(url.render_as_string(hide_password=False))
    try:
        with db._engine.connect() as connection:
            assert shown in connection.exec_driver_sql(show).scalar()
        with pytest.raises(SQLAlchemyError):
            db.run(HIDDEN_BEHIND_BACKSLASH)
        assert shop_db.checksums() == sample_data.expected_checksums()
    finally:
        db._engine.dispose()


# SQL hidden in a string argument, and calls that reach other sessions, files, large objects or
# locks, from a superuser's connection: each is refused by name, and the session the first two
# would end lives on.
HIDDEN_OR_REACHING = [
    (
        "SELECT * FROM ts_stat('SELECT to_tsvector(pg_terminate_backend({victim})::text)')",
        "ts_stat",
    ),
    (
        "SELECT ts_rewrite('a'::tsquery, "
        "'SELECT pg_terminate_backend({victim})::text::tsquery, ''b''::tsquery')",
        "ts_rewrite",
    ),
    ("SELECT pg_read_binary_file('/etc/hostname')", "pg_read_binary_file"),
    ("SELECT * FROM pg_ls_dir('.')", "pg_ls_dir"),
    ("SELECT lo_import('/etc/hostname')", "lo_import"),
    ("SELECT pg_advisory_lock(7)", "pg_advisory_lock"),
    ("SELECT set_config('statement_timeout', '0', false)", "set_config"),
]


def test_functions_that_reach_beyond_the_query_are_refused_for_a_superuser(shop_db):
    if shop_db.engine_name != "postgresql":
        pytest.skip("PostgreSQL functions")
    victim = shop_db.engine.connect()
    db = CustomSQLDatabase.from_uri(shop_db.server.admin_url(database="shop"))
    try:
        pid = victim.exec_driver_sql("SELECT pg_backend_pid()").scalar()
        for statement, function in HIDDEN_OR_REACHING:
            with pytest.raises(ReadOnlyViolation) as error:
                db.run(statement.format(victim=pid))
            assert f"contains {function}, which" in str(error.value)
        assert victim.exec_driver_sql("SELECT 1").scalar() == 1
    finally:
        victim.close()
        db._engine.dispose()


def test_privileged_roles_are_warned_about_once_at_construction(shop_db, caplog):
    if shop_db.engine_name == "sqlite":
        pytest.skip("SQLite has no roles")
    caplog.set_level(logging.WARNING, logger="norviai.askflow.custom_sql")
    for url, warnings in [
        (shop_db.url, 0),
        (shop_db.server.admin_url(database="shop"), 1),
    ]:
        caplog.clear()
        db = CustomSQLDatabase.from_uri(url)
        db.run("SELECT 1")
        db._engine.dispose()
        logged = [r.getMessage() for r in caplog.records if r.name == "norviai.askflow.custom_sql"]
        assert len(logged) == warnings, (url, logged)
        assert all("read-only role" in message for message in logged)
