"""Two apertures rendered exactly, each checked against two other routes.

1. A telescope pupil (disc, central obscuration, vanes) seen through a
   distortion: every pixel has its own footprint, the local linear image of
   its square, given to :func:`trovel.render` through ``Pixels.from_arrays``.
2. A segmented mirror of hexagons on a plain grid.

Each exact image is compared with
- the coverage route: single-shape coverages (circles, struts) combined per
  pixel by products, exact only where one boundary crosses a pixel;
- the mesh route: a triangle mesh of the aperture, cut by circles and struts
  and deposited by exact triangle-pixel overlap (in grid coordinates, through
  the inverse distortion for the pupil), exact up to its chords.

Prints the areas, the largest per-pixel difference with each route and where
it arises, the time of each route, and writes one PNG with the exact images
and the differences.  Run ``python -m trovel.demo --help`` for the options.
"""
from __future__ import annotations

import argparse
import math
import time
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import (Pixels, Strut, circle_coverage, clip_to_circle, clip_to_strut, deposit_triangles,
               hexagonal_segments, pupil, render, strut_coverage)
from ._checks import FloatArray


@dataclass(frozen=True)
class Scene:
    size: int          # odd: grid position (0, 0) is the centre pixel
    outer: float       # pupil radius, plane units
    inner: float       # obscuration radius
    struts: int        # vanes from the centre out
    width: float       # vane width
    distortion: float  # radial distortion coefficient, per pixel^2
    rings: int         # rings of hexagons around the central one

    @property
    def half(self) -> int:
        return (self.size - 1) // 2

    def vane_angles(self) -> list[float]:
        return [2.0 * math.pi * k / self.struts for k in range(self.struts)]

    def vanes(self) -> list[Strut]:
        """The pupil's vanes as struts: from half a width behind the centre
        to a width beyond the rim, as trovel.pupil makes them."""
        start, end = -0.5 * self.width, self.outer + self.width
        mid = 0.5 * (start + end)
        return [Strut.across((mid * math.cos(a), mid * math.sin(a)), a, self.width, end - start)
                for a in self.vane_angles()]

    @property
    def hex_flat(self) -> float:
        # 2 rings + 1 segments and their gaps span about 0.85 of the image
        return 0.85 * self.size / ((2 * self.rings + 1) * 1.06)


# The distortion: grid position g (pixel units about the centre pixel) to the
# plane, P = A (g (1 + k |g|^2)): a radial term and a shear.
SHEAR = np.array([[1.0, 0.12], [0.0, 0.95]])


def distort(g: FloatArray, k: float) -> tuple[FloatArray, FloatArray]:
    """Footprint centres and Jacobians of the grid positions g (..., 2)."""
    r2 = np.sum(g * g, axis=-1)[..., None]
    centres = (g * (1.0 + k * r2)) @ SHEAR.T
    eye = np.eye(2)
    radial = (1.0 + k * r2)[..., None] * eye + 2.0 * k * g[..., :, None] * g[..., None, :]
    return centres, SHEAR @ radial


def undistort(p: FloatArray, k: float) -> FloatArray:
    """Grid positions of plane points: invert the shear, then solve
    rho (1 + k rho^2) = |q| for rho by Newton's method."""
    q = p @ np.linalg.inv(SHEAR).T
    s = np.linalg.norm(q, axis=-1)
    rho = s.copy()
    for _ in range(30):
        rho -= (rho * (1.0 + k * rho * rho) - s) / (1.0 + 3.0 * k * rho * rho)
    scale = np.divide(rho, s, out=np.ones_like(s), where=s > 0)
    points: FloatArray = q * scale[..., None]
    return points


def band_area_in_disc(radius: float, half_width: float) -> float:
    """Area of the band |n . x| < half_width inside a disc about the origin."""
    h = min(half_width, radius)
    return 2.0 * (h * math.sqrt(radius * radius - h * h) + radius * radius * math.asin(h / radius))


def pupil_area(s: Scene) -> float:
    """Ring less the vanes, each half a band; exact when the vanes meet only
    inside the obscuration."""
    h = 0.5 * s.width
    ring = math.pi * (s.outer ** 2 - s.inner ** 2)
    return ring - 0.5 * s.struts * (band_area_in_disc(s.outer, h) - band_area_in_disc(s.inner, h))


def vanes_meet_in_ring(s: Scene) -> bool:
    if s.struts < 2:
        return False
    return 0.5 * s.width / math.sin(math.pi / s.struts) > s.inner


def grid_positions(s: Scene) -> FloatArray:
    c = np.arange(s.size, dtype=np.float64) - s.half
    x, y = np.meshgrid(c, c)
    return np.stack([x, y], axis=-1)


