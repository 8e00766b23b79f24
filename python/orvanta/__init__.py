"""The Orvanta tools on numpy arrays.

Images are arrays of shape (H, W, 4), (H, W, 3) or (H, W) in uint8, uint16 or float32, channels
in R, G, B, A order; results are (H, W, 4) arrays of the sample type of the tool's main input.
Plug-ins are loaded from $ORVANTA_PLUGIN_PATH (folders separated by ':'), else from the folder
installed next to this package, else from the build tree's lib/ folder.
"""

import json as _json
import warnings as _warnings

from ._orvanta import Error, Graph, Node, read_image, set_threads, threads, write_image
from . import _orvanta

__all__ = ["Error", "Graph", "Node", "info", "load", "read_image", "render", "set_threads", "threads",
           "tools", "write_image"]

for _cls in (Error, Graph, Node):
    _cls.__module__ = __name__

for _failure in _orvanta._load_plugins(_orvanta._plugin_dirs()):
    _warnings.warn("orvanta: " + _failure, RuntimeWarning, stacklevel=2)


def tools():
    """Every loaded tool: name, registryName, identifier, caption, classWord, versions, library."""
    return _json.loads(_orvanta._tools_json())


def info(tool):
    """A tool's description as `orvanta info TOOL --json` prints it: help and pages of inputs."""
    return _json.loads(_orvanta._info_json(tool))


def load(path):
    """Reads a composition file (JSON or binary) as a Graph."""
    return Graph.load(path)


def render(tool, image=None, *, frame=1, inputs=None, controls=None, **settings):
    """Renders one tool once: image goes to its main input, inputs maps image input labels to
    arrays or file paths, controls (and keyword settings) map control names to values."""
    node = Node(tool)
    if image is not None:
        node.connect(None, image)
    for label, source in (inputs or {}).items():
        node.connect(label, source)
    for name, value in {**(controls or {}), **settings}.items():
        node.set(name, value)
    return node.render(frame)


def _node_info(self):
    """The node's description, as info() gives it, with its current shown state."""
    return _json.loads(self._info_json())


Node.info = _node_info
