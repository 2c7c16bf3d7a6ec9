"""Sphinx configuration of the documentation site (``make docs``)."""

import inspect
import os
import sys

import sphinx.util.inspect
from docutils import nodes
from sphinx.addnodes import pending_xref
from sphinx.application import Sphinx
from sphinx.environment import BuildEnvironment
from sphinx.util.nodes import make_refnode

import vexlo_device_communication as vexlo
from vexlo_tools._extras import software_version

# Document the extension from the module itself (its docstrings and text signatures), not from the
# type stub installed beside it, which autodoc would otherwise prefer.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

# The extension's methods are callables of its own type, bound like Python functions and carrying text
# signatures; autodoc would take them for attribute descriptors and show them without their signatures.
_MODULE_FUNCTION = type(vexlo.VexloDevice.__dict__["get_reading"])
_is_attribute_descriptor = sphinx.util.inspect.isattributedescriptor
sphinx.util.inspect.isattributedescriptor = (  # type: ignore[assignment]
    lambda obj: not isinstance(obj, _MODULE_FUNCTION) and _is_attribute_descriptor(obj))

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
    # Private names, which the site does not document, in the annotations of public ones.
    (r"py:.*", r"(.*\.)?_[A-Za-z]\w*(\..*)?"),
]


def _resolve_loosely(app: Sphinx, env: BuildEnvironment, node: pending_xref,
                     contnode: nodes.TextElement) -> nodes.Element | None:
    """Docstrings name the module by its usual alias, ``vexlo.X``, and names of their own module by their
    bare names: look those up by the end of the full name, as ``.name`` would, preferring the module of
    the docstring. An instance variable (``:ivar:``) has no entry of its own: its class tells about it."""
    if node.get("refdomain") != "py":
        return None
    target = node["reftarget"]
    if target.startswith("vexlo."):
        target = "vexlo_device_communication." + target.removeprefix("vexlo.")
    domain = env.get_domain("py")
    module, cls = node.get("py:module"), node.get("py:class")
    matches = domain.find_obj(env, module, cls, target, node["reftype"], 1)
    if len(matches) > 1:
        # The canonical name of an object documented under its public one is the same object.
        matches = [m for m in matches if not m[1].aliased] or matches
    if len(matches) > 1 and module:
        matches = [m for m in matches if m[0].startswith(module + ".")]
    if not matches and node["reftype"] == "attr":
        owner = target.rpartition(".")[0] or cls
        if owner:
            matches = domain.find_obj(env, module, None, owner, "class", 1)
    if len(matches) != 1:
        # A name the site does not document (or only elsewhere), but which exists, stays as code without a link.
        return contnode if _exists(module, cls, target) else None
    name, entry = matches[0]
    return make_refnode(app.builder, node["refdoc"], entry.docname, entry.node_id, contnode, name)


def _exists(module: str | None, cls: str | None, target: str) -> bool:
    """Whether ``target`` names an object: by its full name, or in ``module`` (or a submodule), or its class."""
    candidates = [(target.rpartition(".")[0], None, target.rpartition(".")[2])]
    if module:
        candidates += [(name, cls, target) for name in list(sys.modules)
                       if name == module or name.startswith(module + ".")]
    for name, owner, path in candidates:
        loaded = sys.modules.get(name)
        if loaded is None:
            continue
        # In a class's own docstring the class is not known: any class of the module may hold the name.
        owners = [getattr(loaded, owner, None)] if owner else [v for v in vars(loaded).values() if isinstance(v, type)]
        for base in [loaded] + [o for o in owners if o is not None]:
            obj: object = base
            try:
                for part in path.split("."):
                    obj = getattr(obj, part)
            except AttributeError:
                continue
            return True
    return False


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
