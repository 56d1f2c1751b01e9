"""Table names and table information of CustomSQLDatabase, against langchain_community's own
SQLDatabase on the same database, on every engine."""

import pytest
from langchain_community.tools.sql_database.tool import InfoSQLDatabaseTool, ListSQLDatabaseTool
from langchain_community.utilities.sql_database import SQLDatabase
from sqlalchemy import Column, Integer, MetaData, Table, create_engine, event

from norviai.askflow.custom_sql import CustomSQLDatabase

SAMPLE_TABLES = ["customers", "order_items", "orders", "products"]

# A table with what the sample lacks (defaults, checks, a unique key, a composite foreign key
# with an action, a quoted name, several types), and a view, per engine.
EXTRA_DDL = {
    "sqlite": [
        'CREATE TABLE "Shipment Log" (id INTEGER CONSTRAINT pk_log PRIMARY KEY, '
        "order_id INTEGER NOT NULL, carrier VARCHAR(40) DEFAULT 'post', weight NUMERIC(8, 3), "
        "fragile BOOLEAN DEFAULT 0, shipped DATETIME DEFAULT CURRENT_TIMESTAMP, note TEXT, "
        "untyped, CONSTRAINT uq_carrier UNIQUE (carrier, order_id), "
        "CONSTRAINT fk_order FOREIGN KEY (order_id) REFERENCES orders (id) ON DELETE CASCADE, "
        "CONSTRAINT heavy CHECK (weight < 1000))",
        'INSERT INTO "Shipment Log" (id, order_id, weight, fragile, shipped, note) '
        "VALUES (1, 1, 2.5, 1, '2024-02-03 04:05:06', 'handle with care')",
        "CREATE VIEW big_orders AS SELECT * FROM orders WHERE id > 100",
    ],
    "postgresql": [
        "DROP TYPE IF EXISTS carrier_kind CASCADE",  # left by an earlier run that was killed
        "CREATE TYPE carrier_kind AS ENUM ('post', 'courier')",
        'CREATE TABLE "Shipment Log" (id SERIAL PRIMARY KEY, '
        "order_id INTEGER NOT NULL REFERENCES orders (id) ON DELETE CASCADE, "
        "carrier carrier_kind DEFAULT 'post', weight NUMERIC(8, 3), fragile BOOLEAN DEFAULT false, "
        "shipped TIMESTAMP(3) WITH TIME ZONE DEFAULT now(), tags TEXT[], code CHAR(4), "
        "pos POINT, CONSTRAINT uq_carrier UNIQUE (carrier, order_id), "
        "CONSTRAINT heavy CHECK (weight < 1000))",
        'INSERT INTO "Shipment Log" (order_id, weight, tags, code) '
        "VALUES (1, 2.5, '{a,b}', 'AB')",
        "CREATE VIEW big_orders AS SELECT * FROM orders WHERE id > 100",
    ],
    "mariadb": [
        "CREATE TABLE `Shipment Log` (id INT UNSIGNED NOT NULL AUTO_INCREMENT PRIMARY KEY, "
        "order_id INTEGER NOT NULL, carrier ENUM('post', 'courier') DEFAULT 'post', "
        "weight DECIMAL(8, 3), fragile TINYINT(1) DEFAULT 0, score DOUBLE, "
        "shipped TIMESTAMP NULL DEFAULT CURRENT_TIMESTAMP, note VARCHAR(50) COLLATE utf8mb4_bin "
        "COMMENT 'free text', UNIQUE KEY uq_carrier (carrier, order_id), "
        "CONSTRAINT fk_order FOREIGN KEY (order_id) REFERENCES orders (id) ON DELETE CASCADE, "
        "CONSTRAINT heavy CHECK (weight < 1000)) COMMENT 'parcels'",
        "INSERT INTO `Shipment Log` (order_id, weight, score, note) VALUES (1, 2.5, 0.5, 'x')",
        "CREATE VIEW big_orders AS SELECT * FROM orders WHERE id > 100",
    ],
}


@pytest.fixture
def wrapper(shop_db):
    db = CustomSQLDatabase.from_uri(shop_db.url)
    yield db
    db._engine.dispose()


@pytest.fixture
def library(shop_db):
    db = SQLDatabase.from_uri(shop_db.url)
    yield db
    db._engine.dispose()


