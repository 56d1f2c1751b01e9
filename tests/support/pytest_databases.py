"""pytest plugin: private database servers for the session and the sample shop database on each.

`shop_db` runs a test once per engine (sqlite, postgresql, mariadb). The sample data is loaded once
per session per engine; a test that leaves it changed gets it reloaded for the tests after it.
"""

import dataclasses

import pytest
from sqlalchemy import create_engine, inspect, text
from sqlalchemy.engine import Engine
from sqlalchemy.pool import NullPool

from support import sample_data
from support.databases import MariaDBServer, PostgresServer

ENGINES = ("sqlite", "postgresql", "mariadb")


@dataclasses.dataclass
class ShopDatabase:
    engine_name: str  # "sqlite", "postgresql" or "mariadb"
    url: str  # SQLAlchemy URL text as the wrapper takes it (MariaDB through mysql+mysqlconnector)
    server: object  # the PostgresServer or MariaDBServer, None for SQLite
    path: str  # the SQLite file, None for the servers
    engine: Engine  # for set-up and checks; NullPool, so it holds no connection between uses

    def checksums(self):
        with self.engine.connect() as connection:
            return sample_data.table_checksums(connection)

    def reload(self):
        """Back to exactly the sample: tables and views a test added go too."""
        with self.engine.begin() as connection:
            inspector = inspect(connection)
            quote = connection.dialect.identifier_preparer.quote
            for view in inspector.get_view_names():
                connection.execute(text(f"DROP VIEW {quote(view)}"))
            for table in set(inspector.get_table_names()) - set(sample_data.TABLES):
                connection.execute(text(f"DROP TABLE {quote(table)}"))
        sample_data.load(self.engine)


@pytest.fixture(scope="session")
def postgres_server():
    with PostgresServer() as server:
        yield server


@pytest.fixture(scope="session")
def mariadb_server():
    with MariaDBServer() as server:
        yield server


@pytest.fixture(scope="session")
def _shop_databases():
    loaded = {}
    yield loaded
    for database in loaded.values():
        database.engine.dispose()


@pytest.fixture(params=ENGINES)
def shop_db(request, _shop_databases):
    name = request.param
    database = _shop_databases.get(name)
    if database is None:
        if name == "sqlite":
            server = None
            path = str(request.getfixturevalue("tmp_path_factory").mktemp("shop") / "shop.db")
            url = f"sqlite:///{path}"
        else:
            server = request.getfixturevalue(
                "postgres_server" if name == "postgresql" else "mariadb_server"
            )
            path = None
            url = server.url()
        database = ShopDatabase(name, url, server, path, create_engine(url, poolclass=NullPool))
        database.reload()
        _shop_databases[name] = database
    yield database
    if database.checksums() != sample_data.expected_checksums():
        database.reload()
