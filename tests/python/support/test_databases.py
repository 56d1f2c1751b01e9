"""The private database servers and the sample shop database on every engine."""

import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import time

import pytest
from sqlalchemy import create_engine, make_url, text
from sqlalchemy.exc import DBAPIError
from sqlalchemy.pool import NullPool

from support import sample_data
from support.databases import PASSWORD, MariaDBServer, PostgresServer

pytestmark = pytest.mark.timeout(120)

ROOT = pathlib.Path(__file__).resolve().parents[3]
SERVER_FIXTURES = {"postgresql": "postgres_server", "mariadb": "mariadb_server"}


def run_sql(url, statement):
    engine = create_engine(url, poolclass=NullPool)
    try:
        with engine.begin() as connection:
            result = connection.execute(text(statement))
            return result.all() if result.returns_rows else None
    finally:
        engine.dispose()


def checksums_at(url):
    engine = create_engine(url, poolclass=NullPool)
    try:
        with engine.connect() as connection:
            return sample_data.table_checksums(connection)
    finally:
        engine.dispose()


def port_open(port, host="127.0.0.1"):
    with socket.socket() as probe:
        probe.settimeout(2)
        return probe.connect_ex((host, port)) == 0


def alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as handle:
            state = handle.read().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return False
    return state not in ("Z", "X")


def server_of(request, engine_name):
    return request.getfixturevalue(SERVER_FIXTURES[engine_name])


class TestSample:
    def test_loaded_content_is_exactly_the_sample(self, shop_db):
        for table, count in sample_data.expected_counts().items():
            assert run_sql(shop_db.url, f"SELECT COUNT(*) FROM {table}") == [(count,)]
        assert shop_db.checksums() == sample_data.expected_checksums()

    def test_bundled_sqlite_file_matches_the_sample(self):
        path = ROOT / "python/norviai/data/sample.db"
        url = f"sqlite:///file:{path}?mode=ro&uri=true"
        assert checksums_at(url) == sample_data.expected_checksums()

    def test_sample_does_not_depend_on_the_process(self):
        # Hash randomisation would expose any dependence on set or dict order.
        program = (
            "import json; from support import sample_data;"
            "print(json.dumps(sample_data.expected_checksums()))"
        )
        outputs = {
            subprocess.run(
                [sys.executable, "-c", program],
                env={**os.environ, "PYTHONPATH": str(ROOT / "tests"), "PYTHONHASHSEED": seed},
                capture_output=True,
                text=True,
                check=True,
            ).stdout
            for seed in ("1", "2")
        }
        assert len(outputs) == 1
        assert outputs.pop().strip() == json.dumps(sample_data.expected_checksums())

    def test_documented_facts_hold(self):
        data = sample_data.rows()
        ordering = {order["customer_id"] for order in data["orders"]}
        assert {46, 47, 48, 49, 50}.isdisjoint(ordering)
        sold = {item["product_id"] for item in data["order_items"]}
        assert {29, 30}.isdisjoint(sold)
        assert {p["id"] for p in data["products"] if p["stock"] == 0} == {7, 19}
        dates = [order["order_date"] for order in data["orders"]]
        assert dates == sorted(dates)
        created = {c["id"]: c["created_at"].date() for c in data["customers"]}
        assert all(o["order_date"] >= created[o["customer_id"]] for o in data["orders"])
        # Text that trips careless quoting and encoding is part of the sample.
        names = [c["name"] for c in data["customers"]]
        assert any("'" in name for name in names)
        assert any(not name.isascii() for name in names)

    def test_load_is_idempotent_on_a_fresh_database(self, shop_db, tmp_path):
        if shop_db.server is None:
            url = f"sqlite:///{tmp_path / 'scratch.db'}"
        else:
            url = shop_db.server.url(database=shop_db.server.create_database("scratch"))
        sample_data.load(url)
        run_sql(url, "UPDATE customers SET city = 'Nowhere'")
        sample_data.load(url)
        assert checksums_at(url) == sample_data.expected_checksums()


class TestLogin:
    @pytest.mark.parametrize(
        "engine_name, drivers",
        [("postgresql", ["psycopg2"]), ("mariadb", ["mysqlconnector", "pymysql"])],
    )
    def test_password_with_special_characters_goes_through_the_url(
        self, request, engine_name, drivers
    ):
        server = server_of(request, engine_name)
        for driver in drivers:
            url = server.url(driver)
            assert make_url(url).password == PASSWORD
            assert PASSWORD not in url
            [(who,)] = run_sql(url, "SELECT CURRENT_USER")
            assert who.split("@")[0] == "norviai"

    @pytest.mark.parametrize("engine_name", ["postgresql", "mariadb"])
    def test_wrong_password_is_refused(self, request, engine_name):
        server = server_of(request, engine_name)
        with pytest.raises(DBAPIError):
            run_sql(server.url(user="norviai", password=PASSWORD + "x"), "SELECT 1")
        with pytest.raises(DBAPIError):
            run_sql(server.url(user="norviai", password=""), "SELECT 1")

    @pytest.mark.parametrize("engine_name", ["postgresql", "mariadb"])
    def test_admin_can_see_all_databases(self, request, engine_name):
        server = server_of(request, engine_name)
        query = {
            "postgresql": "SELECT datname FROM pg_database",
            "mariadb": "SHOW DATABASES",
        }[engine_name]
        assert ("shop",) in run_sql(server.admin_url(), query)


