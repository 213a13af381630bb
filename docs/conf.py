"""Sphinx configuration of kovar's documentation: `make docs` builds it into
build/docs/html, with warnings as errors."""

import ast
import os
import pathlib

# Autodoc documents the modules as they run. Sphinx would otherwise load a
# native module's .pyi in its place, and the Python modules importing it
# would get the stub's classes.
os.environ["SPHINX_AUTODOC_IGNORE_NATIVE_MODULE_TYPE_STUBS"] = "1"

import kovar
import kovar.bank
import kovar.regulo
import kovar.sim
import kovar.tune

project = "kovar"
author = "The kovar developers"
copyright = "the kovar developers"
release = version = kovar.__version__

# No intersphinx: a build reaches nothing beyond this repository.
extensions = ["sphinx.ext.autodoc", "numpydoc", "myst_parser"]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

# The pages are Markdown, largely as the README had them: `name` is code
# there, and headings get anchors for links between pages.
default_role = "code"
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# Signatures as the code writes them; members in source order. The
# docstrings name parameters and symbols in prose, so numpydoc makes no
# cross-references of its own.
autodoc_member_order = "bysource"
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
numpydoc_validation_checks = set()

html_theme = "furo"
html_title = f"kovar {version}"


# kovar.regulo's classes carry no docstrings (their namespaces are fixed):
# their documentation is in the stub, regulo.pyi, which IDEs read, and the
# reference takes it from there (the page gives the class signatures).
STUB = pathlib.Path(__file__).resolve().parent.parent / "src" / "kovar" / "regulo.pyi"


def _stub_docstrings():
    """{qualified name: docstring} of the stub's classes and their methods."""
    found = {}
    for node in ast.parse(STUB.read_text()).body:
        if isinstance(node, ast.ClassDef):
            found[f"kovar.regulo.{node.name}"] = ast.get_docstring(node)
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and ast.get_docstring(item):
                    found[f"kovar.regulo.{node.name}.{item.name}"] = ast.get_docstring(item)
    return found


REGULO = _stub_docstrings()


def _regulo_docstring(app, what, name, obj, options, lines):
    if REGULO.get(name):
        lines[:] = REGULO[name].splitlines()


def setup(app):
    # Before numpydoc (priority 500), which formats what this puts in.
    app.connect("autodoc-process-docstring", _regulo_docstring, priority=400)
