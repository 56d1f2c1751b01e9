"""The analysis steps and the final response over the scripted model server."""

import copy
import os
import signal
import sys
import tempfile
import threading
import time

import jinja2
import pytest
from langchain_core.messages import HumanMessage, SystemMessage

from norviai.askflow import askflow_prompts as prompts
from norviai.askflow.flowsteps import (
    GenerateResponse,
    PandasCorrection,
    PandasExecutor,
    PandasGenerator,
)
from support.steps import assert_refuses_all_but_plain_dicts, sent

CORRECTION_TEXT = (
    "The user asked the following question:\n"
    "            {user_question}\n"
    "\n"
    "            You generated this python code:\n"
    "            {python_code}\n"
    "\n"
    "            It fails with the following error:\n"
    "            {error}\n"
    "\n"
    "            Fix the python code above and return the new python code:"
)

FAILING_CODE = "import pandas as pd\nframe = pd.DataFrame({'n': [1]})\nprint(frame['m'].sum())"
ERROR_TEXT = "KeyError: 'm'"


def analysis_state(**changes):
    state = {
        "user_question": "How did monthly revenue develop?",
        "rewritten_question": "",
        "pandas_generation_prompt_type": "generation",
        "generated_sql_query": ["SELECT 1", "SELECT month, revenue FROM r", "SELECT 3"],
        "sql_execution_result": ["None", "[('2024-01', 10), ('2024-02', 12)]"],
        "save_path": "media/run-7",
        "pandas_code": FAILING_CODE,
        "python_error_message": ERROR_TEXT,
    }
    state.update(changes)
    return state


def test_state_must_be_a_plain_dict(model_server, chat_model):
    assert_refuses_all_but_plain_dicts(
        [
            PandasGenerator(model=chat_model).generate_prompt,
            PandasGenerator(model=chat_model).invoke,
            PandasCorrection(model=chat_model).generate_prompt,
            PandasCorrection(model=chat_model).invoke,
            PandasExecutor(model=chat_model).invoke,
            GenerateResponse(model=chat_model).invoke,
        ]
    )
    assert model_server.requests == []


class TestPandasGenerator:
    @staticmethod
    def expected_generation(question, pairs, save_path):
        values = dict(original_question=question, zipped_queries_results=pairs, save_path=save_path)
        return [
            SystemMessage(jinja2.Template(prompts.PANDAS_SYSTEM_TEMPLATE).render(**values)),
            HumanMessage(jinja2.Template(prompts.PANDAS_HUMAN_TEMPLATE).render(**values)),
        ]

    def test_generation_prompt_pairs_queries_with_results(self, chat_model):
        step = PandasGenerator(model=chat_model)
        state = analysis_state()
        pairs = list(zip(state["generated_sql_query"][:2], state["sql_execution_result"]))
        messages = step.generate_prompt(state)
        assert messages == self.expected_generation(state["user_question"], pairs, "media/run-7")
        assert "media/run-7" in messages[0].content
        assert all("SELECT 3" not in message.content for message in messages)

        rewritten = analysis_state(rewritten_question="Sum revenue per month")
        messages = step.generate_prompt(rewritten)
        assert messages == self.expected_generation("Sum revenue per month", pairs, "media/run-7")
        assert all(state["user_question"] not in message.content for message in messages)

    def test_correction_prompt_is_the_inline_text(self, chat_model):
        step = PandasGenerator(model=chat_model)
        state = analysis_state(
            pandas_generation_prompt_type="correction", rewritten_question="Sum revenue per month"
        )
        assert step.generate_prompt(state) == CORRECTION_TEXT.format(
            user_question="Sum revenue per month", python_code=FAILING_CODE, error=ERROR_TEXT
        )

    def test_unknown_prompt_type_leaves_no_prompt(self, model_server, chat_model):
        step = PandasGenerator(model=chat_model)
        for prompt_type in ["", "Correction"]:
            with pytest.raises(UnboundLocalError):
                step.invoke(analysis_state(pandas_generation_prompt_type=prompt_type))
        assert model_server.requests == []

    def test_invoke_returns_only_the_code(self, model_server, chat_model):
        model_server.on_tool("PythonCodeInput", {"code": "print(42)"})
        step = PandasGenerator(model=chat_model)
        state = analysis_state(pandas_generation_prompt_type="correction")
        before = copy.deepcopy(state)

        update = step.invoke(state, config=None)
        assert update == {"pandas_code": "print(42)"}
        assert state == before
        (request,) = model_server.requests
        assert request.forced_tool == "PythonCodeInput"
        # A text prompt goes out as one user message.
        assert sent(request) == [("user", step.generate_prompt(state))]


