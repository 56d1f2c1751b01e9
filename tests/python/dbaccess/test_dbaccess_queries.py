"""Statement execution and schema reading through the module configuration, on real servers."""

import pytest

from norviai import dbaccess
from support import sample_data

SHOP_TABLES = {"customers", "products", "orders", "order_items"}


def _sample(table, *columns):
    return [tuple(row[c] for c in columns) for row in sample_data.rows()[table]]


def _count(target, table_sql):
    connection = target.connect()
    try:
        with connection.cursor() as cursor:
            cursor.execute(f"SELECT COUNT(*) FROM {table_sql}")
            return cursor.fetchone()[0]
    finally:
        connection.close()


def _unreachable():
    dbaccess.set_database_config("shop", "u", "p", "127.0.0.1", 1)


# -- MySQL ---------------------------------------------------------------------------------


def test_execute_mysql_query_returns_dictionary_rows(mariadb_db, capsys):
    rows = dbaccess.execute_mysql_query("SELECT id, name FROM customers ORDER BY id LIMIT 3")
    assert [(row["id"], row["name"]) for row in rows] == _sample("customers", "id", "name")[:3]
    assert capsys.readouterr().out == ""


def test_execute_mysql_query_does_not_commit(mariadb_db):
    before = _count(mariadb_db, "`select`")
    result = dbaccess.execute_mysql_query("INSERT INTO `select` VALUES ('x')")
    assert result is not None and len(result) == 0
    assert _count(mariadb_db, "`select`") == before


def test_execute_mysql_query_failures_print_and_return_none(mariadb_db, capsys):
    assert dbaccess.execute_mysql_query("SELECT * FROM no_such_table") is None
    assert capsys.readouterr().out.startswith(
        "An error occurred while executing the query: (1146, "
    )
    _unreachable()
    assert dbaccess.execute_mysql_query("SELECT 1") is None
    assert capsys.readouterr().out.startswith("Failed to connect to the database: (2003, ")


# -- PostgreSQL ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "query, expected",
    [
        (
            "  \n select id, name from products where id <= 2 order by id ",
            _sample("products", "id", "name")[:2],
        ),
        (
            "WITH cheap AS (SELECT id FROM products WHERE price < 20)"
            " SELECT id FROM cheap ORDER BY id",
            [(row["id"],) for row in sample_data.rows()["products"] if row["price"] < 20],
        ),
        ("VALUES (1, 'a'), (2, 'b')", [(1, "a"), (2, "b")]),
    ],
    ids=["lower-case-select", "with-clause", "values"],
)
def test_execute_pgdb_query_returns_rows_of_any_result_set(postgres_db, query, expected):
    assert dbaccess.execute_pgdb_query(query) == expected


def test_execute_pgdb_query_commits_statements(postgres_db):
    before = _count(postgres_db, '"select"')
    try:
        assert dbaccess.execute_pgdb_query("INSERT INTO \"select\" VALUES ('a')") is None
        assert _count(postgres_db, '"select"') == before + 1
        # Rows of a data-changing statement come back, and the change stays.
        returned = dbaccess.execute_pgdb_query(
            'INSERT INTO "select" VALUES (\'b\') RETURNING "from"'
        )
        assert returned == [("b",)]
        assert _count(postgres_db, '"select"') == before + 2
    finally:
        dbaccess.execute_pgdb_query("DELETE FROM \"select\" WHERE \"from\" IN ('a', 'b')")


def test_execute_pgdb_query_failures_print_and_return_none(postgres_db, capsys):
    assert dbaccess.execute_pgdb_query("SELECT * FROM no_such_table") is None
    assert capsys.readouterr().out.startswith(
        'An error occurred while executing the query: relation "no_such_table" does not exist'
    )
    # An error that the connection opener lets through is reported here.
    dbaccess.db_user = "a\0b"
    assert dbaccess.execute_pgdb_query("SELECT 1") is None
    assert capsys.readouterr().out == (
        "An error occurred while executing the query: embedded null character\n"
    )
    _unreachable()
    assert dbaccess.execute_pgdb_query("SELECT 1") is None
    out = capsys.readouterr().out
    assert out.startswith("The error '") and "An error occurred" not in out


# -- Schemas ---------------------------------------------------------------------------------


def _columns(*pairs):
    return [{"name": name, "type": type_} for name, type_ in pairs]


def test_mysql_schema_lists_every_table_including_names_that_need_quoting(mariadb_db, capsys):
    schema = dbaccess.get_mysql_database_schema()
    assert set(schema) == SHOP_TABLES | {"order notes", "select", "odd`name"}
    assert schema["customers"] == _columns(
        ("id", "int(11)"),
        ("name", "varchar(100)"),
        ("email", "varchar(200)"),
        ("city", "varchar(100)"),
        ("country", "varchar(100)"),
        ("created_at", "datetime"),
    )
    assert schema["products"][3] == {"name": "price", "type": "decimal(10,2)"}
    assert schema["order notes"] == _columns(("note id", "int(11)"), ("body", "text"))
    assert schema["select"] == _columns(("from", "varchar(10)"))
    assert schema["odd`name"] == _columns(("x", "int(11)"))
    assert capsys.readouterr().out == ""


def test_pgdb_schema_reads_public_tables_in_column_order(postgres_db, capsys):
    schema = dbaccess.get_pgdb_schema()
    assert set(schema) == SHOP_TABLES | {"order notes", "select"}
    # other.customers has columns of its own; they must not appear here.
    assert schema["customers"] == _columns(
        ("id", "integer"),
        ("name", "character varying"),
        ("email", "character varying"),
        ("city", "character varying"),
        ("country", "character varying"),
        ("created_at", "timestamp without time zone"),
    )
    assert schema["order notes"] == _columns(("note id", "integer"), ("body", "text"))
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "target_fixture, reader",
    [("mariadb_target", "get_mysql_database_schema"), ("postgres_target", "get_pgdb_schema")],
    ids=["mysql", "postgresql"],
)
def test_schema_readers_on_empty_and_unreachable_databases(request, target_fixture, reader):
    target = request.getfixturevalue(target_fixture)
    target.configure("dbaccess_empty")
    assert getattr(dbaccess, reader)() == {}
    _unreachable()
    assert getattr(dbaccess, reader)() is None


def test_pgdb_schema_reports_errors_the_opener_lets_through(postgres_db, capsys):
    dbaccess.db_user = "a\0b"
    assert dbaccess.get_pgdb_schema() == {}
    assert capsys.readouterr().out == "An error occurred: embedded null character\n"
