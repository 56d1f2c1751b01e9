"""Drawing the question graph: ASCII on the console, or a PNG rendered on this machine."""

import socket

import pytest
from PIL import Image

from support.question_graph import NODE_NAMES


@pytest.fixture
def no_network(monkeypatch):
    """Any connection attempt fails, so a drawing that needs a remote service cannot pass."""

    def refuse(sock, address, *args):
        raise OSError(f"network use while drawing: {address}")

    monkeypatch.setattr(socket.socket, "connect", refuse)
    monkeypatch.setattr(socket.socket, "connect_ex", refuse)


def node_ids(agent):
    return sorted(agent.compiled_graph.get_graph().nodes)


def test_ascii_drawing_names_every_node(idle_agent, capsys, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    assert idle_agent.visualize_graph() is None

    drawing = capsys.readouterr().out
    for name in [*NODE_NAMES, "__start__", "__end__"]:
        assert name in drawing
    assert list(tmp_path.iterdir()) == []


def test_png_written_to_the_given_path(idle_agent, no_network, tmp_path):
    path = tmp_path / "drawings" / "graph.png"
    path.parent.mkdir()
    path.write_bytes(b"an older file")
    before = node_ids(idle_agent)

    assert idle_agent.visualize_graph("png", str(path)) is None

    with Image.open(path) as picture:
        assert picture.format == "PNG"
        # Thirteen boxes and the two markers do not fit in a thumbnail.
        assert picture.width > 200 and picture.height > 400
    assert node_ids(idle_agent) == before == sorted([*NODE_NAMES, "__start__", "__end__"])


def test_png_default_path_is_in_the_working_folder(idle_agent, no_network, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)

    idle_agent.visualize_graph("mermaid")

    assert [p.name for p in tmp_path.iterdir()] == ["graph_visualization.png"]
    with Image.open(tmp_path / "graph_visualization.png") as picture:
        assert picture.format == "PNG"
