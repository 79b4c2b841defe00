"""Sphinx configuration of the trovel documentation site (``make docs``)."""
from __future__ import annotations

import inspect
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import trovel  # noqa: E402

HERE = Path(__file__).resolve().parent
GENERATED = HERE / "_generated"
GENERATED.mkdir(exist_ok=True)
sys.path.insert(0, str(HERE / "figures"))
sys.path.insert(0, str(HERE))

project = "trovel"
author = "The trovel developers"
copyright = "the trovel developers"
release = version = trovel.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.mathjax",
    "numpydoc",
    "matplotlib.sphinxext.plot_directive",
    "sphinx_gallery.gen_gallery",
]

# --- Figures whose text collides ----------------------------------------------
# Every figure the build writes (the conventions' figures through the plot
# directive, the gallery's through its scraper) is checked as it is saved: text
# on text, into another panel, under an arrow or off the edge is a warning, and
# -W makes it fail the build.

from matplotlib.figure import Figure  # noqa: E402
from sphinx.util import logging as sphinx_logging  # noqa: E402

from figure_text import collisions  # noqa: E402

_figure_log = sphinx_logging.getLogger("trovel.figures")
_savefig = Figure.savefig


def _checked_savefig(self, fname, *args, **kwargs):
    edges = kwargs.get("bbox_inches") != "tight"     # a tight box takes in what sticks out
    for found in collisions(self, check_edges=edges):
        _figure_log.warning(f"figure {fname}: {found}")
    return _savefig(self, fname, *args, **kwargs)


Figure.savefig = _checked_savefig

exclude_patterns = ["_build", "snippets", "figures", "performance_table.rst",
                    "telescopes_table.rst", "_generated/*.rst", "examples"]
html_theme = "pydata_sphinx_theme"
html_title = f"trovel {release}"
html_theme_options = {"navigation_with_keys": False, "show_toc_level": 2}
html_static_path: list[str] = []
html_sidebars = {"**": []}          # pages are short: no left column

# The checked layer's signatures carry numpy.typing aliases that expand to
# long unions; the numpydoc sections say what each argument takes.
autodoc_typehints = "none"
autodoc_member_order = "bysource"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False

plot_include_source = False
plot_html_show_source_link = False
plot_html_show_formats = False
plot_formats = [("png", 100)]
plot_rcparams = {"figure.dpi": 100, "font.size": 9}


sphinx_gallery_conf = {
    "examples_dirs": "examples",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "ignore_pattern": r"__init__\.py",
    "within_subsection_order": "FileNameSortKey",
    "run_stale_examples": True,      # every build runs every example
    "download_all_examples": False,
    "remove_config_comments": True,
    "reset_modules": ("matplotlib",),
    "min_reported_time": 10**6,
    "write_computation_times": False,
}


# --- Pages written at build time ----------------------------------------------

def _write(name: str, text: str) -> None:
    path = GENERATED / name
    if not path.exists() or path.read_text() != text:
        path.write_text(text)


def _bench_figure() -> str:
    """The benchmark's plot when it has been written, a placeholder otherwise."""
    real = HERE / "img" / "bench_scaling.png"
    if real.exists():
        return (".. figure:: /img/bench_scaling.png\n"
                "   :alt: Time per pixel against grid size for trovel and its peers.\n")
    placeholder = GENERATED / "bench_scaling_placeholder.png"
    if not placeholder.exists():
        import matplotlib.pyplot as plt
        fig, ax = plt.subplots(figsize=(5, 1.2))
        ax.axis("off")
        ax.text(0.5, 0.5, "Run `make bench` to draw the scaling plot here.",
                ha="center", va="center")
        fig.savefig(placeholder, dpi=100)
        plt.close(fig)
    return (".. figure:: /_generated/bench_scaling_placeholder.png\n"
            "   :alt: Placeholder for the benchmark's scaling plot.\n\n"
            "   The scaling plot appears here once ``make bench`` has written\n"
            "   ``docs/img/bench_scaling.png``.\n")


# Public names by capability, for the API reference; anything in __all__ that
# no group names lands in the last group, so a new name is never left out.
API_GROUPS = [
    ("Pixels and shapes", ["Pixels", "Strut", "Shape", "Disc", "Ellipse", "Polygon",
                           "Rectangle", "pupil", "hexagonal_segments", "annulus",
                           "elliptical_annulus", "rectangular_annulus", "stadium",
                           "from_region"]),
    ("Exact rendering of apertures", ["render"]),
    ("Photometry of many sources", ["photometry", "Photometry"]),
    ("Resampling by exact overlap", ["resample", "Resampled"]),
    ("The sky as a plane", ["sky_to_plane", "reproject"]),
    ("Coverage of pixel footprints", ["edge_coverage", "circle_coverage", "strut_coverage"]),
    ("Triangles and images", ["overlap_area", "deposit_triangles", "Deposit", "triangle_areas",
                              "triangulate"]),
    ("Cutting meshes", ["clip_to_circle", "clip_to_strut", "ClipResult"]),
    ("Masks", ["polygon_mask"]),
]
# Submodules with a section of their own, after the groups: (title, module).
API_MODULES = [("Telescope pupils: ``trovel.telescopes``", "trovel.telescopes")]


def _api() -> str:
    public = list(getattr(trovel, "__all__", []))
    placed = {n for _, names in API_GROUPS for n in names}
    groups = API_GROUPS + [("Other", [n for n in public if n not in placed])]
    out = []
    for title, names in groups:
        names = [n for n in names if n in public]
        if not names:
            continue
        out += [title, "-" * len(title), ""]
        for n in names:
            obj = getattr(trovel, n)
            if inspect.isclass(obj) and hasattr(obj, "_fields"):
                # a named tuple: its fields are its signature
                out += [f".. autoclass:: trovel.{n}({', '.join(obj._fields)})", ""]
            elif inspect.isclass(obj):
                out += [f".. autoclass:: trovel.{n}", "   :members:", ""]
            else:
                out += [f".. autofunction:: trovel.{n}", ""]
    for title, module in API_MODULES:
        out += [title, "-" * len(title), "", f".. automodule:: {module}", "   :members:", ""]
    return "\n".join(out)


_write("bench_figure.rst", _bench_figure())
_write("api.rst", _api())
