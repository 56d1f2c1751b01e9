"""Table names and table information of CustomSQLDatabase, against langchain_community's own
SQLDatabase on the same database, on every engine."""

import pytest
from langchain_community.tools.sql_database.tool import InfoSQLDatabaseTool, ListSQLDatabaseTool
from langchain_community.utilities.sql_database import SQLDatabase
from sqlalchemy import create_engine, event

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
        # A few catalogue queries for the whole database, then one sample query per table.
        assert tables < len(statements) <= tables + 6
        del statements[:]
        assert db.get_table_info() == first
        assert len(statements) == tables
        assert first == lazy.get_table_info()
    finally:
        engine.dispose()
