# Arrays in and out: shapes and strides taken as the command takes files, wrong sample types and
# shapes refused with one sentence, results in the input's sample type, inputs left untouched.
import subprocess

import numpy as np
import pytest

import orvanta
from conftest import as_dtype, render_command

FULL = {np.uint8: 255, np.uint16: 65535, np.float32: 1.0}


def rgba(dtype, h=24, w=37, seed=3):
    a16 = np.random.default_rng(seed).integers(0, 65536, size=(h, w, 4), dtype=np.uint16)
    return as_dtype(a16, dtype)


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.float32], ids=lambda d: np.dtype(d).name)
def test_rgb_grey_and_strided_arrays_read_as_their_rgba_equivalent(dtype):
    a = rgba(dtype)
    full = np.full(a.shape[:2] + (1,), FULL[dtype], dtype=dtype)
    rgb = a[..., :3]  # a strided view, not a copy
    grey = a[..., 1]
    as_rgba = {
        "rgb": (rgb, np.concatenate([rgb, full], axis=2)),
        "rgb packed": (np.ascontiguousarray(rgb), np.concatenate([rgb, full], axis=2)),
        "grey": (grey, np.stack([grey, grey, grey, full[..., 0]], axis=2)),
        "grey packed": (np.ascontiguousarray(grey), np.stack([grey, grey, grey, full[..., 0]], axis=2)),
        "grey1": (grey[..., None], np.stack([grey, grey, grey, full[..., 0]], axis=2)),
        "flipped": (a[::-2, ::-1], np.ascontiguousarray(a[::-2, ::-1])),
        "fortran": (np.asfortranarray(a), a),
    }
    for name, (given, equivalent) in as_rgba.items():
        before = given.copy()
        out = orvanta.render("OrvantaToneGate", given, FLTO="lowboost", LUML=0.4)
        assert out.dtype == dtype and out.shape == equivalent.shape, name
        assert out.tobytes() == orvanta.render("OrvantaToneGate", equivalent, FLTO="lowboost", LUML=0.4).tobytes(), name
        assert np.array_equal(given, before), name  # the input is only read


def test_rgb_arrays_equal_the_command_on_rgb_files(tmp_path):
    """A file without alpha reads with full alpha; an (H, W, 3) array does the same."""
    rgb = rgba(np.uint8)[..., :3]
    path = tmp_path / "rgb.jpg"
    orvanta.write_image(str(path), rgb)  # JPEG holds no alpha: an RGB file
    read = orvanta.read_image(str(path))
    assert np.all(read[..., 3] == 255)
    render_command("OrvantaRemap", "-i", str(path), "-s", "SORL=0.2", "-o", str(tmp_path / "out.png"))
    mine = orvanta.render("OrvantaRemap", read[..., :3], SORL=0.2)
    assert mine.tobytes() == orvanta.read_image(str(tmp_path / "out.png")).tobytes()


@pytest.mark.parametrize("bad, error, says", [
    (np.zeros((4, 4, 4), np.float64), TypeError, "an array of float64; images are uint8, uint16 or float32"),
    (np.zeros((4, 4, 4), np.int16), TypeError, "an array of int16"),
    (np.zeros((4, 4, 4), np.bool_), TypeError, "an array of bool"),
    (np.zeros((4, 4, 4), np.dtype(">u2")), TypeError, "other byte order"),
    (np.zeros((4, 4, 2), np.uint8), ValueError, "has the shape (4, 4, 2)"),
    (np.zeros((4, 4, 5), np.uint8), ValueError, "has the shape (4, 4, 5)"),
    (np.zeros((16,), np.uint8), ValueError, "has the shape (16,)"),
    (np.zeros((2, 4, 4, 4), np.uint8), ValueError, "has the shape (2, 4, 4, 4)"),
    (np.zeros((0, 4, 4), np.uint8), ValueError, "is empty"),
    (np.zeros((4, 0), np.float32), ValueError, "is empty"),
])
def test_bad_arrays_are_refused_in_one_sentence(bad, error, says):
    with pytest.raises(error) as e:
        orvanta.render("OrvantaRemap", bad)
    assert says in str(e.value)
    assert "\n" not in str(e.value)
    with pytest.raises(error, match="the array for \"Crowd\""):
        orvanta.Node("OrvantaMultitude").connect("Crowd", bad)


def test_arrays_too_large_for_the_memory_budget_are_refused():
    # A broadcast view is a huge array in a few bytes; the host refuses the image before allocating.
    huge = np.broadcast_to(np.zeros(4, np.float32), (1 << 20, 1 << 20, 4))
    with pytest.raises(orvanta.Error, match="exceeds the memory budget"):
        orvanta.render("OrvantaRemap", huge)


@pytest.mark.parametrize("dtype, ext, bits", [
    (np.uint8, ".png", None), (np.uint16, ".tif", None), (np.float32, ".exr", None), (np.float32, ".tif", "float"),
], ids=["png8", "tif16", "exr", "tif-float"])
def test_files_round_trip_exactly(dtype, ext, bits, tmp_path):
    a = rgba(dtype)
    path = str(tmp_path / ("a" + ext))
    orvanta.write_image(path, a, bits=bits)
    back = orvanta.read_image(path)
    assert back.dtype == dtype and back.tobytes() == a.tobytes()


