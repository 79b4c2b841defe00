"""An annulus crossed by struts, rendered two independent ways.

1. coverage: the exact coverage of each pixel by the outer circle, the inner
   circle and every strut, combined per pixel;
2. mesh: a triangle mesh of the outer disc, cut by the inner circle and by
   each strut, deposited onto the image by exact pixel overlap.

Writes one PNG with both images and their difference, and prints the total
area of each route against the analytic area, the largest per-pixel
difference and the time each route took.  Run ``python -m trovel.demo --help``
for the options.
"""
from __future__ import annotations

import argparse
import math
import time
from dataclasses import dataclass

import numpy as np

from . import (Pixels, Strut, circle_coverage, clip_to_circle, clip_to_strut,
               deposit_triangles, strut_coverage)


@dataclass(frozen=True)
class Scene:
    size: int          # odd: the origin is the centre pixel
    outer: float
    inner: float
    struts: int
    width: float

    @property
    def half(self) -> int:
        return (self.size - 1) // 2

    def strut_list(self) -> list[Strut]:
        # Long enough that the strut ends lie beyond the outer rim.
        length = 2.0 * self.outer + 4.0
        return [Strut.across((0.0, 0.0), k * math.pi / self.struts, self.width, length)
                for k in range(self.struts)]


def band_area_in_disc(radius: float, half_width: float) -> float:
    """Area of the band |n . x| < half_width inside a disc about the origin."""
    h = min(half_width, radius)
    return 2.0 * (h * math.sqrt(radius * radius - h * h) + radius * radius * math.asin(h / radius))


def analytic_area(s: Scene) -> float:
    h = 0.5 * s.width
    ring = math.pi * (s.outer ** 2 - s.inner ** 2)
    return ring - s.struts * (band_area_in_disc(s.outer, h) - band_area_in_disc(s.inner, h))


def struts_meet_in_ring(s: Scene) -> bool:
    """Whether two struts overlap outside the inner circle (then the analytic
    area above counts their overlap twice)."""
    if s.struts < 2:
        return False
    return 0.5 * s.width / math.sin(math.pi / (2 * s.struts)) > s.inner


def render_by_coverage(s: Scene) -> np.ndarray:
    pixels = Pixels.grid((s.size, s.size), origin=(-s.half, -s.half))
    image = circle_coverage(pixels, (0.0, 0.0), s.outer)
    image -= circle_coverage(pixels, (0.0, 0.0), s.inner)
    for strut in s.strut_list():
        image *= 1.0 - strut_coverage(pixels, strut)
    return image


def disc_mesh(radius: float, segments: int, rings: int) -> np.ndarray:
    """Triangles of a polar mesh of the disc: a fan at the centre, then rings
    of quads split in two.  Its rim is the regular polygon of `segments`."""
    angles = 2.0 * np.pi * np.arange(segments + 1) / segments
    ring_radii = radius * np.arange(1, rings + 1) / rings
    ring_radii[-1] = radius
    pts = np.stack([ring_radii[:, None] * np.cos(angles), ring_radii[:, None] * np.sin(angles)], -1)
    a, b = pts[:, :-1], pts[:, 1:]
    centre = np.zeros_like(a[0])
    fan = np.stack([centre, a[0], b[0]], 1)
    lower = np.stack([a[:-1], a[1:], b[1:]], 2).reshape(-1, 3, 2)
    upper = np.stack([a[:-1], b[1:], b[:-1]], 2).reshape(-1, 3, 2)
    return np.concatenate([fan, lower, upper])


def render_by_mesh(s: Scene, mesh: np.ndarray) -> np.ndarray:
    cut = clip_to_circle(mesh, (0.0, 0.0), s.inner, keep="outside").triangles
    for strut in s.strut_list():
        cut = clip_to_strut(cut, strut).triangles
    return deposit_triangles(cut, 1.0, 1.0, size=s.size)


def edges_near(s: Scene) -> np.ndarray:
    """How many of the scene's edges pass within reach of each pixel's square."""
    c = np.arange(s.size, dtype=np.float64) - s.half
    x, y = np.meshgrid(c, c)
    r = np.hypot(x, y)
    reach = math.sqrt(0.5) + 1e-3
    count = (np.abs(r - s.outer) < reach).astype(int) + (np.abs(r - s.inner) < reach)
    for k in range(s.struts):
        t = k * math.pi / s.struts
        across = -math.sin(t) * x + math.cos(t) * y
        for side in (-0.5 * s.width, 0.5 * s.width):
            count += np.abs(across - side) < reach
    return count


def chord_error(s: Scene, segments: int, mesh_edge: float) -> float:
    """A bound on the area the mesh route loses or gains by straight chords:
    the outer polygon's deficit plus the inner circle's segments cut off by
    chords no longer than the mesh's edges."""
    outer = math.pi * s.outer ** 2 - 0.5 * segments * s.outer ** 2 * math.sin(2 * math.pi / segments)
    # a chord of length L cuts off about L^3 / (12 r); the rim takes 2 pi r / L of them
    inner = math.pi * mesh_edge ** 2 / 6.0
    return outer + inner


