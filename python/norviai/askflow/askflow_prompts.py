"""Prompt texts of the question graph.

Python-format templates (braces are placeholders, literal braces are doubled):
SQL_PREFIX, GET_RELEVANT_TABLE_NAMES_TEMPLATE and REWRITE_QUESTION_TEMPLATE.
TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE is appended after formatting, so its braces stay literal.
jinja2 templates: PANDAS_SYSTEM_TEMPLATE, PANDAS_HUMAN_TEMPLATE and CORRECT_SQL_TEMPLATE.
"""

__all__ = [
    "SQL_PREFIX",
    "GET_RELEVANT_TABLE_NAMES_TEMPLATE",
    "TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE",
    "REWRITE_QUESTION_TEMPLATE",
    "PANDAS_SYSTEM_TEMPLATE",
    "PANDAS_HUMAN_TEMPLATE",
    "CORRECT_SQL_TEMPLATE",
    "SQL_GENERATION_SYSTEM_TEMPLATE",
    "SQL_GENERATION_HUMAN_TEMPLATE",
    "PYTHON_CORRECTION_TEMPLATE",
    "FINAL_RESPONSE_TEMPLATE",
]

# Variables: dialect, user_question, table_names_from_db.
SQL_PREFIX = """You are an expert {dialect} data analyst working on a read-only database.
The user asks questions in plain language; you answer them with exactly one {dialect} query.

Rules for every query you write:
- Write a single read-only statement: SELECT (optionally starting with WITH). Never write INSERT, \
UPDATE, DELETE, MERGE, CREATE, ALTER, DROP, TRUNCATE, GRANT, COPY or any statement that changes \
data, schema, settings or files. Such statements are refused.
- Use only tables and columns that exist in the schema you are given; never invent names. \
The tables of this database are: {table_names_from_db}.
- Select only the columns the question needs, never SELECT *.
- Quote identifiers the {dialect} way when they contain spaces, capitals or reserved words.
- Unless the question asks for a specific number of rows or for every row, limit the result to at \
most 20 rows, ordered so that the most relevant rows come first.
- Give computed columns short, readable aliases.
- Aggregate in SQL (COUNT, SUM, AVG, GROUP BY) rather than returning raw rows to be counted later.
- Return the query text only: no explanation, no Markdown code fence.

The question to answer: {user_question}"""

# Variables: dialect, user_question, table_names_from_db.
GET_RELEVANT_TABLE_NAMES_TEMPLATE = """Database dialect: {dialect}
Tables in the database: {table_names_from_db}

Question: {user_question}

Which of these tables are needed to write a {dialect} query that answers the question? \
Include the tables that hold the requested values, the tables used to filter or group them, \
and the tables needed to join them together. Use the table names exactly as listed above."""

# Appended verbatim after formatting: braces here are literal.
TAIL_GET_RELEVANT_TABLE_NAMES_TEMPLATE = """

Answer with the list of table names only, for example {"relevant_tables": ["orders", "customers"]}. \
If no table fits the question, answer {"relevant_tables": []}."""

# Variables: user_question, schemas_from_all_tables.
REWRITE_QUESTION_TEMPLATE = """You help a SQL analyst who could not answer a user's question: \
every query written for it so far failed or returned no rows.

Rewrite the question so that it can be answered from the database below. Keep the user's intent, \
but name the tables, columns and values that the question refers to as they appear in the schema, \
make implicit filters and time ranges explicit, and resolve vague words into conditions on \
columns. Do not answer the question and do not write SQL: return the rewritten question only.

Database schema (with a few sample rows per table):
{schemas_from_all_tables}

The user's question: {user_question}"""