class TestPandasCorrection:
    def test_prompt_and_update(self, model_server, chat_model):
        model_server.on_tool("PythonCodeInput", {"code": "print(1)"})
        step = PandasCorrection(model=chat_model)
        state = analysis_state()
        del state["pandas_generation_prompt_type"]
        prompt = CORRECTION_TEXT.format(
            user_question=state["user_question"], python_code=FAILING_CODE, error=ERROR_TEXT
        )
        assert step.generate_prompt(state) == prompt
        assert step.generate_prompt(analysis_state(rewritten_question="R")).startswith(
            "The user asked the following question:\n            R\n"
        )

        assert step.invoke(state, extra=1) == {"pandas_code": "print(1)"}
        (request,) = model_server.requests
        assert request.forced_tool == "PythonCodeInput"
        assert sent(request) == [("user", prompt)]


class TestPandasExecutor:
    @pytest.fixture
    def run(self, chat_model):
        step = PandasExecutor(model=chat_model)
        return lambda code, **state: step.invoke(dict(state, pandas_code=code))

    def test_printed_text_in_order(self, run):
        update = run("print('first')\nfor n in range(2):\n    print(n)")
        assert update == {
            "python_executed_output": "first\n0\n1\n",
            "python_execution_success": True,
        }
        assert list(update) == ["python_executed_output", "python_execution_success"]
        assert run("total = 1 + 1") == {
            "python_executed_output": "",
            "python_execution_success": True,
        }
        assert run("print(datetime.date(2024, 2, 29).isoformat())")["python_executed_output"] == (
            "2024-02-29\n"
        )
        # Each run starts from a fresh namespace.
        assert run("kept = 1")["python_execution_success"] is True
        assert run("print(kept)")["python_error_message"] == "NameError: name 'kept' is not defined"

    @pytest.mark.parametrize(
        "code, error",
        [
            ("frame = pd.DataFrame()", "NameError: name 'pd' is not defined"),
            ("raise ValueError()", "ValueError: "),
            ("print('lost')\nraise RuntimeError('boom')", "RuntimeError: boom"),
        ],
    )
    def test_failures_are_data(self, run, code, error):
        update = run(code)
        assert update == {"python_execution_success": False, "python_error_message": error}
        assert list(update) == ["python_execution_success", "python_error_message"]

    def test_unparsable_or_missing_code(self, chat_model):
        step = PandasExecutor(model=chat_model)
        syntax = step.invoke({"pandas_code": "def broken(:\n    pass"})
        assert syntax["python_execution_success"] is False
        assert syntax["python_error_message"].startswith("SyntaxError: ")
        assert step.invoke({}) == {
            "python_execution_success": False,
            "python_error_message": "KeyError: 'pandas_code'",
        }

    def test_host_output_is_left_alone(self, chat_model, capsys):
        step = PandasExecutor(model=chat_model)
        host_stdout = sys.stdout
        step.invoke({"pandas_code": "print('a')\nraise ValueError('x')"})
        assert sys.stdout is host_stdout
        print("host line")
        assert capsys.readouterr().out == "host line\n"

        outputs = {}
        code = "import time\nfor n in range(4):\n    print('{0}', n)\n    time.sleep(0.05)"

        def run(marker):
            update = step.invoke({"pandas_code": code.format(marker)})
            outputs[marker] = update["python_executed_output"]

        threads = [threading.Thread(target=run, args=(marker,)) for marker in "AB"]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        for marker in "AB":
            assert outputs[marker] == "".join(f"{marker} {n}\n" for n in range(4))
        assert sys.stdout is host_stdout

    def test_runs_in_the_save_folder(self, chat_model, tmp_path):
        save_path = tmp_path / "media" / "run-1"
        code = "import os\nopen('plot.txt', 'w').write('x')\nprint(os.getcwd())"
        update = PandasExecutor(model=chat_model).invoke(
            {"pandas_code": code, "save_path": str(save_path)}
        )
        assert update["python_execution_success"] is True, update
        assert os.path.samefile(update["python_executed_output"].strip(), save_path)
        assert (save_path / "plot.txt").read_text() == "x"

    def test_shared_font_cache_is_the_users_own(self, chat_model, tmp_path, monkeypatch):
        # Each run's matplotlib settings are private; only the font list is shared, read-only.
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        shared = tmp_path / f"norviai-fontcache-{os.getuid()}"
        step = PandasExecutor(model=chat_model)
        code = "import os\nprint(os.environ.get('NORVIAI_FONT_CACHE'), os.environ['MPLCONFIGDIR'])"

        def folders():
            update = step.invoke({"pandas_code": code})
            assert update["python_execution_success"] is True, update
            return update["python_executed_output"].split()

        assert folders() == [str(shared), "/tmp/matplotlib"]  # kept across runs
        shared.chmod(0o777)  # as if another user made it, or could write to it
        assert folders() == ["None", "/tmp/matplotlib"]

    def test_interrupt_during_a_run_reaches_the_caller(self, chat_model):
        class Interrupted(Exception):
            pass

        def interrupt(signal_number, frame):
            raise Interrupted

        previous = signal.signal(signal.SIGINT, interrupt)
        timer = threading.Timer(0.2, os.kill, (os.getpid(), signal.SIGINT))
        try:
            timer.start()
            with pytest.raises(Interrupted):
                # Ends normally with its answer after the interrupt arrived.
                PandasExecutor(model=chat_model).invoke(
                    {"pandas_code": "import time\ntime.sleep(1)\nprint('done')"}
                )
        finally:
            timer.cancel()
            signal.signal(signal.SIGINT, previous)

    def test_time_limit_is_read_at_each_run(self, chat_model, monkeypatch):
        step = PandasExecutor(model=chat_model)
        for limit in (1, 2):
            monkeypatch.setenv("NORVIAI_CODE_TIME_LIMIT", str(limit))
            started = time.monotonic()
            update = step.invoke({"pandas_code": "while True:\n    pass"})
            elapsed = time.monotonic() - started
            assert update["python_execution_success"] is False
            assert update["python_error_message"].startswith("TimeoutError: ")
            assert limit - 0.2 < elapsed < limit + 3


