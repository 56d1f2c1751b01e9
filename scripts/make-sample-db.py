#!/usr/bin/env python3
"""Writes python/norviai/data/sample.db, the bundled SQLite shop database, from the test sample.

Run with the project's environment: .venv/bin/python scripts/make-sample-db.py [OUTPUT]
"""

import os
import sqlite3
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

from sqlalchemy import create_engine  # noqa: E402
from sqlalchemy.pool import NullPool  # noqa: E402

from support import sample_data  # noqa: E402


def main():
    output = (
        sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "python/norviai/data/sample.db")
    )
    partial = output + ".partial"
    if os.path.exists(partial):
        os.unlink(partial)
    engine = create_engine(f"sqlite:///{partial}", poolclass=NullPool)
    sample_data.load(engine)
    engine.dispose()
    # Compact, and keep the file free of anything tied to when it was made.
    with sqlite3.connect(partial) as connection:
        connection.execute("VACUUM")
    connection.close()
    os.replace(partial, output)
    print(
        f"wrote {output}: "
        + ", ".join(f"{n} {t}" for t, n in sample_data.expected_counts().items())
    )


if __name__ == "__main__":
    main()
