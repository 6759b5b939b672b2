"""Sphinx configuration of the pyvantor documentation: pages in Markdown (MyST), the API reference
from the NumPy-style docstrings (autosummary + numpydoc), the gallery from the example scripts
(sphinx-gallery runs each one and shows its pictures and output)."""

import os
import shutil
import sys
from importlib.metadata import version as _version
from pathlib import Path

# Examples and doctests use single-threaded LAPACK, as the benchmarks do: the build runs on 2 cores.
for var in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(var, "1")
os.environ.setdefault("MPLBACKEND", "Agg")

DOCS = Path(__file__).resolve().parent
sys.path.insert(0, str(DOCS))      # gallery_argv

MATHJAX = Path("/usr/share/javascript/mathjax")
_MATHJAX_PARTS = ("MathJax.js", "config/TeX-AMS_SVG.js", "extensions", "jax/element", "jax/input/TeX",
                  "jax/output/SVG/jax.js", "jax/output/SVG/config.js", "jax/output/SVG/autoload",
                  "jax/output/SVG/fonts/TeX")


def _mathjax_static() -> Path:
    """A static directory holding the parts of MathJax the pages load (about 2 MB of 41)."""
    if not (MATHJAX / "MathJax.js").is_file():
        raise RuntimeError(f"MathJax is missing at {MATHJAX}: install Debian's libjs-mathjax "
                           "(scripts/setup.sh does)")
    static = DOCS / "_build" / "mathjax-static"
    for part in _MATHJAX_PARTS:
        source, target = MATHJAX / part, static / "mathjax" / part
        if target.exists():
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        if source.is_dir():
            shutil.copytree(source, target)
        else:
            shutil.copyfile(source, target)
    return static


project = "pyvantor"
author = "the pyvantor developers"
copyright = "2026, the pyvantor developers"
release = _version("pyvantor")
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "numpydoc",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
templates_path = ["_templates"]
exclude_patterns = ["_build", "_templates", "benchmarks/*.txt", "auto_examples/*.ipynb", "auto_examples/*.py",
                    "auto_examples/*.zip", "auto_examples/*.json", "auto_examples/*.md5"]
default_role = "py:obj"
myst_enable_extensions = ["dollarmath", "amsmath"]
myst_heading_anchors = 3

autosummary_generate = True
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

html_theme = "pydata_sphinx_theme"
html_title = f"pyvantor {release}"
html_theme_options = {
    "navigation_with_keys": False,
    "show_toc_level": 2,
    "secondary_sidebar_items": ["page-toc"],
}
html_static_path: list[str] = [str(_mathjax_static())]
# MathJax 2 from Debian's libjs-mathjax, served with the site (the site must render offline): TeX
# input, SVG output with the TeX fonts.
mathjax_path = "mathjax/MathJax.js?config=TeX-AMS_SVG"
# MyST marks its pages' text as ignored and the math it parsed with the class "math".
myst_update_mathjax = False
mathjax2_config = {"SVG": {"font": "TeX"}, "showMathMenu": False,
                   "tex2jax": {"ignoreClass": "tex2jax_ignore|mathjax_ignore", "processClass": "math"}}
html_last_updated_fmt = None

sphinx_gallery_conf = {
    "examples_dirs": str(DOCS.parent / "examples"),
    "gallery_dirs": "auto_examples",
    "filename_pattern": r".*\.py$",
    "reset_argv": "gallery_argv.example_argv",
    "abort_on_example_error": True,
    "download_all_examples": False,
    "show_memory": False,
    "capture_repr": (),
    "matplotlib_animations": False,
    "within_subsection_order": "FileNameSortKey",
    "min_reported_time": 1,
}