def test_file_errors_are_one_sentence_and_leave_nothing(tmp_path):
    with pytest.raises(orvanta.Error, match="cannot read .*missing.png: the file does not exist"):
        orvanta.read_image(str(tmp_path / "missing.png"))
    (tmp_path / "junk.png").write_bytes(b"not an image")
    with pytest.raises(orvanta.Error, match="cannot read .*junk.png"):
        orvanta.read_image(str(tmp_path / "junk.png"))
    a = rgba(np.float32)
    with pytest.raises(orvanta.Error, match="cannot hold float samples"):
        orvanta.write_image(str(tmp_path / "f.png"), a)
    with pytest.raises(orvanta.Error, match="the folder .* does not exist"):
        orvanta.write_image(str(tmp_path / "no" / "f.png"), a, bits="16")
    with pytest.raises(ValueError, match="bits takes"):
        orvanta.write_image(str(tmp_path / "f.png"), a, bits="7")
    with pytest.raises(orvanta.Error, match="png files cannot hold 12-bit samples"):
        orvanta.write_image(str(tmp_path / "f.png"), a, bits="12")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["junk.png"]


def test_headers_read_and_written_give_the_commands_file(tmp_path):
    # A half EXR with attributes, a data window, an extra channel and PIZ compression.
    src = tmp_path / "in.exr"
    subprocess.run(["oiiotool", "--pattern", "noise", "16x8", "5", "--chnames", "R,G,B,A,Z", "-d", "half",
                    "--origin", "+3+2", "--fullsize", "32x16", "--attrib:type=timecode", "smpte:TimeCode",
                    "01:02:03:04", "--attrib", "shot", "sq10", "--compression", "piz", "-o", str(src)], check=True)
    image, header = orvanta.read_image(str(src), attributes=True)
    assert image.dtype == np.float32 and image.shape == (8, 16, 4)
    assert header["smpte:TimeCode"] == "01:02:03:04" and header["shot"] == "sq10"
    assert header.data_window == (3, 2, 16, 8) and header.display_window == (0, 0, 32, 16)
    assert header.extra_channels == ["Z"] and header.sample_type == "half-float"
    assert header.compression == "piz" and header.premultiplied
    assert "Software" not in header  # what no longer describes a copy
    out = orvanta.render("OrvantaRemap", image, SORL=0.25, SORH=0.75)
    orvanta.write_image(str(tmp_path / "py.exr"), out, attributes=header)
    render_command("OrvantaRemap", "-i", str(src), "-s", "SORL=0.25", "-s", "SORH=0.75", "-o", str(tmp_path / "cmd.exr"))
    assert (tmp_path / "py.exr").read_bytes() == (tmp_path / "cmd.exr").read_bytes()
    # Attributes set from Python, on the header read or alone.
    header["shot"] = "sq20"
    header["FramesPerSecond"] = "25/1"
    orvanta.write_image(str(tmp_path / "set.exr"), out, attributes=header)
    again, back = orvanta.read_image(str(tmp_path / "set.exr"), attributes=True)
    assert back["shot"] == "sq20" and back["FramesPerSecond"] == "25/1" and back.extra_channels == ["Z"]
    orvanta.write_image(str(tmp_path / "plain.tif"), np.zeros((4, 4, 3), np.uint16),
                        attributes={"DocumentName": "plate", "XResolution": 300.0})
    _, plain = orvanta.read_image(str(tmp_path / "plain.tif"), attributes=True)
    assert plain["DocumentName"] == "plate" and plain["XResolution"] == 300.0
    with pytest.raises(orvanta.Error, match="takes a timecode"):
        header["smpte:TimeCode"] = "yesterday"
    with pytest.raises(orvanta.Error, match="set by the writer"):
        header["oiio:BitsPerSample"] = 10


@pytest.fixture
def full_disk(tmp_path):
    """A 64 KiB file system over a folder (needs root: skipped where it cannot be mounted)."""
    disk = tmp_path / "disk"
    disk.mkdir()
    if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=64k", "tmpfs", str(disk)],
                      capture_output=True).returncode != 0:
        pytest.skip("cannot mount a small tmpfs here (needs root)")
    yield disk
    subprocess.run(["umount", str(disk)], check=True)


@pytest.mark.parametrize("ext", [".png", ".jpg"])
def test_writes_onto_a_full_disk_raise_and_leave_nothing(full_disk, ext):
    path = full_disk / ("big" + ext)
    with pytest.raises(orvanta.Error, match="cannot write .*big" + ext + ": No space left on device"):
        orvanta.write_image(str(path), rgba(np.uint8 if ext == ".jpg" else np.uint16, h=400, w=400))
    assert list(full_disk.iterdir()) == []


def test_special_files_are_refused_not_read(tmp_path):
    """In a child interpreter with a time limit: a read that blocks must fail the test, not hang it."""
    import os
    import sys
    fifo = tmp_path / "pipe.png"
    os.mkfifo(fifo)
    for path, kind in [("/dev/zero", "a device"), (str(fifo), "a pipe"), (str(tmp_path), "a folder")]:
        code = ("import orvanta, sys\n"
                "try:\n    orvanta.read_image(sys.argv[1])\n"
                "except orvanta.Error as e:\n    print(e)\n")
        r = subprocess.run([sys.executable, "-c", code, path], capture_output=True, text=True, timeout=60)
        assert r.returncode == 0, r.stderr
        assert "cannot read " + path + ": it is " + kind in r.stdout
