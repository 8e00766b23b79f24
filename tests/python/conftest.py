# Shared by the Python tests: the command to compare with, and footage from `orvanta demo` in the
# three sample types the module takes.
import os
import subprocess

import numpy as np
import pytest

import orvanta

COMMAND = os.environ.get("ORVANTA_COMMAND", "")


def run_command(*args, cwd=None):
    """Runs the orvanta command; returns (status, stderr)."""
    if not COMMAND:
        pytest.fail("ORVANTA_COMMAND names no command to compare with")
    r = subprocess.run([COMMAND, "-q", *args], cwd=cwd, capture_output=True, text=True)
    return r.returncode, r.stderr


def render_command(*args, cwd=None):
    status, err = run_command("render", *args, cwd=cwd)
    assert status == 0, err


def as_dtype(a16, dtype):
    """16-bit footage as 8-bit (rounded), 16-bit or float."""
    if dtype == np.uint8:
        return ((a16.astype(np.uint32) * 255 + 32767) // 65535).astype(np.uint8)
    if dtype == np.float32:
        return (a16 / np.float32(65535)).astype(np.float32)
    return a16.copy()


# File extension that keeps each sample type exactly.
EXTENSION = {np.uint8: ".png", np.uint16: ".png", np.float32: ".exr"}


@pytest.fixture(scope="session")
def demo_dir(tmp_path_factory):
    """What `orvanta demo` writes: footage/, the results and graph.json."""
    d = tmp_path_factory.mktemp("demo")
    status, err = run_command("demo", str(d))
    assert status == 0, err
    return d


@pytest.fixture(scope="session")
def footage(demo_dir):
    """The demo's footage as 16-bit arrays, by name."""
    d = demo_dir
    return {p[:-4]: orvanta.read_image(str(d / "footage" / p))
            for p in os.listdir(d / "footage") if p.endswith(".png")}