@pytest.fixture
def extra_objects(shop_db):
    """EXTRA_DDL applied; the shop fixture drops the tables and views afterwards, we the type."""
    with shop_db.engine.begin() as connection:
        for statement in EXTRA_DDL[shop_db.engine_name]:
            connection.exec_driver_sql(statement)
    yield
    if shop_db.engine_name == "postgresql":
        with shop_db.engine.begin() as connection:
            connection.exec_driver_sql("DROP TYPE carrier_kind CASCADE")


def test_table_names_are_the_sorted_tables(wrapper):
    assert wrapper.get_usable_table_names() == SAMPLE_TABLES


def test_table_info_is_the_library_text(wrapper, library):
    text = wrapper.get_table_info()
    assert text == library.get_table_info()
    # The layout the tools and prompts rely on, spelled out once.
    blocks = text.split("\n\n\nCREATE TABLE ")
    assert len(blocks) == 4
    assert text.startswith("\nCREATE TABLE customers (\n\tid INTEGER")
    assert (
        "\n/*\n3 rows from customers table:\nid\tname\temail\tcity\tcountry\tcreated_at\n" in text
    )


def test_table_info_for_some_tables_and_through_the_tools(wrapper, library):
    names = ["orders", "customers", "orders"]
    assert wrapper.get_table_info(names) == library.get_table_info(names)
    assert wrapper.get_table_info_no_throw(["products"]) == library.get_table_info(["products"])
    assert ListSQLDatabaseTool(db=wrapper)._run() == ", ".join(SAMPLE_TABLES)
    assert InfoSQLDatabaseTool(db=wrapper)._run("order_items, products") == InfoSQLDatabaseTool(
        db=library
    )._run("order_items, products")


def test_unknown_table_names_give_the_library_error(wrapper, library):
    with pytest.raises(ValueError) as ours:
        wrapper.get_table_info(["orders", "nope"])
    with pytest.raises(ValueError) as theirs:
        library.get_table_info(["orders", "nope"])
    assert str(ours.value) == str(theirs.value) == "table_names {'nope'} not found in database"
    assert wrapper.get_table_info_no_throw(["nope"]) == (
        "Error: table_names {'nope'} not found in database"
    )


@pytest.mark.filterwarnings("ignore:Did not recognize type")
def test_richer_schema_matches_the_library(shop_db, extra_objects):
    for options in (
        {},
        {"view_support": True},
        {"sample_rows_in_table_info": 0, "indexes_in_table_info": True},
    ):
        ours = CustomSQLDatabase.from_uri(shop_db.url, **options)
        theirs = SQLDatabase.from_uri(shop_db.url, **options)
        try:
            assert ours.get_usable_table_names() == theirs.get_usable_table_names()
            assert ours.get_table_info() == theirs.get_table_info(), options
            assert ours.get_table_info(get_col_comments=True) == theirs.get_table_info(
                get_col_comments=True
            ), options
        finally:
            ours._engine.dispose()
            theirs._engine.dispose()


@pytest.mark.filterwarnings("ignore:Did not recognize type")
def test_catalogue_is_read_in_bulk_once(shop_db, extra_objects):
    with shop_db.engine.begin() as connection:
        for number in range(20):
            connection.exec_driver_sql(f"CREATE TABLE extra_{number:02d} (id INTEGER PRIMARY KEY)")
    engine = create_engine(shop_db.url)
    engine.connect().close()  # the dialect's first-connect queries, out of the count
    statements = []
    event.listen(engine, "before_cursor_execute", lambda *args: statements.append(args[2]))
    try:
        db = CustomSQLDatabase(engine)
        ours = len(statements)
        lazy = SQLDatabase(engine, lazy_table_reflection=True)
        role_check = shop_db.engine_name != "sqlite"  # one query for the role's privileges
        # Construction reads the table names, no more.
        assert ours - role_check == len(statements) - ours

        tables = len(db.get_usable_table_names())
        assert tables == 25
        del statements[:]
        first = db.get_table_info()
        # A few catalogue queries for the whole database, then the sample rows in one request
        # (on MariaDB one request of per-table selects).
        sample_statements = 1
        assert sample_statements < len(statements) <= sample_statements + 6
        del statements[:]
        assert db.get_table_info() == first
        assert len(statements) == sample_statements
        assert first == lazy.get_table_info()
    finally:
        engine.dispose()