def save_png(path: str, coverage: np.ndarray, mesh: np.ndarray, diff: np.ndarray) -> None:
    from PIL import Image, ImageDraw

    def grey(a):
        return np.repeat((np.clip(a, 0, 1) * 255 + 0.5).astype(np.uint8)[..., None], 3, -1)

    # a square-root scale, so that the small differences along the rims show
    # beside the larger ones where edges meet
    span = float(np.abs(diff).max()) or 1.0
    d = (np.sign(diff) * np.sqrt(np.abs(diff) / span))[..., None]
    white = np.ones(3)
    red, blue = np.array([0.8, 0.1, 0.1]), np.array([0.1, 0.2, 0.8])
    diverging = np.where(d > 0, white + d * (red - white), white - d * (blue - white))
    panels = [grey(coverage), grey(mesh), (diverging * 255 + 0.5).astype(np.uint8)]
    # image rows run along +y: flip so that +y points up on screen
    panels = [p[::-1] for p in panels]
    gap, label = 8, 18
    h, w = coverage.shape
    canvas = Image.new("RGB", (3 * w + 4 * gap, h + label + 2 * gap), "white")
    draw = ImageDraw.Draw(canvas)
    titles = ["coverage route", "mesh route", f"difference (sqrt scale, ±{span:.2g})"]
    for k, (p, t) in enumerate(zip(panels, titles)):
        x = gap + k * (w + gap)
        canvas.paste(Image.fromarray(p), (x, label + gap))
        draw.text((x, 4), t, fill="black")
    canvas.save(path)


def parse_args(argv=None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog="python -m trovel.demo",
        description="Render an annulus crossed by struts by exact pixel coverage and by a "
                    "clipped triangle mesh, compare the two and write a PNG.")
    p.add_argument("--size", type=int, default=513,
                   help="image side in pixels (an even size is raised to the next odd one); default 513")
    p.add_argument("--outer", type=float, default=None, help="outer radius in pixels; default 0.45 * size")
    p.add_argument("--inner", type=float, default=None, help="inner radius in pixels; default 0.25 * size")
    p.add_argument("--struts", type=int, default=3, help="number of struts through the centre; default 3")
    p.add_argument("--width", type=float, default=None, help="strut width in pixels; default 0.04 * size")
    p.add_argument("--output", default="trovel_demo.png", help="PNG to write; default trovel_demo.png")
    return p.parse_args(argv)


def scene_from(args: argparse.Namespace) -> Scene:
    size = args.size | 1
    if size < 9:
        raise SystemExit("--size must be at least 9")
    outer = args.outer if args.outer is not None else 0.45 * size
    inner = args.inner if args.inner is not None else 0.25 * size
    width = args.width if args.width is not None else 0.04 * size
    if not 0 < inner < outer <= 0.5 * (size - 1):
        raise SystemExit("need 0 < inner < outer <= (size - 1) / 2")
    if args.struts < 0 or width <= 0:
        raise SystemExit("need struts >= 0 and width > 0")
    return Scene(size, outer, inner, args.struts, width)


def main(argv=None) -> dict:
    args = parse_args(argv)
    s = scene_from(args)
    if s.size != args.size:
        print(f"size {args.size} raised to {s.size} so that the origin is the centre pixel")

    t0 = time.perf_counter()
    coverage = render_by_coverage(s)
    t_coverage = time.perf_counter() - t0

    segments = max(64, math.ceil(2 * math.pi * s.outer))
    rings = max(4, math.ceil(s.outer / 2.0))
    mesh = disc_mesh(s.outer, segments, rings)
    t0 = time.perf_counter()
    by_mesh = render_by_mesh(s, mesh)
    t_mesh = time.perf_counter() - t0

    diff = coverage - by_mesh
    crowded = edges_near(s) >= 2
    exact = analytic_area(s)
    mesh_edge = max(s.outer / rings, 2 * math.pi * s.outer / segments) * math.sqrt(2)
    result = {
        "analytic": exact, "coverage": float(coverage.sum()), "mesh": float(by_mesh.sum()),
        "chord_error": chord_error(s, segments, mesh_edge),
        "max_diff_single_edge": float(np.abs(diff[~crowded]).max(initial=0.0)),
        "max_diff_where_edges_meet": float(np.abs(diff[crowded]).max(initial=0.0)),
        "output": args.output,
    }
    save_png(args.output, coverage, by_mesh, diff)

    print(f"annulus r = {s.inner:g} .. {s.outer:g} px with {s.struts} struts of width {s.width:g} px "
          f"on {s.size} x {s.size} pixels")
    print(f"  analytic area        {exact:14.4f} px^2"
          + ("   (struts overlap in the ring: counted twice)" if struts_meet_in_ring(s) else ""))
    print(f"  coverage route area  {result['coverage']:14.4f} px^2   {t_coverage * 1e3:8.1f} ms")
    print(f"  mesh route area      {result['mesh']:14.4f} px^2   {t_mesh * 1e3:8.1f} ms "
          f"({len(mesh)} triangles, {segments}-gon rim)")
    print(f"  chord error bound    {result['chord_error']:14.4f} px^2")
    print(f"  largest per-pixel difference: {result['max_diff_single_edge']:.2e} where at most one "
          f"edge crosses a pixel,")
    print(f"  {result['max_diff_where_edges_meet']:.2e} where two edges meet inside a pixel: there "
          f"the coverage route multiplies single-edge fractions, an approximation")
    print(f"  wrote {args.output}")
    return result


if __name__ == "__main__":
    main()
