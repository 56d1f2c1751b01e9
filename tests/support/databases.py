"""Private PostgreSQL and MariaDB servers for tests, started from Debian's binaries.

Each server lives in a fresh temporary folder (data, sockets, log), listens on a free loopback port
only, runs as an unprivileged account when we are root, and is stopped and removed by `stop()`, at
interpreter exit, or (if the test process is killed) by the kernel's parent-death signal.
"""

import atexit
import ctypes
import os
import pwd
import secrets
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import psycopg2
import pymysql
from psycopg2 import sql as pgsql
from sqlalchemy import URL

USER = "norviai"
PASSWORD = "p@ss:w/rd%"
DATABASE = "shop"
ADMIN_USER = "admin"

POSTGRES_BIN = "/usr/lib/postgresql/15/bin"
STARTUP_TIMEOUT = 30.0
_DIR_PREFIX = "norviai-db-"
_OWNER_FILE = "owner.pid"
_PR_SET_PDEATHSIG = 1


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def _account(names):
    """(name, uid, gid) of the first existing account, or None when we are not root."""
    if os.geteuid() != 0:
        return None
    for name in names:
        try:
            entry = pwd.getpwnam(name)
        except KeyError:
            continue
        return name, entry.pw_uid, entry.pw_gid
    return None


def _die_with_parent(death_signal):
    # The kernel sends the signal when the starting *thread* ends: start from a long-lived thread.
    parent = os.getpid()
    libc = ctypes.CDLL(None, use_errno=True)

    def preexec():
        # Runs after the uid change, which would otherwise clear the setting.
        libc.prctl(_PR_SET_PDEATHSIG, int(death_signal), 0, 0, 0)
        if os.getppid() != parent:
            os._exit(1)

    return preexec


def _sweep_stale_directories():
    """Remove folders left by test processes that were killed before they could clean up."""
    root = tempfile.gettempdir()
    for name in os.listdir(root):
        if not name.startswith(_DIR_PREFIX):
            continue
        path = os.path.join(root, name)
        try:
            with open(os.path.join(path, _OWNER_FILE)) as handle:
                owner = int(handle.read())
            os.kill(owner, 0)
        except ProcessLookupError:
            shutil.rmtree(path, ignore_errors=True)
        except (OSError, ValueError):
            continue


def _sql_text(value):
    return "'" + value.replace("\\", "\\\\").replace("'", "''") + "'"