def pupil_routes(s: Scene) -> dict[str, Any]:
    g = grid_positions(s)
    centres, jac = distort(g, s.distortion)
    pixels = Pixels.from_arrays(g, centres, jac)
    det = pixels.areas()
    shape = pupil(2 * s.outer, obscuration=s.inner / s.outer, struts=s.struts,
                  strut_width=s.width)
    t = [time.perf_counter()]
    exact = render(shape, pixels)
    t.append(time.perf_counter())
    coverage = circle_coverage(pixels, (0.0, 0.0), s.outer)
    coverage -= circle_coverage(pixels, (0.0, 0.0), s.inner)
    for vane in s.vanes():
        coverage *= 1.0 - strut_coverage(pixels, vane)
    t.append(time.perf_counter())
    segments = max(64, math.ceil(4 * math.pi * s.outer))
    rings = max(4, math.ceil(s.outer))
    cut = clip_to_circle(disc_mesh(s.outer, segments, rings), (0.0, 0.0), s.inner,
                         keep="outside").triangles
    for vane in s.vanes():
        cut = clip_to_strut(cut, vane).triangles
    mesh_plane_area = float(np.sum(np.abs(triangle_areas(cut))))
    mesh = deposit_triangles(undistort(cut, s.distortion), 1.0, 1.0, size=s.size)
    t.append(time.perf_counter())
    edge = max(s.outer / rings, 2 * math.pi * s.outer / segments)
    return {"exact": exact, "coverage": coverage, "mesh": mesh, "det": det,
            "times": np.diff(t), "mesh_area": mesh_plane_area,
            "chord_error": chord_error(s.outer, segments, edge * math.sqrt(2)),
            "triangles": len(cut), "centres": centres}


def hexagon_routes(s: Scene) -> dict[str, Any]:
    flat, gap = s.hex_flat, 0.06 * s.hex_flat
    shape = hexagonal_segments(s.rings, flat, gap)
    pixels = Pixels.grid((s.size, s.size), origin=(-s.half, -s.half))
    t = [time.perf_counter()]
    exact = render(shape, pixels)
    t.append(time.perf_counter())
    centres = hexagon_centres(s.rings, flat + gap)
    coverage = np.zeros((s.size, s.size))
    for cx, cy in centres:
        piece = np.ones((s.size, s.size))
        for a in (0.0, math.pi / 3, 2 * math.pi / 3):   # the three strips across the flats
            piece *= strut_coverage(pixels, Strut.across((cx, cy), a, flat, 3.0 * flat))
        coverage += piece
    t.append(time.perf_counter())
    corners = flat / math.sqrt(3.0) * np.array(
        [(math.cos(k * math.pi / 3), math.sin(k * math.pi / 3)) for k in range(7)])
    tris = np.array([[(cx, cy), (cx + corners[k, 0], cy + corners[k, 1]),
                      (cx + corners[k + 1, 0], cy + corners[k + 1, 1])]
                     for cx, cy in centres for k in range(6)])
    mesh = deposit_triangles(tris, 1.0, 1.0, size=s.size)
    t.append(time.perf_counter())
    return {"exact": exact, "coverage": coverage, "mesh": mesh, "times": np.diff(t),
            "area": len(centres) * math.sqrt(3) / 2 * flat ** 2, "count": len(centres)}


def hexagon_centres(rings: int, pitch: float) -> list[tuple[float, float]]:
    e1 = (pitch * math.cos(math.pi / 6), pitch * math.sin(math.pi / 6))
    return [(q * e1[0], q * e1[1] + r * pitch)
            for q in range(-rings, rings + 1)
            for r in range(max(-rings, -q - rings), min(rings, -q + rings) + 1)]


def triangle_areas(t: FloatArray) -> FloatArray:
    a, b, c = t[:, 0], t[:, 1], t[:, 2]
    areas: FloatArray = 0.5 * ((b[:, 0] - a[:, 0]) * (c[:, 1] - a[:, 1]) - (b[:, 1] - a[:, 1]) * (c[:, 0] - a[:, 0]))
    return areas


def disc_mesh(radius: float, segments: int, rings: int) -> FloatArray:
    """Triangles of a polar mesh of the disc: a fan at the centre, then rings
    of quads split in two.  Its rim is the regular polygon of `segments`."""
    angles = 2.0 * np.pi * np.arange(segments + 1) / segments
    ring_radii = radius * np.arange(1, rings + 1) / rings
    pts = np.stack([ring_radii[:, None] * np.cos(angles), ring_radii[:, None] * np.sin(angles)], -1)
    a, b = pts[:, :-1], pts[:, 1:]
    fan = np.stack([np.zeros_like(a[0]), a[0], b[0]], 1)
    lower = np.stack([a[:-1], a[1:], b[1:]], 2).reshape(-1, 3, 2)
    upper = np.stack([a[:-1], b[1:], b[:-1]], 2).reshape(-1, 3, 2)
    return np.concatenate([fan, lower, upper])


