"""Connection test for the three engines and the two connection openers, on real servers."""

import pytest

from norviai import dbaccess


def _arguments(target, **changes):
    arguments = {
        "db_user": target.server.user,
        "db_password": target.server.password,
        "db_host": target.server.host,
        "db_port": target.server.port,
        "db_name": target.database,
    }
    arguments.update(changes)
    return arguments


@pytest.mark.parametrize("engine", ["MySQL", "PostgreSQL"])
def test_get_db_connection_reports_success_and_failure(engine, request, capsys):
    target = request.getfixturevalue("mariadb_target" if engine == "MySQL" else "postgres_target")
    assert dbaccess.get_db_connection(engine, **_arguments(target)) == (
        "Success! Connection Established! ."
    )
    failed = dbaccess.get_db_connection(engine, **_arguments(target, db_password="wrong"))
    assert failed.startswith(f"Failed to connect to {engine} database: ")
    assert "wrong" not in failed and "password" in failed.lower()
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("engine", ["mysql", "postgres", "SQLite", None])
def test_get_db_connection_refuses_other_engine_names(engine):
    result = dbaccess.get_db_connection(engine, "u", "p", "127.0.0.1", 1, "shop")
    assert result == "Unsupported SQL engine specified."


def test_get_db_connection_mssql_without_driver_reports_failure():
    # pyodbc is installed, but no ODBC driver is registered as "SQL Server".
    result = dbaccess.get_db_connection("MsSQL", "sa", "pw", "127.0.0.1", 1433, "shop")
    assert result.startswith("Failed to connect to MsSQL database: ")
    assert "SQL Server" in result


@pytest.mark.parametrize(
    "host, port, name, user, password, expected",
    [
        ("db.local", 1433, "shop", "sa", "secret",
         "DRIVER={SQL Server};SERVER=db.local,1433;DATABASE=shop;UID=sa;PWD=secret"),
        ("db.local", 1433, "shop", "sa", "x;Encrypt=no",
         "DRIVER={SQL Server};SERVER=db.local,1433;DATABASE=shop;UID=sa;PWD={x;Encrypt=no}"),
        ("db.local", 1433, "shop", "sa", "a}b{c",
         "DRIVER={SQL Server};SERVER=db.local,1433;DATABASE=shop;UID=sa;PWD={a}}b{c}"),
        ("db.local", 1433, "my db", "sa", " pw ",
         "DRIVER={SQL Server};SERVER=db.local,1433;DATABASE=my db;UID=sa;PWD={ pw }"),
        ("h;x", "1433", "a=b", "{u}", "",
         "DRIVER={SQL Server};SERVER={h;x,1433};DATABASE={a=b};UID={{u}}};PWD="),
    ],
    ids=["plain", "semicolon", "braces", "blanks", "every-field"],
)  # fmt: skip
def test_mssql_connection_string_quotes_values_holding_delimiters(
    host, port, name, user, password, expected
):
    assert dbaccess._mssql_connection_string(host, port, name, user, password) == expected


def test_get_mysql_db_connection_yields_dictionary_rows(mariadb_target, capsys):
    connection = dbaccess.get_mysql_db_connection(**_arguments(mariadb_target))
    try:
        with connection.cursor() as cursor:
            cursor.execute("SELECT id, name FROM products WHERE id = 1")
            assert cursor.fetchall() == [{"id": 1, "name": "Wireless Mouse"}]
    finally:
        connection.close()

    assert dbaccess.get_mysql_db_connection(**_arguments(mariadb_target, db_port=1)) is None
    assert capsys.readouterr().out.startswith("Failed to connect to the database: (2003, ")


def test_get_pgdb_connection_yields_tuple_rows_and_handles_only_operational_errors(
    postgres_target, capsys
):
    connection = dbaccess.get_pgdb_connection(**_arguments(postgres_target))
    try:
        with connection.cursor() as cursor:
            cursor.execute("SELECT id, name FROM products WHERE id = 1")
            assert cursor.fetchall() == [(1, "Wireless Mouse")]
    finally:
        connection.close()

    assert dbaccess.get_pgdb_connection(**_arguments(postgres_target, db_password="bad")) is None
    out = capsys.readouterr().out
    assert out.startswith("The error 'connection to server at ") and out.endswith("' occurred\n")

    with pytest.raises(ValueError):
        dbaccess.get_pgdb_connection(**_arguments(postgres_target, db_user="a\0b"))