class _Server:
    engine_name = ""
    url_scheme = ""
    default_driver = ""
    accounts = ()
    stop_signal = signal.SIGTERM
    death_signal = signal.SIGKILL

    def __init__(self, settings=None, startup_timeout=STARTUP_TIMEOUT):
        self.settings = dict(settings or {})
        self.startup_timeout = startup_timeout
        self.host = "127.0.0.1"
        self.port = None
        self.user = USER
        self.password = PASSWORD
        self.database = DATABASE
        self.admin_user = ADMIN_USER
        self.admin_password = secrets.token_hex(12)
        self.directory = None
        self.log_path = None
        self.startup_seconds = None
        self._process = None
        self._log = None
        self._account = _account(self.accounts)

    # -- life cycle -------------------------------------------------------------------------

    def start(self):
        if self._process is not None:
            raise RuntimeError(f"{self.engine_name} server already started")
        began = time.monotonic()
        _sweep_stale_directories()
        self.directory = tempfile.mkdtemp(prefix=f"{_DIR_PREFIX}{self.engine_name}-")
        atexit.register(self.stop)
        try:
            with open(os.path.join(self.directory, _OWNER_FILE), "w") as handle:
                handle.write(str(os.getpid()))
            self._give_away(self.directory)
            self.log_path = os.path.join(self.directory, "server.log")
            self._initialise()
            # Another process may take the free port between probe and bind: try a few.
            for attempt in range(3):
                self.port = _free_port()
                self._launch()
                if self._wait_ready():
                    break
                if attempt == 2 or "in use" not in self.log_tail():
                    raise RuntimeError(
                        f"{self.engine_name} server exited during start-up:\n{self.log_tail()}"
                    )
                self._process.wait()
                self._process = None
            self._set_up()
        except BaseException:
            self.stop()
            raise
        self.startup_seconds = time.monotonic() - began
        return self

    def stop(self):
        process, self._process = self._process, None
        if process is not None and process.poll() is None:
            process.send_signal(self.stop_signal)
            try:
                process.wait(20)
            except subprocess.TimeoutExpired:
                # The server leads its own process group: take its children too.
                os.killpg(process.pid, signal.SIGKILL)
                process.wait()
        if self._log is not None:
            self._log.close()
            self._log = None
        if self.directory is not None:
            shutil.rmtree(self.directory, ignore_errors=True)
        atexit.unregister(self.stop)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc_info):
        self.stop()

    @property
    def running(self):
        return self._process is not None and self._process.poll() is None

    @property
    def pid(self):
        return None if self._process is None else self._process.pid

    def log_tail(self, lines=40):
        try:
            with open(self.log_path, errors="replace") as handle:
                return "".join(handle.readlines()[-lines:])
        except (OSError, TypeError):
            return ""

    # -- addresses --------------------------------------------------------------------------

    def url(self, driver=None, *, user=None, password=None, database=None):
        """SQLAlchemy URL text, password escaped; the login user and "shop" unless told."""
        return URL.create(
            f"{self.url_scheme}+{driver or self.default_driver}",
            username=user or self.user,
            password=self.password if password is None and user is None else password,
            host=self.host,
            port=self.port,
            database=database or self.database,
        ).render_as_string(hide_password=False)

    def admin_url(self, driver=None, *, database=None):
        return self.url(
            driver, user=self.admin_user, password=self.admin_password, database=database
        )

    # -- helpers for subclasses -------------------------------------------------------------

    def _give_away(self, path):
        if self._account is not None:
            os.chown(path, self._account[1], self._account[2])

    def _run_as_account(self):
        options = {"cwd": self.directory, "env": self._environment()}
        if self._account is not None:
            options.update(user=self._account[1], group=self._account[2], extra_groups=[])
        return options

    def _environment(self):
        return {
            "PATH": "/usr/sbin:/usr/bin:/sbin:/bin",
            "HOME": self.directory,
            "LANG": "C.UTF-8",
            "TZ": "UTC",
        }

    def _run_tool(self, command):
        done = subprocess.run(
            command,
            stdin=subprocess.DEVNULL,
            capture_output=True,
            text=True,
            **self._run_as_account(),
        )
        if done.returncode != 0:
            raise RuntimeError(
                f"{os.path.basename(command[0])} failed ({done.returncode}):\n"
                f"{done.stdout[-3000:]}{done.stderr[-3000:]}"
            )

    def _launch(self):
        if self._log is None:
            self._log = open(self.log_path, "ab")
        self._process = subprocess.Popen(
            self._server_command(),
            stdin=subprocess.DEVNULL,
            stdout=self._log,
            stderr=subprocess.STDOUT,
            start_new_session=True,
            preexec_fn=_die_with_parent(self.death_signal),
            **self._run_as_account(),
        )

    def _wait_ready(self):
        """True once the server answers; False if it exited; raises when it never answers."""
        deadline = time.monotonic() + self.startup_timeout
        while True:
            if self._process.poll() is not None:
                return False
            try:
                self._probe()
                return True
            except Exception:
                if time.monotonic() > deadline:
                    raise RuntimeError(
                        f"{self.engine_name} server not ready after {self.startup_timeout:.0f} s:"
                        f"\n{self.log_tail()}"
                    ) from None
            time.sleep(0.05)

    def _initialise(self):
        raise NotImplementedError

    def _server_command(self):
        raise NotImplementedError

    def _probe(self):
        raise NotImplementedError

    def _set_up(self):
        pass


class PostgresServer(_Server):
    """PostgreSQL with a superuser `admin` and the login `norviai` owning database `shop`."""

    engine_name = "postgresql"
    url_scheme = "postgresql"
    default_driver = "psycopg2"
    accounts = ("postgres", "nobody")
    stop_signal = signal.SIGINT  # fast shutdown: ends open sessions instead of waiting
    death_signal = signal.SIGQUIT

    def _initialise(self):
        password_file = os.path.join(self.directory, "admin-password")
        with open(password_file, "w") as handle:
            handle.write(self.admin_password + "\n")
        self._give_away(password_file)
        self._run_tool(
            [
                os.path.join(POSTGRES_BIN, "initdb"),
                f"--pgdata={os.path.join(self.directory, 'data')}",
                f"--username={self.admin_user}",
                f"--pwfile={password_file}",
                "--auth=scram-sha-256",
                "--encoding=UTF8",
                "--no-locale",
                "--no-sync",
                "--no-instructions",
            ]
        )
        os.unlink(password_file)

    def _server_command(self):
        settings = {
            "listen_addresses": self.host,
            "port": str(self.port),
            "unix_socket_directories": self.directory,
            "shared_buffers": "16MB",
            "max_connections": "40",
            "fsync": "off",
            "synchronous_commit": "off",
            "full_page_writes": "off",
            "jit": "off",
            "logging_collector": "off",
            "timezone": "UTC",
        }
        settings.update(self.settings)
        command = [
            os.path.join(POSTGRES_BIN, "postgres"),
            "-D",
            os.path.join(self.directory, "data"),
        ]
        for name, value in settings.items():
            command += ["-c", f"{name}={value}"]
        return command

    def _admin_connect(self, database="postgres"):
        return psycopg2.connect(
            host=self.host,
            port=self.port,
            user=self.admin_user,
            password=self.admin_password,
            dbname=database,
            connect_timeout=3,
        )

    def _probe(self):
        self._admin_connect().close()

    def _admin_execute(self, *statements):
        connection = self._admin_connect()
        try:
            connection.autocommit = True
            with connection.cursor() as cursor:
                for statement, parameters in statements:
                    cursor.execute(statement, parameters)
        finally:
            connection.close()

    def _set_up(self):
        self._admin_execute(
            (
                pgsql.SQL("CREATE ROLE {} LOGIN PASSWORD %s").format(pgsql.Identifier(self.user)),
                (self.password,),
            )
        )
        self.create_database(self.database)

    def create_database(self, name):
        """A fresh empty database owned by the login user (dropped first if it exists)."""
        self._admin_execute(
            (
                pgsql.SQL("DROP DATABASE IF EXISTS {} WITH (FORCE)").format(pgsql.Identifier(name)),
                None,
            ),
            (
                pgsql.SQL("CREATE DATABASE {} OWNER {}").format(
                    pgsql.Identifier(name), pgsql.Identifier(self.user)
                ),
                None,
            ),
        )
        return name


