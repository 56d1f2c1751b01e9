"""A large synthetic schema for the prompt-budget tests and the large-database benchmark.

Tables come in groups: one business unit's copy of a domain (sales, HR, logistics, finance,
support, marketing), its tables named after the unit ("kelmit_orders") or, for some units, by
cryptic abbreviations ("kit7_ord"), mostly with a table comment naming the unit, and foreign keys inside the
group. Each question names a unit and a few things it asks about, and comes with the tables that
answer it. Everything follows from the seed; the tables hold no rows.
"""

import dataclasses
import random

from sqlalchemy import Column, Date, ForeignKey, Integer, MetaData, Numeric, String, Table
from sqlalchemy.schema import CreateTable, SetTableComment

# entity: (abbreviation, plural, columns, referred entities)
DOMAINS = {
    "sales": {
        "customer": ("cst", "customers", ["name", "email", "city", "signup_date"], []),
        "product": ("prd", "products", ["title", "category", "list_price"], []),
        "order": ("ord", "orders", ["order_date", "status", "total_amount"], ["customer"]),
        "order_item": ("oit", "order_items", ["quantity", "unit_price"], ["order", "product"]),
    },
    "hr": {
        "department": ("dpt", "departments", ["title", "budget"], []),
        "employee": ("emp", "employees", ["full_name", "hire_date", "job_title"], ["department"]),
        "salary": ("sal", "salaries", ["amount", "paid_on"], ["employee"]),
    },
    "logistics": {
        "warehouse": ("whs", "warehouses", ["city", "capacity"], []),
        "carrier": ("car", "carriers", ["title", "phone"], []),
        "shipment": (
            "shp",
            "shipments",
            ["shipped_on", "weight", "status"],
            ["warehouse", "carrier"],
        ),
    },
    "finance": {
        "account": ("acc", "accounts", ["code", "title", "balance"], []),
        "invoice": ("inv", "invoices", ["issued_on", "due_on", "total_amount"], ["account"]),
        "payment": ("pay", "payments", ["paid_on", "amount", "method"], ["invoice"]),
    },
    "support": {
        "agent": ("agt", "agents", ["full_name", "team"], []),
        "ticket": ("tkt", "tickets", ["opened_on", "priority", "status"], ["agent"]),
        "ticket_reply": ("trp", "ticket_replies", ["sent_on", "body"], ["ticket", "agent"]),
    },
    "marketing": {
        "campaign": ("cmp", "campaigns", ["title", "channel", "budget"], []),
        "lead": ("led", "leads", ["email", "source", "created_on"], ["campaign"]),
    },
}

# (domain, question text with {unit} and the entities' plurals, entities that answer it)
QUESTIONS = [
    ("sales", "How many orders did {unit} customers place in each city?", ["order", "customer"]),
    ("sales", "Which {unit} products sold the largest quantity?", ["product", "order_item"]),
    ("sales", "What is the total amount of {unit} orders per status?", ["order"]),
    (
        "hr",
        "What is the average salary of {unit} employees per department?",
        ["salary", "employee", "department"],
    ),
    ("hr", "How many employees were hired by {unit} each year?", ["employee"]),
    (
        "logistics",
        "Which carrier shipped the most weight from {unit} warehouses?",
        ["shipment", "carrier", "warehouse"],
    ),
    (
        "finance",
        "How much was paid against {unit} invoices by each payment method?",
        ["payment", "invoice"],
    ),
    ("finance", "Which {unit} accounts have the highest balance?", ["account"]),
    (
        "support",
        "How many {unit} tickets of high priority are still open per agent?",
        ["ticket", "agent"],
    ),
    ("marketing", "Which {unit} campaign channel brought the most leads?", ["campaign", "lead"]),
]

SYLLABLES = "ka kel mit zor van pra lum dex tor vin sel qua mor bri nat fen gol ris tav wex".split()
EXTRA_COLUMNS = ["created_at", "updated_at", "created_by", "note", "external_ref", "region_code"]


