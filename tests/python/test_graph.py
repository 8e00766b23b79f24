# Compositions from Python: built, edited, saved and loaded, rendered per frame to the command's
# bytes; bad graphs and saves refused with one sentence and no file left behind.
import json
import os

import numpy as np
import pytest

import orvanta
from conftest import render_command


def test_the_demo_graph_renders_as_the_command_renders_it(demo_dir, tmp_path):
    comp = str(demo_dir / "graph.json")
    g = orvanta.load(comp)
    assert [n.name for n in g.nodes] == ["fields", "levels", "board", "scope"]
    assert g["levels"].expression("SORH") == "0.6 + frame / 50"
    for node in ["board", "scope"]:
        render_command("--comp", comp, "--node", node, "--frames", "1,7", "-o", str(tmp_path / f"{node}.#.png"))
        for f in [1, 7]:
            expected = orvanta.read_image(str(tmp_path / f"{node}.{f:04d}.png"))
            assert g.render(node, frame=f).tobytes() == expected.tobytes(), (node, f)
    assert g.output == "board"  # the demo names its output
    assert g.render(frame=7).tobytes() == g.render("board", 7).tobytes()
    g.output = ""
    with pytest.raises(orvanta.Error, match="ends in several nodes \\(\"board\", \"scope\"\\)"):
        g.render()
    g.output = "scope"
    assert g.render(frame=7).tobytes() == g.render("scope", 7).tobytes()


def test_a_graph_built_in_python_saves_and_renders_like_the_command(footage, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)  # relative paths are the working folder's
    orvanta.write_image("interlaced.png", footage["interlaced"])
    g = orvanta.Graph()
    fields = g.add("OrvantaLineDrop", "fields")
    fields.connect("Input", "interlaced.png")
    fields.set("BSCH", 1)
    fields.set("CSCH", 1)
    levels = g.add("OrvantaRemap")
    assert levels.name == "remap" and len(g) == 2
    levels.connect(None, fields)
    levels.set("SORL", {1: 0.0, 5: 0.3})
    levels.set_expression("SORH", "remap.SORL + 0.5")
    g.save("comp.json")
    saved = json.loads(open("comp.json").read())
    assert saved["nodes"][0]["inputs"]["Input"] == {"file": "interlaced.png"}
    assert saved["nodes"][1]["controls"]["SORH"] == {"expr": "remap.SORL + 0.5"}
    render_command("--comp", "comp.json", "--frames", "2,5", "-o", "out.#.tif")
    back = orvanta.load("comp.json")
    assert back.to_json() == g.to_json()
    for f in [2, 5]:
        expected = orvanta.read_image(f"out.{f:04d}.tif").tobytes()
        assert g.render(frame=f).tobytes() == expected
        assert back.render(frame=f).tobytes() == expected
    # Edited and saved again in the binary format, which holds no links between nodes.
    with pytest.raises(orvanta.Error, match="cannot hold links between nodes"):
        back.save("comp.orvc")
    removed = back["fields"]
    back.remove("fields")
    with pytest.raises(orvanta.Error, match="needs its image input \"Input\""):
        back.render()
    with pytest.raises(orvanta.Error, match="the node \"fields\" was removed from its graph"):
        removed.set("BSCH", 2)
    assert g["fields"].get("BSCH") == 1.0  # the other graph keeps its own
    assert not os.path.exists("comp.orvc")


def test_graphs_holding_arrays_are_not_saved_and_bad_graphs_are_refused(tmp_path):
    g = orvanta.Graph()
    a = g.add("OrvantaRemap", "a")
    b = g.add("OrvantaRemap", "b")
    a.connect(None, np.zeros((4, 4, 4), np.uint8))
    b.connect(None, a)
    target = str(tmp_path / "g.json")
    with pytest.raises(orvanta.Error, match="\"Input\" of node \"a\" holds an array, which a composition cannot keep"):
        g.save(target)
    with pytest.raises(orvanta.Error, match="holds an array"):
        g.to_json()
    assert not os.path.exists(target)
    a.connect(None, b)
    with pytest.raises(orvanta.Error, match="cycle"):
        g.render("b")
    with pytest.raises(orvanta.Error, match="already has a node named \"a\""):
        g.add("OrvantaRemap", "a")
    with pytest.raises(orvanta.Error, match="is not a valid node name"):
        g.add("OrvantaRemap", "two words")
    with pytest.raises(orvanta.Error, match="no node named \"c\""):
        g["c"]
    with pytest.raises(orvanta.Error, match="no node named \"c\""):
        g.output = "c"
    with pytest.raises(orvanta.Error, match="comp.json: .*\"tool\""):
        orvanta.Graph.from_json('{"version": 1, "nodes": [{"name": "x"}]}', "comp.json")
    with pytest.raises(orvanta.Error, match="deep.json nests lists and objects more than 64 deep"):
        orvanta.Graph.from_json('{"version": %s}' % ("[" * 50000 + "]" * 50000), "deep.json")
    (tmp_path / "huge.json").write_text('{"version": 1e400, "nodes": []}')
    with pytest.raises(orvanta.Error, match="huge.json is not valid JSON: number overflow"):
        orvanta.load(str(tmp_path / "huge.json"))
    with pytest.raises(orvanta.Error, match="cannot read|does not exist"):
        orvanta.load(str(tmp_path / "none.json"))
    with pytest.raises(orvanta.Error, match="cannot write|does not exist"):
        orvanta.Graph().save(str(tmp_path / "no" / "g.json"))
