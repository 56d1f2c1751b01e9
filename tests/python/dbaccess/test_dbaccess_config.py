"""Configuration from the environment, its replacement and its check."""

import json
import os
import subprocess
import sys

import pytest

from norviai import dbaccess

# Prints the configuration as the module read it at import, then the check's output and result.
_REPORT = """
import json
from norviai import dbaccess
names = ("db_port", "db_user", "db_password", "db_host", "db_name")
print(json.dumps({name: getattr(dbaccess, name) for name in names}))
print(json.dumps(dbaccess.check_db_config_variables()))
"""


def _import_in_child(environment):
    env = {k: v for k, v in os.environ.items() if not k.lower().startswith("db_")}
    env.update(environment)
    done = subprocess.run(
        [sys.executable, "-c", _REPORT], env=env, capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 0, done.stderr
    config, check_line, invalid = done.stdout.splitlines()
    return json.loads(config), check_line, json.loads(invalid)


@pytest.mark.parametrize(
    "environment, config, check_line, invalid",
    [
        (
            {},
            {"db_port": 3306, "db_user": "root", "db_password": "kvzt", "db_host": None,
             "db_name": None},
            "The following configuration variables are invalid: db_name, db_host",
            ["db_name", "db_host"],
        ),
        (
            # Values are kept as given; the port is never read from the environment.
            {"db_user": "ann", "db_password": " p;w ", "db_host": "db.local", "db_name": "shop",
             "db_port": "5432"},
            {"db_port": 3306, "db_user": "ann", "db_password": " p;w ", "db_host": "db.local",
             "db_name": "shop"},
            "All configuration variables are set correctly.",
            [],
        ),
        (
            # Only the lower-case names count; an empty value is reported by the check.
            {"DB_USER": "upper", "db_name": "", "db_host": "h"},
            {"db_port": 3306, "db_user": "root", "db_password": "kvzt", "db_host": "h",
             "db_name": ""},
            "The following configuration variables are invalid: db_name",
            ["db_name"],
        ),
    ],
    ids=["defaults", "from-environment", "case-and-empty"],
)  # fmt: skip
def test_configuration_is_read_from_the_environment_at_import(
    environment, config, check_line, invalid
):
    assert _import_in_child(environment) == (config, check_line, invalid)


def _config():
    return [getattr(dbaccess, name) for name in ("db_name", "db_user", "db_password", "db_host",
                                                 "db_port")]  # fmt: skip


def test_set_database_config_assigns_every_variable_and_the_check_sees_them(capsys):
    dbaccess.set_database_config(name="", user="u", password="p", host="h", port=5432)
    assert _config() == ["", "u", "p", "h", 5432]
    assert dbaccess.check_db_config_variables() == ["db_name"]
    assert capsys.readouterr().out == (
        "The following configuration variables are invalid: db_name\n"
    )

    dbaccess.set_database_config("shop", "u", "p", "h", True)  # bool is an int subclass
    assert dbaccess.check_db_config_variables() == []
    assert capsys.readouterr().out == "All configuration variables are set correctly.\n"


@pytest.mark.parametrize(
    "arguments",
    [
        ("shop", "u", "p", "h", "5432"),
        ("shop", "u", "p", "h", 5432.0),
        (None, "u", "p", "h", 5432),
        ("shop", "u", "p", None, 5432),
    ],
    ids=["text-port", "float-port", "no-name", "no-host"],
)
def test_set_database_config_refuses_bad_input_and_changes_nothing(arguments):
    dbaccess.set_database_config("before", "u0", "p0", "h0", 1)
    with pytest.raises(ValueError) as raised:
        dbaccess.set_database_config(*arguments)
    assert str(raised.value) == "All parameters must be provided and 'port' must be an integer."
    assert _config() == ["before", "u0", "p0", "h0", 1]