def chord_error(radius: float, segments: int, mesh_edge: float) -> float:
    """A bound on the area the mesh loses to straight chords: the outer
    polygon's deficit plus the inner circle's segments cut off by chords no
    longer than the mesh's edges (about L^3 / (12 r) each, 2 pi r / L of them)."""
    outer = math.pi * radius ** 2 - 0.5 * segments * radius ** 2 * math.sin(2 * math.pi / segments)
    return outer + math.pi * mesh_edge ** 2 / 6.0


def largest(diff: FloatArray, s: Scene) -> tuple[float, tuple[int, int]]:
    """The largest |difference| and its pixel as grid position (x, y)."""
    i, k = np.unravel_index(int(np.argmax(np.abs(diff))), diff.shape)
    return float(abs(diff[i, k])), (int(k) - s.half, int(i) - s.half)


def edges_near(s: Scene, centres: FloatArray, reach: float) -> npt.NDArray[np.int_]:
    """How many of the pupil's boundaries pass within `reach` of each footprint centre."""
    x, y = centres[..., 0], centres[..., 1]
    r = np.hypot(x, y)
    count: npt.NDArray[np.int_] = (np.abs(r - s.outer) < reach).astype(int) + (np.abs(r - s.inner) < reach)
    for a in s.vane_angles():
        along, across = math.cos(a) * x + math.sin(a) * y, -math.sin(a) * x + math.cos(a) * y
        on = (along > -reach) & (along < s.outer + reach)
        count += on & (np.abs(np.abs(across) - 0.5 * s.width) < reach)
    return count


def save_png(path: str, rows: list[tuple[str, FloatArray, FloatArray, FloatArray]]) -> None:
    from PIL import Image, ImageDraw

    def grey(a: FloatArray) -> npt.NDArray[np.uint8]:
        return np.repeat((np.clip(a, 0, 1) * 255 + 0.5).astype(np.uint8)[..., None], 3, -1)

    def diverging(diff: FloatArray) -> tuple[npt.NDArray[np.uint8], float]:
        # square-root scale, so that rim-sized differences show beside larger ones
        span = float(np.abs(diff).max()) or 1.0
        d = (np.sign(diff) * np.sqrt(np.abs(diff) / span))[..., None]
        white, red, blue = np.ones(3), np.array([0.8, 0.1, 0.1]), np.array([0.1, 0.2, 0.8])
        rgb = np.where(d > 0, white + d * (red - white), white - d * (blue - white))
        return (rgb * 255 + 0.5).astype(np.uint8), span

    gap, label = 8, 18
    h, w = rows[0][1].shape
    canvas = Image.new("RGB", (3 * w + 4 * gap, len(rows) * (h + label + gap) + gap), "white")
    draw = ImageDraw.Draw(canvas)
    for r, (name, exact, d_cov, d_mesh) in enumerate(rows):
        (p_cov, s_cov), (p_mesh, s_mesh) = diverging(d_cov), diverging(d_mesh)
        panels = [(grey(exact), f"{name}: exact"),
                  (p_cov, f"exact - coverage (±{s_cov:.1g})"),
                  (p_mesh, f"exact - mesh (±{s_mesh:.1g})")]
        y = gap + r * (h + label + gap)
        for k, (p, title) in enumerate(panels):
            x = gap + k * (w + gap)
            canvas.paste(Image.fromarray(p[::-1]), (x, y + label))   # +y up on screen
            draw.text((x, y + 2), title, fill="black")
    canvas.save(path)