@pytest.mark.filterwarnings("ignore:Did not recognize type")
def test_many_tables_match_the_library(shop_db):
    """Enough tables for several sample batches per engine, on PostgreSQL read over two
    connections at once, with a table among them that bulk reading leaves to a single read, and
    a column collation other than its type's."""
    collation = {"postgresql": ' COLLATE "C"', "mariadb": " COLLATE utf8mb4_bin"}
    collation = collation.get(shop_db.engine_name, " COLLATE NOCASE")
    with shop_db.engine.begin() as connection:
        if shop_db.engine_name == "postgresql":
            connection.exec_driver_sql("DROP DOMAIN IF EXISTS positive CASCADE")
            connection.exec_driver_sql("CREATE DOMAIN positive AS INTEGER CHECK (VALUE > 0)")
            connection.exec_driver_sql("CREATE TABLE bulk_050 (id INTEGER, level positive)")
            connection.exec_driver_sql("INSERT INTO bulk_050 VALUES (1, 2)")
        for number in range(130):
            if number == 50 and shop_db.engine_name == "postgresql":
                continue
            connection.exec_driver_sql(
                f"CREATE TABLE bulk_{number:03d} (id INTEGER PRIMARY KEY, "
                f"label VARCHAR(20){collation}, amount NUMERIC(8, 2))"
            )
            connection.exec_driver_sql(
                f"INSERT INTO bulk_{number:03d} VALUES (1, 'first {number}', {number}.5), "
                f"(2, NULL, NULL)"
            )
    engine = create_engine(shop_db.url)
    sessions = set()

    def record(connection, cursor, statement, *rest):
        if " LIMIT " in statement:
            sessions.add(id(connection.connection.dbapi_connection))

    # A pool with no connection to spare: the samples are read on the one connection, without
    # waiting out the pool's timeout for a second.
    single = create_engine(shop_db.url, pool_size=1, max_overflow=0, pool_timeout=1)
    try:
        ours = CustomSQLDatabase(engine)
        event.listen(engine, "before_cursor_execute", record)
        ours_text = ours.get_table_info()
        event.remove(engine, "before_cursor_execute", record)
        assert ours_text == SQLDatabase(engine).get_table_info()
        assert len(sessions) == (2 if shop_db.engine_name == "postgresql" else 1)
        assert CustomSQLDatabase(single).get_table_info() == ours_text
    finally:
        single.dispose()
        engine.dispose()
        if shop_db.engine_name == "postgresql":
            with shop_db.engine.begin() as connection:
                connection.exec_driver_sql("DROP DOMAIN positive CASCADE")


@pytest.mark.parametrize("shop_db", ["postgresql", "mariadb"], indirect=True)
def test_a_table_the_account_may_not_read_is_read_alone(shop_db):
    """An account that may insert into products but not read it: the engine refuses the bulk
    sample read of its batch, and each table of the batch is read on its own, as the library
    reads it."""
    database = shop_db.engine.url.database
    postgresql = shop_db.engine_name == "postgresql"
    account = "sampler" if postgresql else "'sampler'@'%'"
    readable = ", ".join(name for name in SAMPLE_TABLES if name != "products")
    set_up = [
        f"CREATE {'ROLE' if postgresql else 'USER'} {account} "
        f"{'LOGIN PASSWORD' if postgresql else 'IDENTIFIED BY'} 'sampler'",
        f"GRANT INSERT ON products TO {account}",
    ] + [f"GRANT SELECT ON {name} TO {account}" for name in readable.split(", ")]
    clean_up = [f"DROP OWNED BY {account}", f"DROP ROLE {account}"] if postgresql else []
    clean_up = clean_up or [f"DROP USER {account}"]

    def admin(statements):
        connection = shop_db.server._admin_connect(database)
        connection.autocommit = True
        try:
            with connection.cursor() as cursor:
                for statement in statements:
                    cursor.execute(statement)
        finally:
            connection.close()

    admin(set_up)
    url = shop_db.server.url(user="sampler", password="sampler", database=database)
    engine = create_engine(url)
    samples = []
    event.listen(
        engine,
        "before_cursor_execute",
        lambda connection, cursor, statement, *rest: samples.append(statement.count(" LIMIT ")),
    )
    try:
        ours = CustomSQLDatabase(engine).get_table_info()
        tried = [count for count in samples if count]
        assert tried[0] == len(SAMPLE_TABLES) and tried[1:] == [1] * len(SAMPLE_TABLES)
        assert ours == SQLDatabase(engine).get_table_info()
        assert "\n1\t" in ours.split("rows from customers table:")[1].split("*/")[0]
    finally:
        engine.dispose()
        admin(clean_up)