# jinja2 (langchain renders it in a sandbox that allows no attribute access, so no loop.index).
# Variables: original_question, zipped_queries_results (query/result pairs, or
# follow-up/query/result triples: the last two items are always the query and its result),
# save_path (folder where a plot is to be saved).
PANDAS_SYSTEM_TEMPLATE = """You are a data analyst who writes Python 3 code with pandas and \
matplotlib.
The user's question has already been answered by SQL; you now write a program that analyses the \
query results below and prints the findings that answer the question.

Question: {{ original_question }}

{% for item in zipped_queries_results %}SQL query:
{{ item[-2] }}
Result of the query (a Python list of row tuples):
{{ item[-1] }}

{% endfor %}How to write the program:
- The program runs on its own, with no database connection and no files: build the data by \
copying the rows of the LAST result above into a Python literal, and name the columns after the \
query's selected columns.
- Import everything you use (pandas as pd, numpy as np, matplotlib.pyplot as plt). The module \
datetime is already available.
- Print the findings with print(): the numbers, tables or short sentences that answer the \
question. Only printed text reaches the user.
- If a chart helps to answer the question (a trend, a comparison, a distribution, a forecast, or \
the user asks for a plot), draw it with matplotlib, give it a title and axis labels, save it with \
plt.savefig() under the folder {{ save_path }} with a descriptive file name ending in .png, then \
print the full path of the saved file on a line of its own. Never call plt.show().
- Never read or write other files, never use the network, never start processes, never call \
exit().
- Keep the program short and correct; handle values that may be None or decimal text."""

# jinja2. Same variables as PANDAS_SYSTEM_TEMPLATE.
PANDAS_HUMAN_TEMPLATE = """Write the Python program for this question: {{ original_question }}
Plots, if any, go under: {{ save_path }}
Return only the program's source code."""

# jinja2. Variables: dialect, zipped_queries_errors ((query, result) pairs, oldest first) and
# every key of the question's state (user_question, schemas_from_relevant_tables, ...).
CORRECT_SQL_TEMPLATE = """The {{ dialect }} queries written so far for the question did not \
give a usable answer. Here is each attempt with what running it gave. A result of "None" means \
the query ran but returned no rows; any other text is the database's error message.

{% for query, result in zipped_queries_errors %}Attempt:
Query:
{{ query }}
Result:
{{ result }}

{% endfor %}Question: {{ user_question }}

Schemas of the relevant tables:
{{ schemas_from_relevant_tables }}

Write a corrected {{ dialect }} query that answers the question. Read the error messages \
carefully: fix wrong table or column names using the schemas above, fix the syntax for \
{{ dialect }}, and if the query returned no rows, check the filter values against the sample rows \
(letter case, spelling, date formats) and loosen conditions that are too strict. Write a single \
read-only SELECT (or WITH ... SELECT) statement and return the query text only."""

# Variables: dialect. The system message of a first SQL generation attempt.
SQL_GENERATION_SYSTEM_TEMPLATE = """You are an agent designed to interact with a SQL database.
Given an input question, create a syntactically correct {dialect} query to run, then look at the \
results of the query and return the answer.
Unless the user specifies a specific number of examples they wish to obtain, always limit your \
query to at most 20 results.
You can order the results by a relevant column to return the most interesting examples in the \
database.
Never query for all the columns from a specific table, only ask for the relevant columns given the \
question.
You have access to tools for interacting with the database.
Only use the below tools. Only use the information returned by the below tools to construct your \
final answer.
You MUST double check your query before executing it. If you get an error while executing a \
query, rewrite the query and try again.

DO NOT make any DML statements (INSERT, UPDATE, DELETE, DROP etc.) to the database.

If the question does not seem related to the database, just return "I don't know" as the answer."""

# Variables: user_question, schemas_from_relevant_tables.
SQL_GENERATION_HUMAN_TEMPLATE = (
    "{user_question}\n Schemas_from_relevant_tables: {schemas_from_relevant_tables}"
)

# Variables: user_question, python_code, error.
PYTHON_CORRECTION_TEMPLATE = """The user asked the following question:
            {user_question}

            You generated this python code:
            {python_code}

            It fails with the following error:
            {error}

            Fix the python code above and return the new python code:"""

# Variables: user_question, generated_sql_query, sql_execution_result (the last result),
# pandas_code, python_executed_output.
FINAL_RESPONSE_TEMPLATE = (
    "User question: {user_question}\n"
    "SQL query: {generated_sql_query}\n"
    "SQL query result: {sql_execution_result}\n"
    "Python code: {pandas_code}\n"
    "Python executed result: {python_executed_output}\n"
    "Use the above result to address user's question."
)
