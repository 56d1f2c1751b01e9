"""The sample shop database: a small deterministic dataset, its portable schema, and checksums.

The rows come from a fixed seed and fixed dates, so every engine (and the bundled SQLite file) holds
exactly the same content. Some facts the data guarantees, for questions with known answers:
customers 46-50 never ordered, products 29 and 30 were never sold, products 7 and 19 are out of
stock, order ids follow order dates.
"""

import datetime
import functools
import hashlib
import json
import random
import unicodedata
from decimal import Decimal

from sqlalchemy import (
    Column,
    Date,
    DateTime,
    ForeignKey,
    Integer,
    MetaData,
    Numeric,
    String,
    Table,
    create_engine,
    inspect,
)
from sqlalchemy.dialects import sqlite
from sqlalchemy.engine import Engine
from sqlalchemy.pool import NullPool

SEED = 20240611

# SQLite keeps DATETIME as text: store it as plain "YYYY-MM-DD HH:MM:SS", as a person would.
_TIMESTAMP = DateTime().with_variant(
    sqlite.DATETIME(
        storage_format="%(year)04d-%(month)02d-%(day)02d %(hour)02d:%(minute)02d:%(second)02d"
    ),
    "sqlite",
)

metadata = MetaData()

customers = Table(
    "customers",
    metadata,
    Column("id", Integer, primary_key=True, autoincrement=False),
    Column("name", String(100), nullable=False),
    Column("email", String(200), nullable=False, unique=True),
    Column("city", String(100), nullable=False),
    Column("country", String(100), nullable=False),
    Column("created_at", _TIMESTAMP, nullable=False),
)

products = Table(
    "products",
    metadata,
    Column("id", Integer, primary_key=True, autoincrement=False),
    Column("name", String(100), nullable=False),
    Column("category", String(50), nullable=False),
    Column("price", Numeric(10, 2), nullable=False),
    Column("stock", Integer, nullable=False),
)

orders = Table(
    "orders",
    metadata,
    Column("id", Integer, primary_key=True, autoincrement=False),
    Column("customer_id", Integer, ForeignKey("customers.id"), nullable=False),
    Column("order_date", Date, nullable=False),
    Column("status", String(20), nullable=False),
)

order_items = Table(
    "order_items",
    metadata,
    Column("id", Integer, primary_key=True, autoincrement=False),
    Column("order_id", Integer, ForeignKey("orders.id"), nullable=False),
    Column("product_id", Integer, ForeignKey("products.id"), nullable=False),
    Column("quantity", Integer, nullable=False),
    Column("unit_price", Numeric(10, 2), nullable=False),
)

TABLES = ("customers", "products", "orders", "order_items")

_FIRST_NAMES = [
    "Alice", "Bruno", "Chloé", "David", "Elena", "Farid", "Grace", "Hiroshi", "Ingrid", "José",
    "Kofi", "Lena", "Marco", "Nadia", "Oliver", "Priya", "Quentin", "Rosa", "Søren", "Tariq",
    "Ursula", "Victor", "Wei", "Yusuf", "Zoë",
]  # fmt: skip
_LAST_NAMES = [
    "Anderson", "Bernard", "Costa", "Dubois", "Eriksen", "Fischer", "García", "Hansen", "Ito",
    "Jensen", "Kowalski", "Lopez", "Müller", "Nakamura", "O'Brien", "Petrov", "Rossi", "Schmidt",
    "Tanaka", "Novak", "Visser", "Weber", "Yilmaz", "Zhang", "Silva",
]  # fmt: skip
_PLACES = [
    ("Lisbon", "Portugal"), ("Porto", "Portugal"), ("Madrid", "Spain"), ("Barcelona", "Spain"),
    ("Paris", "France"), ("Lyon", "France"), ("Berlin", "Germany"), ("Munich", "Germany"),
    ("Hamburg", "Germany"), ("Amsterdam", "Netherlands"), ("Rome", "Italy"), ("Milan", "Italy"),
    ("Vienna", "Austria"), ("Copenhagen", "Denmark"), ("Warsaw", "Poland"), ("Prague", "Czechia"),
    ("London", "United Kingdom"), ("Dublin", "Ireland"),
]  # fmt: skip
_PRODUCTS = [
    ("Wireless Mouse", "Electronics", "24.99"),
    ("Mechanical Keyboard", "Electronics", "89.00"),
    ("USB-C Charger", "Electronics", "19.50"),
    ("Noise-Cancelling Headphones", "Electronics", "199.99"),
    ("27-inch Monitor", "Electronics", "249.00"),
    ("Webcam HD", "Electronics", "45.00"),
    ("Portable SSD 1TB", "Electronics", "109.90"),
    ("The Pragmatic Cook", "Books", "29.95"),
    ("A Short History of Maps", "Books", "18.00"),
    ("Learning SQL", "Books", "39.99"),
    ("Garden Birds of Europe", "Books", "22.50"),
    ("Children's Atlas", "Books", "15.00"),
    ("Espresso Maker", "Home", "129.00"),
    ("Ceramic Mug Set", "Home", "32.00"),
    ("Linen Tablecloth", "Home", "45.50"),
    ("Desk Lamp", "Home", "38.75"),
    ("Cast-Iron Pan", "Home", "54.90"),
    ("Pruning Shears", "Garden", "27.00"),
    ("Watering Can", "Garden", "16.99"),
    ("Raised Bed Kit", "Garden", "149.00"),
    ("Seed Starter Tray", "Garden", "9.99"),
    ("Wooden Puzzle", "Toys", "21.00"),
    ("Building Blocks 500", "Toys", "59.99"),
    ("Plush Fox", "Toys", "17.50"),
    ("Yoga Mat", "Sports", "35.00"),
    ("Running Socks (3 pairs)", "Sports", "14.00"),
    ("Water Bottle 750ml", "Sports", "12.50"),
    ("Rain Jacket", "Clothing", "119.00"),
    ("Wool Scarf", "Clothing", "42.00"),
    ("Canvas Tote", "Clothing", "10.00"),
]
_STATUSES = ["delivered", "shipped", "pending", "cancelled"]
_STATUS_WEIGHTS = [60, 20, 12, 8]


