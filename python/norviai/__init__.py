"""norviai: ask questions of a relational database in plain language."""
