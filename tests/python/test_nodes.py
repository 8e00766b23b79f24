# Nodes: controls by id, label and PAGE/LABEL, keyframes and expressions equal to the command's,
# image inputs by label, and every bad call refused with one sentence that names what was wrong.
import numpy as np
import pytest

import orvanta
from conftest import render_command


def test_a_control_is_the_same_by_id_hex_id_label_and_page_label():
    n = orvanta.Node("OrvantaRaster")
    for name in ["0x48524300", "horizontal Scanlines/Red"]:
        n.set(name, 0.5)
        assert n.get("0x48524300") == 0.5
        n.set("0x48524300", 0)
    n.set("BSCH", 7)
    assert n["horizontal Scanlines/scanlines showing input"] == 7.0
    n["SCOH"] = "show color first"  # a combo by its item, read back as its index
    assert n.get("SCOH") == 1.0
    n["horizontal Scanlines/activate Scanlines"] = True
    assert n.get("0x48536100") == 1.0
    with pytest.raises(orvanta.Error, match="\"Red\" is ambiguous in OrvantaRaster; name one of these"):
        n.set("Red", 1)


def test_bad_settings_are_refused_in_one_sentence():
    n = orvanta.Node("OrvantaToneGate")
    cases = [
        (lambda: n.set("LUML", 2), orvanta.Error, "2 is outside the range of \"Luminance Region Start\""),
        (lambda: n.set("FLTO", "sideways"), orvanta.Error, "\"sideways\" is not an item of \"Filter Options\""),
        (lambda: n.set("FLTO", 99), orvanta.Error, "\"99\" is not an item"),
        (lambda: n.set("NOPE", 1), orvanta.Error, "has no control \"NOPE\"; orvanta.info(\"OrvantaToneGate\") lists"),
        (lambda: n.set("Input", 1), orvanta.Error, "\"Input\" of OrvantaToneGate is an image input, not a control"),
        (lambda: n.set("LUML", [1, 2, 3]), TypeError, "the value for \"LUML\" is a list"),
        (lambda: n.set("LUML", None), TypeError, "is a NoneType"),
        (lambda: n.set("LUML", {}), ValueError, "the keyframes for \"LUML\" are empty"),
        (lambda: n.set("LUML", {"one": 0.5}), TypeError, "need numbers as frames"),
        (lambda: n.set("LUML", {1: 0.2, 5: 3}), orvanta.Error, "3 is outside the range"),
        (lambda: n.set("LUML", "0.2@1,"), orvanta.Error, "end with a comma"),
        (lambda: n.set_expression("LUML", "frame +"), orvanta.Error, "does not parse"),
        (lambda: n.set_expression("LUML", "other.SORL"), orvanta.Error, "has no node \"other\""),
        (lambda: n.connect("Mask", np.zeros((2, 2), np.uint8)), orvanta.Error,
         "OrvantaToneGate has no image input \"Mask\"; its image inputs are \"Input\""),
        (lambda: n.connect("Input", 3.5), TypeError, "an image input takes a numpy array, a file path"),
        (lambda: orvanta.Node("OrvantaNothing"), orvanta.Error, "no installed tool is named \"OrvantaNothing\""),
        (lambda: orvanta.info("nothing"), orvanta.Error, "no installed tool is named"),
        (lambda: n.render(), orvanta.Error, "OrvantaToneGate needs its image input \"Input\"; give it an array"),
        (lambda: n.render(-1), orvanta.Error, "frame -1 is not a frame number from 0 to 9999999"),
    ]
    for call, error, says in cases:
        with pytest.raises(error) as e:
            call()
        assert says in str(e.value) and "\n" not in str(e.value), (says, str(e.value))
    # A refused value leaves the control as it was.
    assert n.get("LUML") == orvanta.Node("OrvantaToneGate").get("LUML")


def test_keyframes_and_expressions_equal_the_command_at_every_frame(footage, tmp_path):
    ramp = footage["ramp"]
    orvanta.write_image(str(tmp_path / "ramp.png"), ramp)
    render_command("OrvantaRemap", "-i", str(tmp_path / "ramp.png"), "-s", "SORL=0.1@1,0.4@9",
                   "-x", "SORH=0.6 + frame / 40", "--frames", "1,4,9,12", "-o", str(tmp_path / "out.#.png"))
    n = orvanta.Node("OrvantaRemap")
    n.connect("Input", ramp)
    n.set("SORL", {1: 0.1, 9: 0.4})
    n.set_expression("SORH", "0.6 + frame / 40")
    as_text = orvanta.Node("OrvantaRemap")
    as_text.connect(None, ramp)
    as_text.set("SORL", "0.1@1,0.4@9")
    as_text.set_expression("SORH", "0.6 + frame / 40")
    for f in [1, 4, 9, 12]:
        expected = orvanta.read_image(str(tmp_path / f"out.{f:04d}.png")).tobytes()
        assert n.render(frame=f).tobytes() == expected, f
        assert as_text.render(f).tobytes() == expected, f
    assert n.get("SORH", frame=8) == pytest.approx(0.8)
    assert n.expression("SORH") == "0.6 + frame / 40"
    assert n.get("SORL", 5) == pytest.approx(0.25)
    # A value replaces the expression.
    n.set("SORH", 0.9)
    assert n.expression("SORH") is None and n.get("SORH", 8) == 0.9


