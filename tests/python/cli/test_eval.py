"""`norviai eval` on the shipped gold file: exact figures from the offline stand-in, and from a
scripted model answering some questions right, some wrong, one never and one with a fault."""

import json
import os
import re

import pytest

import norviai
from support.model_server import fault, text_reply

from test_command_line import norviai as run_norviai

GOLD = os.path.join(os.path.dirname(norviai.__file__), "data", "eval", "shop_gold.jsonl")
OUTCOMES = ("answered", "gave up", "failed", "timed out")


def gold_questions():
    with open(GOLD, encoding="utf-8") as file:
        return [json.loads(line) for line in file if line.strip()]


def expected_per_tag(matched_ids):
    per_tag = {}
    for entry in gold_questions():
        for tag in entry["tags"]:
            counts = per_tag.setdefault(tag, {"matched": 0, "questions": 0})
            counts["questions"] += 1
            counts["matched"] += entry["id"] in matched_ids
    return per_tag


def run_eval(tmp_path, *options, **variables):
    out, report = tmp_path / "eval.json", tmp_path / "eval.html"
    completed = run_norviai(
        "eval",
        GOLD,
        "--json",
        str(out),
        "--report",
        str(report),
        "--media",
        str(tmp_path / "media"),
        *options,
        cwd=tmp_path,
        timeout=600,
        **variables,
    )
    assert completed.returncode == 0, completed.stderr
    return completed, json.loads(out.read_text()), report.read_text()


def check_figures(completed, results, html, matched_ids, outcomes):
    questions = results["questions"]
    assert [q["id"] for q in questions] == [entry["id"] for entry in gold_questions()]
    assert {q["id"] for q in questions if q["match"]} == matched_ids
    summary = results["summary"]
    assert (summary["questions"], summary["matched"]) == (25, len(matched_ids))
    assert summary["outcomes"] == {name: outcomes.get(name, 0) for name in OUTCOMES}
    per_tag = {
        tag: {key: figures[key] for key in ("matched", "questions")}
        for tag, figures in summary["per_tag"].items()
    }
    assert per_tag == expected_per_tag(matched_ids)
    assert summary["tokens"] == sum(q["tokens"] for q in questions) > 0
    assert summary["cost"] == pytest.approx(sum(q["cost"] for q in questions))
    # The printed summary and the progress lines say the same.
    accuracy = f"Accuracy: {len(matched_ids)}/25 ({100 * len(matched_ids) / 25:.1f}%)"
    assert accuracy in completed.stdout
    assert f"Tokens: {summary['tokens']}," in completed.stdout
    seconds = r"Seconds per question: median \d+\.\d\d, 90th percentile \d+\.\d\d"
    assert re.search(seconds, completed.stdout)
    progress = [line for line in completed.stderr.splitlines() if re.match(r"\[\d+/25\] ", line)]
    assert len(progress) == 25
    # One self-contained file: the plot inline, a row per question, nothing fetched.
    assert html.count("<tr class=") == 25
    assert 'src="data:image/png;base64,iVBOR' in html
    assert "http://" not in html and "https://" not in html
    return {q["id"]: q for q in questions}


def test_offline_stand_in_on_the_shipped_gold_file(tmp_path):
    completed, results, html = run_eval(tmp_path, "--offline")
    # It answers only its scripted demo question rightly; every other question ends in an answer.
    check_figures(completed, results, html, {"q09"}, {"answered": 25})
    assert results["summary"]["repairs"] == results["summary"]["rewrites"] == 0


WRONG = "SELECT COUNT(*) + 1 AS customers FROM customers"
BROKEN = "SELECT no_such_column FROM orders"


def script_by_question(model_server):
    """Gold SQL for every question but q01 (wrong), q02 (never runs) and q04 (a fault);
    q03 with its columns swapped, which still matches."""
    entries = {entry["question"]: entry for entry in gold_questions()}
    answers = {question: entry["gold_sql"] for question, entry in entries.items()}
    by_id = {entry["id"]: entry["question"] for entry in entries.values()}
    answers[by_id["q01"]] = WRONG
    answers[by_id["q02"]] = BROKEN
    answers[by_id["q03"]] = "SELECT price, name FROM products ORDER BY price DESC LIMIT 1"

    def question_of(request):
        text = "\n".join(str(message.get("content")) for message in request.messages)
        found = [question for question in answers if question in text]
        assert found, text
        return max(found, key=len)

    def sql(request):
        question = question_of(request)
        if question == by_id["q04"]:
            return fault(400)
        return {"sql_query": answers[question]}

    def checker(request):
        text = "\n".join(str(message.get("content")) for message in request.messages)
        return text_reply(max((s for s in answers.values() if s in text), key=len))

    model_server.on_tool(
        "select_relevant_tables",
        {"relevant_tables": ["customers", "products", "orders", "order_items"]},
    )
    model_server.on_tool("SQLQueryInput", sql)
    model_server.on_tool("RewriteQueryOutput", lambda r: {"rewritten_question": question_of(r)})
    model_server.on_tool("PythonCodeInput", {"code": "print('done')"})
    model_server.on_tool("GenerationOutput", {"final_response": "Done.", "image_path": ""})
    model_server.respond_with(checker)


def test_scripted_model_on_each_database(tmp_path, model_server, shop_db):
    script_by_question(model_server)
    completed, results, html = run_eval(
        tmp_path,
        "--db",
        shop_db.url,
        OPENAI_BASE_URL=model_server.openai_base_url,
        OPENAI_API_KEY="k",
        NORVIAI_MODEL_SMALL="small",
        NORVIAI_MODEL_LARGE="large",
    )
    matched = {f"q{n:02d}" for n in range(1, 26)} - {"q01", "q02", "q04"}
    questions = check_figures(
        completed, results, html, matched, {"answered": 23, "gave up": 1, "failed": 1}
    )
    assert questions["q01"]["outcome"] == "answered" and questions["q01"]["difference"]
    gave_up = questions["q02"]
    assert gave_up["outcome"] == "gave up" and gave_up["predicted_sql"] == BROKEN
    assert (gave_up["repairs"], gave_up["rewrites"]) == (4, 1)
    assert results["summary"]["rewrites"] == 1 and results["summary"]["repairs"] == 4
    failed = questions["q04"]
    assert failed["outcome"] == "failed" and "HTTP 400" in failed["error"]
    # The picker's call before the fault is still counted.
    assert failed["tokens"] > 0