def parse_args(argv: Sequence[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog="python -m trovel.demo",
        description="Render a distorted pupil with vanes and a hexagonal segmented mirror "
                    "exactly, compare with the coverage and mesh routes, write a PNG.")
    p.add_argument("--size", type=int, default=257,
                   help="image side in pixels (an even size is raised to the next odd one); default 257")
    p.add_argument("--outer", type=float, default=None, help="pupil radius in pixels; default 0.4 * size")
    p.add_argument("--inner", type=float, default=None,
                   help="obscuration radius in pixels; default 0.3 * outer")
    p.add_argument("--struts", type=int, default=4, help="number of vanes; default 4")
    p.add_argument("--width", type=float, default=None, help="vane width in pixels; default 0.02 * size")
    p.add_argument("--distortion", type=float, default=None,
                   help="radial distortion per pixel^2; default 0.1 / size^2")
    p.add_argument("--rings", type=int, default=3, help="rings of hexagonal segments; default 3")
    p.add_argument("--output", default="trovel_demo.png", help="PNG to write; default trovel_demo.png")
    return p.parse_args(argv)


def scene_from(args: argparse.Namespace) -> Scene:
    size = args.size | 1
    if size < 9:
        raise SystemExit("--size must be at least 9")
    outer = args.outer if args.outer is not None else 0.4 * size
    inner = args.inner if args.inner is not None else 0.3 * outer
    width = args.width if args.width is not None else 0.02 * size
    k = args.distortion if args.distortion is not None else 0.1 / size ** 2
    if not 0 < inner < outer <= 0.45 * (size - 1):
        raise SystemExit("need 0 < inner < outer <= 0.45 (size - 1)")
    if args.struts < 0 or width <= 0 or args.rings < 0 or not 0 <= k * size ** 2 <= 1:
        raise SystemExit("need struts >= 0, width > 0, rings >= 0, 0 <= distortion <= 1 / size^2")
    return Scene(size, outer, inner, args.struts, width, k, args.rings)


def main(argv: Sequence[str] | None = None) -> dict[str, Any]:
    args = parse_args(argv)
    s = scene_from(args)
    if s.size != args.size:
        print(f"size {args.size} raised to {s.size} so that the origin is the centre pixel")
    p, hx = pupil_routes(s), hexagon_routes(s)
    analytic = pupil_area(s)
    d_cov, d_mesh = p["exact"] - p["coverage"], p["exact"] - p["mesh"]
    crowded = edges_near(s, p["centres"], reach=2.0) >= 2
    result = {
        "analytic": analytic,
        "exact": float(np.sum(p["exact"] * p["det"])),
        "coverage": float(np.sum(p["coverage"] * p["det"])),
        "mesh": p["mesh_area"], "chord_error": p["chord_error"],
        "max_diff_coverage": largest(d_cov, s), "max_diff_mesh": largest(d_mesh, s),
        "max_diff_single_edge": float(np.abs(d_cov[~crowded]).max(initial=0.0)),
        "max_diff_where_edges_meet": float(np.abs(d_cov[crowded]).max(initial=0.0)),
        "hex_analytic": hx["area"], "hex_exact": float(hx["exact"].sum()),
        "hex_max_diff_coverage": largest(hx["exact"] - hx["coverage"], s),
        "hex_max_diff_mesh": largest(hx["exact"] - hx["mesh"], s),
        "output": args.output,
    }
    save_png(args.output, [("pupil", p["exact"], d_cov, d_mesh),
                           ("segments", hx["exact"], hx["exact"] - hx["coverage"],
                            hx["exact"] - hx["mesh"])])

    def ms(t: float) -> str:
        return f"{t * 1e3:8.1f} ms"

    def where(r: tuple[float, tuple[int, int]]) -> str:
        return f"{r[0]:.2e} at pixel {r[1]}"

    print(f"pupil r = {s.inner:g} .. {s.outer:g} with {s.struts} vanes of width {s.width:g}, "
          f"distortion {s.distortion:.3g}/px^2 and a shear, on {s.size} x {s.size} pixels")
    print(f"  analytic area {analytic:14.6f}"
          + ("   (vanes overlap in the ring: not exact)" if vanes_meet_in_ring(s) else ""))
    print(f"  exact route   {result['exact']:14.6f}   {ms(p['times'][0])}"
          + ("   (sum of fraction x footprint area: linear footprints of a curved map "
             "overlap a little)" if s.distortion else ""))
    print(f"  coverage route{result['coverage']:14.6f}   {ms(p['times'][1])}")
    print(f"  mesh route    {result['mesh']:14.6f}   {ms(p['times'][2])}  ({p['triangles']} "
          f"triangles; chord error bound {p['chord_error']:.4f})")
    print(f"  largest |exact - coverage|: {where(result['max_diff_coverage'])}; "
          f"{result['max_diff_single_edge']:.2e} where one boundary crosses a pixel (the coverage "
          f"route takes rims straight), {result['max_diff_where_edges_meet']:.2e} where two meet "
          f"(it multiplies fractions)")
    print(f"  largest |exact - mesh|:     {where(result['max_diff_mesh'])} (mesh chords, and "
          f"the distortion taken linear across each footprint by the exact route)")
    print(f"{hx['count']} hexagonal segments, flat to flat {s.hex_flat:.3g} px, on a plain grid")
    print(f"  analytic area {hx['area']:14.6f}")
    print(f"  exact route   {result['hex_exact']:14.6f}   {ms(hx['times'][0])}")
    print(f"  coverage route{float(hx['coverage'].sum()):14.6f}   {ms(hx['times'][1])}")
    print(f"  mesh route    {float(hx['mesh'].sum()):14.6f}   {ms(hx['times'][2])}")
    print(f"  largest |exact - coverage|: {where(result['hex_max_diff_coverage'])} "
          f"(a product of three strips is exact only where one flat crosses a pixel)")
    print(f"  largest |exact - mesh|:     {where(result['hex_max_diff_mesh'])} "
          f"(both exact for straight edges: rounding only)")
    print(f"  wrote {args.output}")
    return result


if __name__ == "__main__":
    main()