class TestChecksums:
    def test_any_change_shows_and_restoring_undoes_it(self, shop_db):
        before = shop_db.checksums()
        [(price,)] = run_sql(shop_db.url, "SELECT price FROM products WHERE id = 1")
        run_sql(shop_db.url, "UPDATE products SET price = price + 1 WHERE id = 1")
        changed = shop_db.checksums()
        assert changed["products"] != before["products"]
        assert {k: v for k, v in changed.items() if k != "products"} == {
            k: v for k, v in before.items() if k != "products"
        }
        run_sql(shop_db.url, f"UPDATE products SET price = {price} WHERE id = 1")
        assert shop_db.checksums() == before

        run_sql(shop_db.url, "CREATE TABLE extra (id INTEGER PRIMARY KEY)")
        assert set(shop_db.checksums()) == set(before) | {"extra"}
        run_sql(shop_db.url, "CREATE VIEW extra_view AS SELECT id FROM customers")
        assert set(shop_db.checksums()) == set(before) | {"extra", "extra_view"}
        shop_db.reload()
        assert shop_db.checksums() == before

    def test_swapped_values_change_the_checksum(self, shop_db):
        # Same multiset of values per column, different rows: a per-column sum would miss it.
        before = shop_db.checksums()
        [(first,), (second,)] = run_sql(
            shop_db.url, "SELECT city FROM customers WHERE id IN (1, 2) ORDER BY id"
        )
        assert first != second
        run_sql(shop_db.url, f"UPDATE customers SET city = '{second}' WHERE id = 1")
        run_sql(shop_db.url, f"UPDATE customers SET city = '{first}' WHERE id = 2")
        assert shop_db.checksums()["customers"] != before["customers"]
        shop_db.reload()


@pytest.mark.parametrize("server_class", [PostgresServer, MariaDBServer], ids=["pg", "mariadb"])
class TestServerLife:
    def test_start_serves_loopback_only_and_stop_leaves_nothing(self, server_class):
        server = server_class()
        began = time.monotonic()
        server.start()
        try:
            elapsed = time.monotonic() - began
            print(f"{server.engine_name} started in {elapsed:.2f} s")
            assert elapsed < 10
            assert port_open(server.port)
            assert not port_open(server.port, "127.0.0.2")
            folder = pathlib.Path(server.directory)
            assert any(entry.is_socket() for entry in folder.iterdir()), "socket not in own folder"
            if os.geteuid() == 0:
                with open(f"/proc/{server.pid}/status") as handle:
                    uid = next(line for line in handle if line.startswith("Uid:")).split()[1]
                assert uid != "0"
            assert run_sql(server.url(), "SELECT 1") == [(1,)]
            pid, directory, port = server.pid, server.directory, server.port
        finally:
            server.stop()
        assert not alive(pid)
        assert not os.path.exists(directory)
        assert not port_open(port)
        server.stop()  # a second stop is harmless

    def test_failed_start_reports_the_log_and_cleans_up(self, server_class):
        bad = (
            {"shared_buffers": "plenty"}
            if server_class is PostgresServer
            else {"no-such-option": "1"}
        )
        server = server_class(settings=bad)
        with pytest.raises(RuntimeError, match="shared_buffers|no-such-option") as raised:
            server.start()
        assert "exited during start-up" in str(raised.value)
        assert not os.path.exists(server.directory)
        assert not server.running

    def test_killed_test_process_takes_its_server_along(self, server_class, tmp_path):
        program = (
            "import sys, time; from support.databases import {cls};"
            "s = {cls}().start(); print(s.pid, s.directory, flush=True); time.sleep(600)"
        ).format(cls=server_class.__name__)
        owner = subprocess.Popen(
            [sys.executable, "-c", program],
            env={**os.environ, "PYTHONPATH": str(ROOT / "tests")},
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            pid, directory = owner.stdout.readline().split()
        finally:
            owner.send_signal(signal.SIGKILL)
            owner.wait()
        deadline = time.monotonic() + 20
        while alive(int(pid)) and time.monotonic() < deadline:
            time.sleep(0.1)
        assert not alive(int(pid))
        # Its folder outlived it; the next start sweeps it away.
        assert os.path.exists(directory)
        with server_class() as server:
            assert server.running
        assert not os.path.exists(directory)
