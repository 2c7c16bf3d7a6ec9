"""Sphinx configuration of the documentation site (``make docs``)."""

import inspect

from docutils import nodes
from sphinx.addnodes import pending_xref
from sphinx.application import Sphinx
from sphinx.environment import BuildEnvironment

from vexlo_tools._extras import software_version

project = "vexlo_device_communication"
author = "the vexlo_device_communication developers"
release = version = software_version()

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinxarg.ext",
]
source_suffix = {".md": "markdown"}
exclude_patterns = ["_build"]
root_doc = "index"

# Options such as --sim stay as typed, not turned into dashes.
smartquotes = False

html_theme = "furo"
html_title = "vexlo_device_communication"

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_default_options = {"members": True}
autodoc_typehints_format = "short"

# Every reference must resolve, except to libraries whose inventories the
# build cannot fetch (it runs with no network beyond the package registries).
nitpicky = True
nitpick_ignore_regex = [
    (r"py:.*", r"(numpy|np|npt|serial|h5py|pandas|matplotlib|textual|pytest|_pytest|datetime|pathlib|os|enum"
               r"|typing|collections|threading|logging|argparse|types|abc|contextlib|io|struct)(\..*)?"),
]


def _resolve_loosely(app: Sphinx, env: BuildEnvironment, node: pending_xref,
                     contnode: nodes.TextElement) -> nodes.Element | None:
    """Docstrings name the module by its usual alias, ``vexlo.X``, and constants by their bare names:
    look those up as ``.name`` would, by the end of the full name."""
    if node.get("refdomain") != "py":
        return None
    target = node["reftarget"]
    if target.startswith("vexlo."):
        target = "vexlo_device_communication." + target.removeprefix("vexlo.")
    retry = node.deepcopy()
    retry["reftarget"] = target
    retry["refspecific"] = True
    domain = env.get_domain("py")
    found = domain.resolve_xref(env, node["refdoc"], app.builder, node["reftype"], target, retry, contnode)
    if found is None and node["reftype"] == "attr" and "." in target:
        # An instance variable (``:ivar:``) has no entry of its own: its class tells about it.
        parent = target.rpartition(".")[0]
        found = domain.resolve_xref(env, node["refdoc"], app.builder, "class", parent, retry, contnode)
    return found


def _drop_type_docstrings(app: Sphinx, what: str, name: str, obj: object, options: object,
                          lines: list[str]) -> None:
    """Data without a ``#:`` comment where it is documented would show the docstring of its type."""
    doc = type(obj).__doc__
    if not isinstance(doc, str):  # a type whose __doc__ is a descriptor
        return
    if what in ("data", "attribute") and doc and "\n".join(lines).strip() == inspect.cleandoc(doc).strip():
        lines.clear()


def setup(app: Sphinx) -> None:
    app.connect("missing-reference", _resolve_loosely)
    app.connect("autodoc-process-docstring", _drop_type_docstrings)
