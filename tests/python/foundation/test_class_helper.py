"""Classes built from C++ are real subclasses of their library bases."""

import inspect

import pytest
from langchain.agents.agent import RunnableAgent
from langchain_core.runnables import Runnable, RunnableLambda

from norviai.agent import CustomRunnableAgent
from norviai.askflow import flowsteps


def test_step_class_on_a_runnable_base(tmp_path):
    import sqlite3

    from norviai.askflow.custom_sql import CustomSQLDatabase

    path = tmp_path / "shop.db"
    with sqlite3.connect(path) as connection:
        connection.execute("CREATE TABLE orders (id INTEGER)")
        connection.execute("CREATE TABLE customers (id INTEGER)")
    step = flowsteps.TableNamesLookup(db=CustomSQLDatabase.from_uri(f"sqlite:///{path}"))

    assert isinstance(step, Runnable)
    assert type(step).__module__ == "norviai.askflow.flowsteps"
    assert not inspect.isabstract(type(step))
    # Instance attributes live in the instance dict, as for any Runnable subclass.
    assert list(vars(step)) == ["tool"]
    assert step.invoke({}) == {"table_names_from_db": "customers, orders"}
    assert str(inspect.signature(step.invoke)) == "(state, /, **kwargs)"
    assert str(inspect.signature(type(step).invoke)) == "(self, state, /, **kwargs)"


def test_agent_class_on_a_pydantic_base():
    seen = []
    agent = CustomRunnableAgent(runnable=RunnableLambda(lambda inputs: seen.append(inputs) or "ok"))

    assert isinstance(agent, RunnableAgent)
    # pydantic keeps the field, not the instance dict of a plain class.
    assert "runnable" in type(agent).model_fields
    assert str(inspect.signature(agent.plan)) == "(intermediate_steps, callbacks, **kwargs)"

    assert agent.plan([], None, input="q") == "ok"
    assert agent.plan(intermediate_steps=[("a", "b")], callbacks=None, input="r") == "ok"
    assert seen == [
        {"input": "q", "intermediate_steps": []},
        {"input": "r", "intermediate_steps": [("a", "b")]},
    ]


def test_agent_plan_hands_its_callbacks_to_the_runnable_and_requires_them():
    from langchain_core.callbacks import BaseCallbackHandler

    class Recorder(BaseCallbackHandler):
        def __init__(self):
            self.inputs = []

        def on_chain_start(self, serialized, inputs, **kwargs):
            self.inputs.append(inputs)

    recorder = Recorder()
    agent = CustomRunnableAgent(runnable=RunnableLambda(lambda inputs: inputs))
    agent.plan([("action", "observation")], callbacks=[recorder], input="q")
    assert recorder.inputs == [{"input": "q", "intermediate_steps": [("action", "observation")]}]
    with pytest.raises(TypeError):
        agent.plan([])