class TestGenerateResponse:
    REPLY = {"final_response": "There are 42 orders.", "image_path": ""}

    @staticmethod
    def state(**changes):
        state = {
            "user_question": "How many orders?",
            "generated_sql_query": ["SELECT COUNT(*) FROM orders"],
            "sql_execution_result": ["[(42,)]"],
            "pandas_code": "",
            "python_executed_output": "",
        }
        state.update(changes)
        return state

    def test_prompt_and_update(self, model_server, chat_model, log_messages):
        model_server.on_tool("GenerationOutput", self.REPLY)
        step = GenerateResponse(model=chat_model)
        update = step.invoke(self.state(), config=None)
        assert update == self.REPLY
        assert list(update) == ["final_response", "image_path"]

        (request,) = model_server.requests
        assert request.forced_tool == "GenerationOutput"
        assert sent(request) == [
            (
                "user",
                "User question: How many orders?\n"
                "SQL query: ['SELECT COUNT(*) FROM orders']\n"
                "SQL query result: [(42,)]\n"
                "Python code: \n"
                "Python executed result: \n"
                "Use the above result to address user's question.",
            )
        ]
        start = log_messages.index("Enter generate response")
        finish = "Finish generating response, took "
        (line,) = [message for message in log_messages[start:] if message.startswith(finish)]
        assert 0 <= float(line[len(finish) :]) < 20

    def test_prompt_values(self, model_server, chat_model):
        model_server.on_tool("GenerationOutput", self.REPLY)
        step = GenerateResponse(model=chat_model)
        history = self.state(
            generated_sql_query=["SELECT a", "SELECT b", "SELECT c"],
            sql_execution_result=["err a", "None", "[(3,)]"],
            pandas_code="print(3)",
            python_executed_output=None,
        )
        step.invoke(history)
        # Absent keys: the give-up paths reach this step before any analysis ran.
        step.invoke({key: history[key] for key in list(history)[:3]})
        first, second = [sent(request)[0][1].split("\n") for request in model_server.requests]
        assert first[1:5] == [
            "SQL query: ['SELECT a', 'SELECT b', 'SELECT c']",
            "SQL query result: [(3,)]",
            "Python code: print(3)",
            "Python executed result: None",
        ]
        assert second[3:5] == ["Python code: ", "Python executed result: "]
