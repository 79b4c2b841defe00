"""Where a matplotlib figure's text collides: text on text, text that runs into
another panel, an annotation's arrow through other text, text cut off at the
figure's edge.  `make docs` runs this on every figure it saves (see conf.py);
tools/grid_conventions.py runs it on the README's figure.

Only what is drawn counts: tick labels of ticks outside the view are left out,
and an annotation is its text, its arrow tested on its own.
"""
from __future__ import annotations

from matplotlib.figure import Figure
from matplotlib.path import Path
from matplotlib.text import Annotation, Text
from matplotlib.transforms import Bbox

TOLERANCE = 0.5     # pixels two boxes may share before they count as touching


def _drawn_texts(fig: Figure) -> list[Text]:
    hidden: set[int] = set()
    for ax in fig.axes:
        # Which ticks are drawn only matplotlib's own (private) tick update
        # knows; ax.axis("off") leaves every tick label visible but undrawn.
        for axis in ax._axis_map.values():
            drawn = {id(t) for t in axis._update_ticks()} if ax.axison else set()
            for tick in axis.majorTicks + axis.minorTicks:
                if id(tick) not in drawn:
                    hidden.update((id(tick.label1), id(tick.label2)))
            if not ax.axison:
                hidden.add(id(axis.label))
    return [t for t in fig.findobj(Text)
            if id(t) not in hidden and t.get_visible() and t.get_text().strip()
            and (t.axes is None or t.axes.get_visible())]


def _overlap(a: Bbox, b: Bbox) -> bool:
    w = min(a.x1, b.x1) - max(a.x0, b.x0)
    h = min(a.y1, b.y1) - max(a.y0, b.y0)
    return w > TOLERANCE and h > TOLERANCE


def _name(t: Text) -> str:
    return repr(t.get_text().replace("\n", " ")[:40])


def collisions(fig: Figure, *, check_edges: bool = True) -> list[str]:
    """Each collision of `fig`'s text, in words; empty when there is none."""
    fig.canvas.draw()
    renderer = fig.canvas.get_renderer()
    texts = _drawn_texts(fig)
    boxes = [Text.get_window_extent(t, renderer) for t in texts]
    found = []
    for n, (t, box) in enumerate(zip(texts, boxes)):
        for u, other in zip(texts[n + 1:], boxes[n + 1:]):
            if _overlap(box, other):
                found.append(f"{_name(t)} overlaps {_name(u)}")
        for ax in fig.axes:
            # another panel (an inset inside the text's own panel is its business)
            own = t.axes
            if own is None or ax is own or not ax.get_visible():
                continue
            inside_own = own.bbox.containsx(ax.bbox.x0) and own.bbox.containsx(ax.bbox.x1) \
                and own.bbox.containsy(ax.bbox.y0) and own.bbox.containsy(ax.bbox.y1)
            if not inside_own and _overlap(box, ax.bbox):
                found.append(f"{_name(t)} runs into another panel")
        if check_edges and not (box.x0 >= fig.bbox.x0 - TOLERANCE and box.x1 <= fig.bbox.x1 + TOLERANCE
                                and box.y0 >= fig.bbox.y0 - TOLERANCE
                                and box.y1 <= fig.bbox.y1 + TOLERANCE):
            found.append(f"{_name(t)} is cut off at the figure's edge")
    for ann in fig.findobj(Annotation):
        if ann.arrow_patch is None or not ann.get_visible():
            continue
        # the arrow's shaft and head as polylines in display coordinates
        parts = [Path(p) for p in ann.arrow_patch.get_path().to_polygons(closed_only=False)]
        for t, box in zip(texts, boxes):
            if t is not ann and any(p.intersects_bbox(box, filled=False) for p in parts):
                found.append(f"the arrow of {_name(ann)} crosses {_name(t)}")
    return found
