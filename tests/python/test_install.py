# The installed package imports on its own and finds the installed plug-ins; ORVANTA_PLUGIN_PATH
# chooses other folders.
import os
import shutil
import subprocess
import sys

import pytest

BUILD = os.environ.get("ORVANTA_BUILD_DIR", "")
CMAKE = os.environ.get("ORVANTA_CMAKE", "cmake")

PROBE = "import json, orvanta; print(json.dumps([orvanta.__file__, [t['library'] for t in orvanta.tools()]]))"


def probe(pythonpath, **env):
    clean = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "ORVANTA_PLUGIN_PATH")}
    clean.update(env, PYTHONPATH=pythonpath)
    r = subprocess.run([sys.executable, "-c", PROBE], env=clean, capture_output=True, text=True, cwd="/")
    assert r.returncode == 0, r.stderr
    import json
    return json.loads(r.stdout), r.stderr


def test_installed_package_uses_the_installed_plugins(tmp_path):
    if not BUILD:
        pytest.fail("ORVANTA_BUILD_DIR names no build to install")
    prefix = tmp_path / "prefix"
    r = subprocess.run([CMAKE, "--install", BUILD, "--prefix", str(prefix)], capture_output=True, text=True)
    assert r.returncode == 0, r.stderr
    site = next(prefix.glob("lib/python3*/site-packages"))
    (module, libraries), _ = probe(str(site))
    assert module.startswith(str(site))
    assert len(libraries) == 8 and all(lib.startswith(str(prefix)) for lib in libraries), libraries

    # The environment's folders instead: here one plug-in alone, and a plug-in that does not load.
    only = tmp_path / "only"
    only.mkdir()
    plugins = os.path.dirname(libraries[0])
    shutil.copy(os.path.join(plugins, "OrvantaRemap.so"), only)
    (only / "OrvantaBroken.so").write_bytes(b"not a library")
    (module, libraries), err = probe(str(site), ORVANTA_PLUGIN_PATH=f"{tmp_path / 'missing'}:{only}")
    assert [os.path.basename(lib) for lib in libraries] == ["OrvantaRemap.so"]
    assert "the plug-in OrvantaBroken.so did not load" in err