# Per engine: inheritance and partitions, a composite key in neither column order nor with its
# autoincrement column first, table options, and sample values of the types whose printed form
# depends on the driver and on SQLAlchemy's result processing.
LONG = "x" * 150
FIDELITY_DDL = {
    "sqlite": [
        "CREATE TABLE stock (shop INTEGER, item INTEGER, qty INTEGER, PRIMARY KEY (item, shop))",
        "CREATE TABLE oddities (id INTEGER PRIMARY KEY, amount NUMERIC(12, 4), price DECIMAL(8, 2), "
        "ratio REAL, day DATE, at DATETIME, raw BLOB, flag BOOLEAN, doc JSON, note TEXT)",
        "INSERT INTO oddities VALUES (1, 12.5, 3.1, 0.1, '2024-02-29', '2024-02-29 13:45:00.123456', "
        "x'00ff10', 1, '{\"a\": [1, 2]}', 'tab\there\nnewline'), "
        f"(2, NULL, NULL, NULL, NULL, NULL, NULL, 0, 'null', '{LONG}'), "
        "(3, -0.0001, 0, 1e300, '1999-12-31', '1999-12-31 23:59:59', x'', NULL, '[]', '')",
    ],
    "postgresql": [
        "CREATE TABLE vehicle (id INTEGER PRIMARY KEY, name TEXT)",
        "CREATE TABLE car (doors INTEGER) INHERITS (vehicle)",
        "INSERT INTO car VALUES (1, 'mini', 3)",
        "CREATE TABLE reading (sensor INTEGER NOT NULL, taken DATE NOT NULL, level NUMERIC(8, 3)) "
        "PARTITION BY RANGE (taken)",
        "CREATE TABLE reading_2024 PARTITION OF reading "
        "FOR VALUES FROM ('2024-01-01') TO ('2025-01-01')",
        "INSERT INTO reading VALUES (1, '2024-05-01', 1.250)",
        "CREATE TABLE stock (shop INTEGER, item INTEGER, line SERIAL, qty INTEGER, "
        "PRIMARY KEY (item, shop, line)) WITH (fillfactor=70)",
        "CREATE TABLE oddities (id INTEGER, amount NUMERIC(12, 4), ratio DOUBLE PRECISION, "
        "small REAL, day DATE, at TIMESTAMP WITH TIME ZONE, plain TIMESTAMP, t TIME, "
        "span INTERVAL, raw BYTEA, flag BOOLEAN, doc JSON, docb JSONB, nums INTEGER[], "
        "words TEXT[], uid UUID, code CHAR(5), note TEXT, addr INET)",
        "INSERT INTO oddities VALUES (1, 12.5, 0.1, 0.1, '2024-02-29', "
        "'2024-02-29 13:45:00.123456+02', '2024-02-29 13:45:00', '01:02:03', '1 day 02:00:00', "
        "'\\x00ff10', true, '{\"a\": [1, \"b\"]}', '{\"b\": null, \"a\": 1.50}', '{1,NULL,3}', "
        "'{\"a b\",\"c,d\",\"e\\\"f\"}', 'a0eebc99-9c0b-4ef8-bb6d-6bb9bd380a11', 'AB', "
        "E'tab\\there\\nnewline (x, \"y\") \\\\', '192.168.0.1'), "
        f"(2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, false, 'null', '[]', '{{}}', "
        f"'{{}}', NULL, NULL, '{LONG}', NULL), "
        "(3, -0.0001, 1e300, 'NaN', 'infinity', '-infinity', NULL, '24:00', '-3 months', '', "
        "NULL, '\"\"', '\"\"', '{{1,2},{3,4}}', '{\"\"}', NULL, '', '', '::1')",
    ],
    "mariadb": [
        "CREATE TABLE stock (shop INT, item INT, line INT NOT NULL AUTO_INCREMENT, qty INT, "
        "PRIMARY KEY (item, shop, line), KEY (line))",
        "CREATE TABLE yearly (id INT NOT NULL, yr INT NOT NULL, PRIMARY KEY (id, yr)) "
        "PARTITION BY RANGE (yr) (PARTITION p0 VALUES LESS THAN (2000), "
        "PARTITION p1 VALUES LESS THAN MAXVALUE)",
        "CREATE TABLE hashed (id INT PRIMARY KEY, label VARCHAR(10)) "
        "PARTITION BY HASH (id) PARTITIONS 3",
        "INSERT INTO yearly VALUES (1, 1990), (2, 2024)",
        "CREATE TABLE oddities (id INT, amount DECIMAL(12, 4), ratio DOUBLE, small FLOAT, "
        "day DATE, at DATETIME(6), stamp TIMESTAMP NULL, t TIME, yr YEAR, raw BLOB, "
        "bin VARBINARY(8), bits BIT(8), flag BOOL, doc JSON, kind ENUM('a', 'b'), "
        "tags SET('x', 'y'), note TEXT)",
        "INSERT INTO oddities VALUES (1, 12.5, 0.1, 0.1, '2024-02-29', '2024-02-29 13:45:00.123456', "
        "'2024-02-29 13:45:00', '-01:02:03', 2024, x'00ff10', x'41', b'101', true, "
        "'{\"a\": [1, 2]}', 'b', 'x,y', 'tab\\there\\nnewline'), "
        f"(2, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, NULL, false, NULL, "
        f"NULL, '', '{LONG}'), "
        "(3, -0.0001, 1e300, -1.5e-7, '1000-01-01', '2024-02-29 13:45:00', NULL, '838:59:59', "
        "1901, x'', x'', b'0', NULL, '[]', 'a', 'y', '')",
        # Read in the same request as the others: other character sets, an empty table, a
        # name that would end the statement if it were not quoted.
        "CREATE TABLE latin (id INT, name VARCHAR(20) CHARACTER SET latin1, "
        "code CHAR(3) CHARACTER SET ascii, big BIGINT UNSIGNED, tiny TINYINT(1)) "
        "DEFAULT CHARSET=latin1",
        "INSERT INTO latin VALUES (1, 'café', 'ab', 18446744073709551615, -1)",
        "CREATE TABLE nothing_yet (id INT)",
        "CREATE TABLE `odd ``name; SELECT 1` (v INT)",
        "INSERT INTO `odd ``name; SELECT 1` VALUES (7)",
    ],
}


