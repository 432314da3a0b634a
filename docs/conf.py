"""Sphinx configuration of the velkor documentation.

Build: python -m sphinx -W --keep-going -b html docs build/docs
The API pages document the installed ``velkor`` package (``pip install .`` first); the figures are
drawn at build time by figures.py through matplotlib's plot directive.
"""

import matplotlib

matplotlib.use("Agg")  # before the plot directive or pyplot is imported

import velkor  # noqa: E402

project = "velkor"
author = "the velkor developers"
copyright = "the velkor developers"
release = velkor.__version__
version = ".".join(release.split(".")[:2])

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "matplotlib.sphinxext.plot_directive",
]

exclude_patterns = ["_build", "Thumbs.db", ".DS_Store"]
html_theme = "alabaster"
html_theme_options = {
    "description": "Rigid-body kinematics and dynamics for URDF robots",
    "page_width": "1100px",
    "body_max_width": "none",  # the text column takes the page's width (the default caps it at 800px)
}
templates_path = []
html_static_path = ["_static"]  # custom.css, which the theme links after its own

# autodoc: every public class, method and property, whether or not it has a docstring yet.
autodoc_default_options = {"members": True, "undoc-members": True}
autodoc_member_order = "groupwise"  # methods, then properties; alphabetical within
autodoc_typehints = "signature"
autoclass_content = "class"

# plot directive: one PNG per figure, no source links, no extra formats.
plot_formats = [("png", 110)]
plot_html_show_source_link = False
plot_html_show_formats = False
plot_include_source = False
plot_rcparams = {"savefig.bbox": "tight"}
plot_apply_rcparams = True

# The doctest builder (python -m sphinx -b doctest docs build/doctest) runs every >>> example.
# Compare exception messages too (Sphinx ignores them by default).
import doctest  # noqa: E402

doctest_default_flags = doctest.ELLIPSIS | doctest.DONT_ACCEPT_TRUE_FOR_1


def _show_ellipsis(app, what, name, obj, options, signature, return_annotation):
    """Show the ``...`` defaults of the extension's text signatures as written, not as Ellipsis."""
    if signature:
        signature = signature.replace("=Ellipsis", "=...")
    return signature, return_annotation


def _write_scenes(app, exception):
    """The viewer pages the Viewer page embeds (scenes.py), into the HTML output's _scenes/."""
    if exception is None and app.builder.name == "html":
        import sys
        from pathlib import Path

        sys.path.insert(0, str(Path(__file__).parent))
        import scenes

        scenes.write(Path(app.outdir) / "_scenes")


def setup(app):
    app.connect("autodoc-process-signature", _show_ellipsis)
    app.connect("build-finished", _write_scenes)
