"""The database wrapper the question graph reaches its database through.

A langchain_community ``SQLDatabase`` (so its SQL tools accept it) whose work is done in C++
(``norviai.askflow._sqlwrap``): the catalogue is read in bulk on first use instead of reflected at
construction, and ``run`` executes one read-only query under a time limit and a row cap.
"""

from langchain_community.utilities.sql_database import SQLDatabase

from norviai.askflow import _sqlwrap
from norviai.askflow._sqlwrap import ReadOnlyViolation, StatementTimeout

__all__ = ["CustomSQLDatabase", "ReadOnlyViolation", "StatementTimeout"]


class CustomSQLDatabase(SQLDatabase):
    """``SQLDatabase`` with bulk catalogue reading and read-only, time- and row-limited runs.

    ``statement_timeout`` is in seconds (None: no limit); ``max_rows`` caps the rows ``run``
    returns (None: no cap). A role that is a superuser or may read server files is warned about
    once, at construction.
    """

    def __init__(self, engine, *args, statement_timeout=30, max_rows=1000, **kwargs):
        _sqlwrap.configure(self, statement_timeout, max_rows)
        kwargs["lazy_table_reflection"] = True
        super().__init__(engine, *args, **kwargs)
        _sqlwrap.warn_if_privileged(self)

    @classmethod
    def from_uri(
        cls, database_uri, engine_args=None, *, statement_timeout=30, max_rows=1000, **kwargs
    ):
        return super().from_uri(
            database_uri,
            engine_args,
            statement_timeout=statement_timeout,
            max_rows=max_rows,
            **kwargs,
        )

    def get_table_info(self, table_names=None, get_col_comments=False):
        return _sqlwrap.table_info(self, table_names, get_col_comments)

    def run(
        self,
        command,
        fetch="all",
        include_columns=False,
        *,
        parameters=None,
        execution_options=None,
    ):
        return _sqlwrap.run(self, command, fetch, include_columns, parameters, execution_options)