@pytest.mark.filterwarnings("ignore:Did not recognize type")
def test_tricky_schema_and_values_match_the_library(shop_db):
    with shop_db.engine.begin() as connection:
        for statement in FIDELITY_DDL[shop_db.engine_name]:
            connection.exec_driver_sql(statement)
    names = sorted(
        {"stock", "oddities", "vehicle", "car", "reading", "reading_2024", "yearly", "hashed"}
        & set(SQLDatabase(shop_db.engine).get_usable_table_names())
    )

    def caller_metadata():
        """What a caller may pass: one table reflected, one declared with some of its columns."""
        metadata = MetaData()
        metadata.reflect(shop_db.engine, only=["orders"])
        Table("stock", metadata, Column("qty", Integer), Column("item", Integer, primary_key=True))
        return metadata

    engine = create_engine(shop_db.url)
    try:
        for options in ({}, {"metadata": caller_metadata()}):
            theirs = SQLDatabase(engine, **options)
            if "metadata" in options:
                options = {"metadata": caller_metadata()}
            ours = CustomSQLDatabase(engine, **options)
            samples = []

            def count(connection, cursor, statement, *rest):
                if " LIMIT " in statement:
                    samples.append(statement)

            event.listen(engine, "before_cursor_execute", count)
            ours_text = ours.get_table_info()
            event.remove(engine, "before_cursor_execute", count)
            assert ours_text == theirs.get_table_info(), options
            assert ours.get_table_info(names) == theirs.get_table_info(names), options
            if not options:  # every value above came through the bulk read, none one by one
                assert len(samples) == 1, samples
    finally:
        engine.dispose()
        if shop_db.engine_name == "postgresql":  # children first, for the fixture's clean-up
            with shop_db.engine.begin() as connection:
                connection.exec_driver_sql("DROP TABLE car, reading, vehicle")