@dataclasses.dataclass
class TableSpec:
    name: str
    columns: list  # (name, kind): "id", "text", "number", "date", or ("fk", referred table)
    comment: str = None


@dataclasses.dataclass
class Group:
    unit: str  # the business unit's word, as questions name it
    domain: str
    tables: dict  # entity -> table name


def _unit_names(count, rng):
    names, seen = [], set()
    while len(names) < count:
        word = "".join(rng.sample(SYLLABLES, rng.randint(2, 3)))
        if word not in seen:
            seen.add(word)
            names.append(word)
    return names


def _kind(column):
    if column.endswith(("_date", "_on", "_at")):
        return "date"
    if column in (
        "budget",
        "balance",
        "amount",
        "total_amount",
        "unit_price",
        "list_price",
        "weight",
        "capacity",
        "quantity",
    ):
        return "number"
    return "text"


def build(count, seed=0):
    """About `count` tables in groups: (tables, groups)."""
    rng = random.Random(seed)
    domains = list(DOMAINS)
    units = _unit_names(count // 2 + 1, rng)  # a group has two tables or more
    tables, groups = [], []
    while len(tables) < count:
        unit = units[len(groups)]
        domain = domains[len(groups) % len(domains)]
        style = rng.random()  # plain names, cryptic names with comments, or cryptic without
        prefix = unit if style < 0.75 else f"{unit[0]}{unit[-2:]}{len(groups)}"
        group = Group(unit, domain, {})
        for entity, (abbreviation, plural, columns, referred) in DOMAINS[domain].items():
            name = f"{prefix}_{plural}" if style < 0.75 else f"{prefix}_{abbreviation}"
            group.tables[entity] = name
            specs = [("id", "id")]
            specs += [(column, _kind(column)) for column in columns]
            specs += [(f"{other}_id", ("fk", group.tables[other])) for other in referred]
            specs += [(column, _kind(column)) for column in rng.sample(EXTRA_COLUMNS, 2)]
            comment = None
            if style < 0.95:
                comment = f"{plural.replace('_', ' ').capitalize()} of the {unit} business unit"
            tables.append(TableSpec(name, specs, comment))
        groups.append(group)
    return tables, groups


def questions(groups, count=30, seed=0):
    """`count` questions, each with the set of tables that answer it."""
    rng = random.Random(seed)
    asked = []
    for number in range(count):
        domain, text, entities = QUESTIONS[number % len(QUESTIONS)]
        group = rng.choice([g for g in groups if g.domain == domain])
        asked.append((text.format(unit=group.unit), {group.tables[e] for e in entities}))
    return asked


def metadata_of(tables):
    metadata = MetaData()
    types = {"text": lambda: String(200), "number": lambda: Numeric(12, 2), "date": Date}
    for spec in tables:
        columns = []
        for name, kind in spec.columns:
            if kind == "id":
                columns.append(Column(name, Integer, primary_key=True))
            elif isinstance(kind, tuple):
                columns.append(Column(name, Integer, ForeignKey(f"{kind[1]}.id")))
            else:
                columns.append(Column(name, types[kind]()))
        Table(spec.name, metadata, *columns, comment=spec.comment)
    return metadata


def create(engine, tables):
    """Creates the tables (no rows) on a fresh database. The DDL is compiled
    here and sent as is: create_all's per-table round trips take far longer at this size."""
    dialect = engine.dialect
    statements = []
    for table in metadata_of(tables).sorted_tables:
        statements.append(str(CreateTable(table).compile(dialect=dialect)))
        if table.comment and dialect.supports_comments:
            statements.append(str(SetTableComment(table).compile(dialect=dialect)))
    # Transactions of a few hundred tables: PostgreSQL holds a lock per table created until commit.
    for start in range(0, len(statements), 500):
        with engine.begin() as connection:
            if dialect.name == "sqlite":
                connection.exec_driver_sql("PRAGMA synchronous = OFF")
            for statement in statements[start : start + 500]:
                connection.exec_driver_sql(statement)
