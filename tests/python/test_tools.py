# Every tool through Python gives the command's result on the same file, byte for byte, in each
# sample type.
import numpy as np
import pytest

import orvanta
from conftest import EXTENSION, as_dtype, render_command

# (tool, main footage, {image input: footage}, settings as the command takes them)
JOBS = {
    "linedrop": ("OrvantaLineDrop", "interlaced", {}, ["BSCH=1", "CSCH=1"]),
    "raster": ("OrvantaRaster", "bars", {},
               ["0x48536100=on", "BSCH=3", "CSCH=1", "0x48524300=1", "0x48414300=1", "0x56536100=on", "BSCV=4",
                "CSCV=2", "0x56424300=1", "0x56414300=1", "BMDV=add"]),
    "tonegate": ("OrvantaToneGate", "ramp", {}, ["FLTO=range inside cut", "LUML=0.3", "LUMH=0.7", "0x534D5300=0.05"]),
    "remap": ("OrvantaRemap", "ramp", {}, ["SORL=0.25", "SORH=0.75", "SOTL=0", "SOTH=1"]),
    "billboard-tv": ("OrvantaBillboard", "bars", {}, ["Type=TV + Monitors"]),
    "billboard-airport": ("OrvantaBillboard", "bars", {}, ["Type=Airport"]),
    "multitude": ("OrvantaMultitude", "backdrop",
                  {"Crowd": "dots", "Folk 1": "man", "Folk 2": "woman", "Folk 3": "child"},
                  ["CM1R=1", "CM1A=1", "CM2G=1", "CM2A=1", "CM3B=1", "CM3A=1"]),
    "mosaic": ("OrvantaMosaic", "backdrop",
               {"Tile 1": "brick1", "Tile 2": "brick2", "Tile 3": "brick3", "Tile 4": "brick4"},
               ["SEED=7", "PRBL=1", "PRBH=4"]),
    "scope-luminance": ("OrvantaScope", "bars", {}, ["TYPE=0"]),
    "scope-parade": ("OrvantaScope", "bars", {}, ["TYPE=4"]),
    "scope-red": ("OrvantaScope", "bars", {}, ["TYPE=5"]),
}
DTYPES = [np.uint8, np.uint16, np.float32]


def test_every_tool_is_covered():
    assert {orvanta.info(j[0])["name"] for j in JOBS.values()} == {t["name"] for t in orvanta.tools()}


@pytest.mark.parametrize("dtype", DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("job", JOBS, ids=str)
def test_tool_equals_command(job, dtype, footage, tmp_path):
    tool, main, extra, settings = JOBS[job]
    ext = EXTENSION[dtype]
    arrays = {"": as_dtype(footage[main], dtype)}
    arrays.update({label: as_dtype(footage[name], dtype) for label, name in extra.items()})
    args = [tool]
    for i, (label, a) in enumerate(arrays.items()):
        path = tmp_path / f"in{i}{ext}"
        orvanta.write_image(str(path), a)
        assert orvanta.read_image(str(path)).tobytes() == a.tobytes()  # the file holds the array exactly
        args += ["-i", f"{label}={path}" if label else str(path)]
    for s in settings:
        args += ["-s", s]
    out = tmp_path / f"command{ext}"
    render_command(*args, "-o", str(out))

    result = orvanta.render(tool, arrays[""], inputs={k: v for k, v in arrays.items() if k},
                            controls=dict(s.split("=", 1) for s in settings))
    expected = orvanta.read_image(str(out))
    assert result.dtype == dtype
    assert result.shape == expected.shape
    assert result.tobytes() == expected.tobytes()
    # Written by the module, the result is the command's file.
    mine = tmp_path / f"python{ext}"
    orvanta.write_image(str(mine), result)
    assert mine.read_bytes() == out.read_bytes()


def test_python_values_equal_command_texts(footage):
    """Numbers, bools and item texts given as Python values set what the command's texts set."""
    bars = footage["bars"]
    texts = orvanta.render("OrvantaRaster", bars, controls={
        "0x48536100": "on", "BSCH": "3", "CSCH": "1", "0x48524300": "1", "0x48414300": "1", "BMDV": "add"})
    values = orvanta.render("OrvantaRaster", bars, BSCH=3, CSCH=1, BMDV="add",
                            controls={"0x48536100": True, "0x48524300": 1.0, "0x48414300": np.float32(1)})
    plain = orvanta.render("OrvantaRaster", bars)
    assert values.tobytes() == texts.tobytes()
    assert values.tobytes() != plain.tobytes()
