"""Databases of our own on the session's servers, and the module configuration pointed at them.

Each engine gets a database "dbaccess" holding the sample shop data plus tables whose names need
quoting, and an empty database "dbaccess_empty". The module configuration is restored after each
test, since the module keeps it process-wide.
"""

import dataclasses

import psycopg2
import pymysql
import pytest

from norviai import dbaccess
from support import sample_data
from support.databases import MariaDBServer

DATABASE = "dbaccess"
EMPTY_DATABASE = "dbaccess_empty"
CONFIG_NAMES = ("db_name", "db_user", "db_password", "db_host", "db_port")


@dataclasses.dataclass
class Target:
    server: object
    database: str

    def connect(self):
        """A direct driver connection, for set-up and checks beside the module under test."""
        if isinstance(self.server, MariaDBServer):
            return pymysql.connect(
                host=self.server.host,
                port=self.server.port,
                user=self.server.user,
                password=self.server.password,
                database=self.database,
            )
        return psycopg2.connect(
            host=self.server.host,
            port=self.server.port,
            user=self.server.user,
            password=self.server.password,
            dbname=self.database,
        )

    def configure(self, database=None):
        dbaccess.set_database_config(
            database or self.database,
            self.server.user,
            self.server.password,
            self.server.host,
            self.server.port,
        )


@pytest.fixture(autouse=True)
def restore_config():
    saved = {name: getattr(dbaccess, name) for name in CONFIG_NAMES}
    yield
    for name, value in saved.items():
        setattr(dbaccess, name, value)


@pytest.fixture(scope="session")
def mariadb_target(mariadb_server):
    mariadb_server.create_database(EMPTY_DATABASE)
    mariadb_server.create_database(DATABASE)
    sample_data.load(mariadb_server.url("pymysql", database=DATABASE))
    target = Target(mariadb_server, DATABASE)
    connection = target.connect()
    try:
        with connection.cursor() as cursor:
            cursor.execute("CREATE TABLE `order notes` (`note id` INT, body TEXT)")
            cursor.execute("CREATE TABLE `select` (`from` VARCHAR(10))")
            cursor.execute("CREATE TABLE `odd``name` (x INT)")
    finally:
        connection.close()
    return target


@pytest.fixture(scope="session")
def postgres_target(postgres_server):
    postgres_server.create_database(EMPTY_DATABASE)
    postgres_server.create_database(DATABASE)
    sample_data.load(postgres_server.url(database=DATABASE))
    target = Target(postgres_server, DATABASE)
    connection = target.connect()
    try:
        with connection, connection.cursor() as cursor:
            cursor.execute('CREATE TABLE "order notes" ("note id" INTEGER, body TEXT)')
            cursor.execute('CREATE TABLE "select" ("from" VARCHAR(10))')
            # Same name as a public table, other columns: must not leak into its schema.
            cursor.execute("CREATE SCHEMA other")
            cursor.execute("CREATE TABLE other.customers (secret TEXT, id BIGINT)")
    finally:
        connection.close()
    return target


@pytest.fixture
def mariadb_db(mariadb_target):
    mariadb_target.configure()
    return mariadb_target


@pytest.fixture
def postgres_db(postgres_target):
    postgres_target.configure()
    return postgres_target
