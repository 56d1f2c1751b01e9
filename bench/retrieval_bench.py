"""Table index for a large schema: time to index N synthetic tables (about ten columns each, some
comments, one or two foreign keys) and time per question to rank them and to add neighbours.

The figures include the calls through the extension module, so the C++ alone is faster still.
Run from the repository root:
.venv/bin/python bench/retrieval_bench.py [--tables N] [--questions Q]
"""

import argparse
import random
import statistics
import time

from norviai import _retrieval

WORDS = (
    "account address amount balance batch booking branch budget campaign carrier category channel "
    "city claim client code comment contract cost country coupon currency customer date delivery "
    "department device discount document employee event expense fee file flight grade group hotel "
    "invoice item journal label ledger line location log manager market member message note offer "
    "order owner package partner payment period plan policy price product profile project quantity "
    "rate region report request return review room route sale schedule score segment service "
    "session shipment shop sku staff status stock store subscription supplier survey task tax team "
    "ticket total transaction trip unit user vehicle vendor visit warehouse zone"
).split()
SUFFIXES = ("id", "code", "name", "date", "amount", "status", "type", "at", "count", "flag")
FILLER = "which the of show me per by each for in how many most top last".split()


def schema(count, rng):
    tables = []
    for number in range(count):
        name = "_".join(rng.sample(WORDS, rng.randint(1, 3))) + f"_{number}"
        columns = ["id"] + [f"{rng.choice(WORDS)}_{rng.choice(SUFFIXES)}" for _ in range(9)]
        comments = [" ".join(rng.sample(WORDS, 6))] if rng.random() < 0.3 else []
        picks = rng.randint(1, 2) if number else 0
        neighbours = [tables[rng.randrange(number)][0] for _ in range(picks)]
        tables.append((name, columns, comments, neighbours))
    return tables


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tables", type=int, default=10_000)
    parser.add_argument("--questions", type=int, default=200)
    args = parser.parse_args()
    rng = random.Random(0)
    tables = schema(args.tables, rng)
    questions = [
        " ".join(rng.sample(FILLER, 3) + rng.sample(WORDS, rng.randint(2, 5)))
        for _ in range(args.questions)
    ]
    questions.append("every id")  # a word of every table: the longest posting list

    start = time.perf_counter()
    index = _retrieval.Bm25()
    for table in tables:
        index.add(*table)
    built = time.perf_counter() - start

    def per_question(call):
        times = []
        for question in questions:
            start = time.perf_counter()
            call(question)
            times.append((time.perf_counter() - start) * 1000)
        return statistics.median(times), max(times)

    rank = per_question(lambda question: index.rank(question, 10))
    expand = per_question(lambda question: index.expand(question, 10))
    columns = sum(len(table[1]) for table in tables)
    print(f"index of {len(index)} tables, {columns} columns: built in {built:.3f} s")
    print(
        f"rank, top 10, {len(questions)} questions: median {rank[0]:.2f} ms, max {rank[1]:.2f} ms"
    )
    print(f"top 10 and neighbours: median {expand[0]:.2f} ms, max {expand[1]:.2f} ms")


if __name__ == "__main__":
    main()