def _ascii(text):
    folded = (
        unicodedata.normalize("NFKD", text.replace("ø", "o")).encode("ascii", "ignore").decode()
    )
    return "".join(ch for ch in folded.lower() if ch.isalnum())


@functools.cache
def _generate():
    rng = random.Random(SEED)

    customer_rows = []
    names = set()
    while len(customer_rows) < 50:
        first, last = rng.choice(_FIRST_NAMES), rng.choice(_LAST_NAMES)
        if (first, last) in names:
            continue
        names.add((first, last))
        city, country = rng.choice(_PLACES)
        customer_rows.append(
            {
                "id": len(customer_rows) + 1,
                "name": f"{first} {last}",
                "email": f"{_ascii(first)}.{_ascii(last)}@example.com",
                "city": city,
                "country": country,
                "created_at": datetime.datetime(2022, 1, 1)
                + datetime.timedelta(seconds=rng.randrange(365 * 24 * 3600)),
            }
        )

    product_rows = [
        {
            "id": number,
            "name": name,
            "category": category,
            "price": Decimal(price),
            "stock": 0 if number in (7, 19) else rng.randint(3, 250),
        }
        for number, (name, category, price) in enumerate(_PRODUCTS, start=1)
    ]

    dates = sorted(
        datetime.date(2023, 1, 1) + datetime.timedelta(days=rng.randrange(730)) for _ in range(200)
    )
    order_rows = [
        {
            "id": number,
            "customer_id": rng.randint(1, 45),
            "order_date": day,
            "status": rng.choices(_STATUSES, _STATUS_WEIGHTS)[0],
        }
        for number, day in enumerate(dates, start=1)
    ]

    item_rows = []
    for order in order_rows:
        for product_id in sorted(rng.sample(range(1, 29), rng.randint(1, 4))):
            price = product_rows[product_id - 1]["price"]
            if rng.random() < 0.1:
                price = (price * Decimal("0.9")).quantize(Decimal("0.01"))
            item_rows.append(
                {
                    "id": len(item_rows) + 1,
                    "order_id": order["id"],
                    "product_id": product_id,
                    "quantity": rng.randint(1, 5),
                    "unit_price": price,
                }
            )

    return {
        "customers": tuple(customer_rows),
        "products": tuple(product_rows),
        "orders": tuple(order_rows),
        "order_items": tuple(item_rows),
    }


def rows():
    """The rows of every table, as fresh dicts keyed by column name."""
    return {name: [dict(row) for row in table] for name, table in _generate().items()}


def expected_counts():
    return {name: len(table) for name, table in _generate().items()}


def load(target):
    """Drop and create the four tables, then insert the rows. `target`: an Engine or a URL."""
    engine = target if isinstance(target, Engine) else create_engine(target, poolclass=NullPool)
    data = _generate()
    try:
        with engine.begin() as connection:
            metadata.drop_all(connection)
            metadata.create_all(connection)
            for table in metadata.sorted_tables:
                connection.execute(table.insert(), list(data[table.name]))
    finally:
        if engine is not target:
            engine.dispose()


def _normalise(value):
    """One text form per value, the same whichever engine or driver returned it."""
    if value is None:
        return None
    if isinstance(value, bool):
        return "n:" + str(int(value))
    if isinstance(value, (int, float, Decimal)):
        number = Decimal(repr(value)) if isinstance(value, float) else Decimal(value)
        return "n:" + format(number.normalize(), "f")
    if isinstance(value, datetime.datetime):
        return "s:" + value.isoformat(sep=" ")
    if isinstance(value, (datetime.date, datetime.time)):
        return "s:" + value.isoformat()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return "b:" + bytes(value).hex()
    return "s:" + str(value)


def _digest(columns, normalised_rows):
    digest = hashlib.sha256(json.dumps(list(columns)).encode())
    # Sorted in Python: collations differ between engines.
    for row in sorted(normalised_rows, key=lambda r: json.dumps(r)):
        digest.update(json.dumps(row, ensure_ascii=False).encode())
    return digest.hexdigest()


def table_checksums(connection):
    """{table or view name: digest of its column names and full content} for the database.

    Tables and views that appear or vanish show up as added or missing keys, so comparing two
    results proves a statement changed nothing. Reads the raw driver values (no type processing).
    """
    inspector = inspect(connection)
    quote = connection.dialect.identifier_preparer.quote
    result = {}
    for name in sorted(inspector.get_table_names() + inspector.get_view_names()):
        cursor = connection.exec_driver_sql(f"SELECT * FROM {quote(name)}")
        columns = list(cursor.keys())
        result[name] = _digest(columns, [[_normalise(v) for v in row] for row in cursor])
    return result


def expected_checksums():
    """What `table_checksums` gives on a database holding exactly the sample data."""
    return {
        name: _digest(
            [column.name for column in metadata.tables[name].columns],
            [[_normalise(value) for value in row.values()] for row in table],
        )
        for name, table in sorted(_generate().items())
    }
