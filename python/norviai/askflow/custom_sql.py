"""The database wrapper the question graph reaches its database through."""

from langchain_community.utilities.sql_database import SQLDatabase


class CustomSQLDatabase(SQLDatabase):
    """langchain_community's ``SQLDatabase``, so that its SQL tools accept it."""
