"""Checks shared by the tests of single question steps."""

import types

import pytest


class StateSubclass(dict):
    pass


NOT_PLAIN_DICTS = [None, StateSubclass(), types.MappingProxyType({})]


def assert_refuses_all_but_plain_dicts(entry_points):
    for entry_point in entry_points:
        for state in NOT_PLAIN_DICTS:
            with pytest.raises(TypeError, match="'state'"):
                entry_point(state)


def sent(request):
    """The (role, content) pairs of a recorded chat request."""
    return [(message["role"], message["content"]) for message in request.messages]


def as_sent(messages):
    """langchain messages as the (role, content) pairs the chat client sends."""
    roles = {"system": "system", "human": "user"}
    return [(roles[message.type], message.content) for message in messages]