class MariaDBServer(_Server):
    """MariaDB with an all-privileged `admin` and the login `norviai` granted all on `shop`."""

    engine_name = "mariadb"
    url_scheme = "mysql"
    default_driver = "mysqlconnector"
    accounts = ("mysql",)

    def _initialise(self):
        self._run_tool(
            [
                "mariadb-install-db",
                "--no-defaults",
                f"--datadir={os.path.join(self.directory, 'data')}",
                "--auth-root-authentication-method=socket",
                "--skip-test-db",
                "--skip-name-resolve",
                "--innodb-buffer-pool-size=16M",
                "--innodb-log-file-size=4M",
            ]
            + ([] if self._account is not None or os.geteuid() != 0 else ["--user=root"])
        )
        # Accounts need the grant tables loaded, which the bootstrap above does not have:
        # the server runs this file once at start-up, before it accepts connections.
        init_file = os.path.join(self.directory, "init.sql")
        with open(init_file, "w") as handle:
            handle.write(
                f"CREATE DATABASE `{self.database}` CHARACTER SET utf8mb4;\n"
                f"CREATE USER '{self.admin_user}'@'%' IDENTIFIED BY "
                f"{_sql_text(self.admin_password)};\n"
                f"GRANT ALL PRIVILEGES ON *.* TO '{self.admin_user}'@'%' WITH GRANT OPTION;\n"
                f"CREATE USER '{self.user}'@'%' IDENTIFIED BY {_sql_text(self.password)};\n"
                f"GRANT ALL PRIVILEGES ON `{self.database}`.* TO '{self.user}'@'%';\n"
            )
        self._give_away(init_file)

    def _server_command(self):
        settings = {
            "datadir": os.path.join(self.directory, "data"),
            "tmpdir": self.directory,
            "socket": os.path.join(self.directory, "mysqld.sock"),
            "pid-file": os.path.join(self.directory, "mysqld.pid"),
            "secure-file-priv": self.directory,
            "init-file": os.path.join(self.directory, "init.sql"),
            "bind-address": self.host,
            "port": str(self.port),
            "skip-name-resolve": None,
            "skip-log-bin": None,
            "performance-schema": "OFF",
            "character-set-server": "utf8mb4",
            "collation-server": "utf8mb4_unicode_ci",
            "default-time-zone": "+00:00",
            "innodb-buffer-pool-size": "16M",
            "innodb-log-file-size": "4M",
            "innodb-flush-log-at-trx-commit": "0",
            "innodb-doublewrite": "0",
            "max-connections": "40",
            "table-open-cache": "200",
        }
        if self._account is None and os.geteuid() == 0:
            settings["user"] = "root"
        settings.update(self.settings)
        command = ["mariadbd", "--no-defaults"]
        for name, value in settings.items():
            command.append(f"--{name}" if value is None else f"--{name}={value}")
        return command

    def _admin_connect(self, database=None):
        return pymysql.connect(
            host=self.host,
            port=self.port,
            user=self.admin_user,
            password=self.admin_password,
            database=database,
            connect_timeout=3,
            autocommit=True,
        )

    def _probe(self):
        self._admin_connect().close()

    def create_database(self, name):
        """A fresh empty database the login user may do anything in (dropped first if it exists)."""
        quoted = "`" + name.replace("`", "``") + "`"
        connection = self._admin_connect()
        try:
            with connection.cursor() as cursor:
                cursor.execute(f"DROP DATABASE IF EXISTS {quoted}")
                cursor.execute(f"CREATE DATABASE {quoted} CHARACTER SET utf8mb4")
                cursor.execute(f"GRANT ALL PRIVILEGES ON {quoted}.* TO %s@'%%'", (self.user,))
        finally:
            connection.close()
        return name