def test_points_take_pairs(footage):
    n = orvanta.Node("OrvantaScope")
    point = "Center"
    n.set(point, (0.25, 0.75))
    assert n.get(point) == (0.25, 0.75)
    n.set(point, {1: (0, 0), 11: [1, 0.5]})
    assert n.get(point, 6) == pytest.approx((0.5, 0.25))
    with pytest.raises(orvanta.Error, match="is not a point X,Y"):
        n.set(point, 3)


def test_image_inputs_by_label_take_arrays_files_and_other_nodes(footage, tmp_path):
    backdrop = footage["backdrop"]
    orvanta.write_image(str(tmp_path / "dots.png"), footage["dots"])
    g = orvanta.Graph()
    crowd = g.add("OrvantaMultitude")
    assert crowd.name == "multitude_generator"
    assert crowd.image_inputs[:2] == ["Background", "Crowd"]
    figure = g.add("OrvantaRemap", "figure")
    figure.connect(None, footage["man"])
    crowd.connect("Background", backdrop)
    crowd.connect("Crowd", str(tmp_path / "dots.png"))
    crowd.connect("Folk 1", figure)
    crowd.set("CM1R", 1)
    crowd.set("CM1A", 1)
    by_graph = crowd.render()
    by_arrays = orvanta.render("OrvantaMultitude", backdrop, CM1R=1, CM1A=1,
                               inputs={"Crowd": footage["dots"], "Folk 1": footage["man"]})
    assert by_graph.tobytes() == by_arrays.tobytes()
    assert by_graph.tobytes() != backdrop.tobytes()
    crowd.connect("Crowd", None)
    with pytest.raises(orvanta.Error, match="needs its image input \"Crowd\""):
        crowd.render()
    with pytest.raises(orvanta.Error, match="is in another graph"):
        crowd.connect("Folk 2", orvanta.Node("OrvantaRemap"))
    with pytest.raises(orvanta.Error, match="cannot read .*gone.png: the file does not exist"):
        crowd.connect("Crowd", str(tmp_path / "gone.png"))
        crowd.render()


def test_info_is_the_command_json(tmp_path):
    import json
    import subprocess
    from conftest import COMMAND
    for tool in orvanta.tools():
        out = subprocess.run([COMMAND, "info", tool["name"], "--json"], capture_output=True, text=True, check=True)
        assert orvanta.info(tool["name"]) == json.loads(out.stdout)
    out = subprocess.run([COMMAND, "tools", "--json"], capture_output=True, text=True, check=True)
    assert orvanta.tools() == json.loads(out.stdout)


def test_every_control_refuses_nan_and_renders_at_its_range_ends():
    """As the command's bad-input sweep: no value a control takes crashes a render."""
    picture = np.random.default_rng(5).integers(0, 65536, size=(12, 16, 4), dtype=np.uint16)
    renders = 0
    for tool in orvanta.tools():
        inputs = [i for page in orvanta.info(tool["name"])["pages"] for i in page["inputs"]]
        n = orvanta.Node(tool["name"])
        for i in inputs:
            if i["kind"] in ("image", "image control"):
                n.connect(i["id"], picture)
        for c in inputs:
            if c["kind"] in ("image", "image control", "offset"):
                continue
            with pytest.raises(orvanta.Error, match="is not a number|is not an item|is not a checkbox value"):
                n.set(c["id"], float("nan"))
            lo, hi = (0, len(c["items"]) - 1) if c.get("items") else (c.get("rangeLow", 0), c.get("rangeHigh", 1))
            for v in (lo, hi):
                n.set(c["id"], v)
                try:
                    out = n.render()
                    assert out.ndim == 3 and out.shape[2] == 4 and out.dtype == np.uint16
                    renders += 1
                except orvanta.Error as e:
                    assert "memory budget" in str(e), (tool["name"], c["id"], v, str(e))
            if "default" in c:
                n.set(c["id"], c["default"])
    assert renders > 200
