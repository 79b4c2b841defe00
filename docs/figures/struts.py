# One strut, two ends: strut_coverage stops at the disc of diameter `length`
# (pixel by pixel, by the footprint centre); clip_to_strut cuts at end lines.
import math

import matplotlib.pyplot as plt
import numpy as np

import trovel

strut = trovel.Strut.across((0.0, 0.0), angle=0.5, width=1.0, length=6.0)
d = np.array([math.cos(0.5), math.sin(0.5)])
nrm = np.array([-d[1], d[0]])

fig, (a, b) = plt.subplots(1, 2, figsize=(9.5, 4.2), sharey=True)
n, s = 20, 0.4
pixels = trovel.Pixels.grid((n, n), origin=(-(n - 1) / 2 * s,) * 2, scale=s)
cov = trovel.strut_coverage(pixels, strut)
half = n / 2 * s
a.imshow(cov, origin="lower", extent=(-half, half, -half, half), cmap="Greys", vmin=0, vmax=1.3)
a.add_patch(plt.Circle((0, 0), strut.length / 2, fill=False, ls="--", color="C3"))
a.text(-3.9, 3.3, "disc of diameter length:\nin or out by the pixel centre", color="C3", fontsize=8)
a.set_title("strut_coverage:\nends at a disc, by pixel centre")

xs = np.arange(-4.0, 4.01, 0.8)                   # a square mesh, two triangles per cell
X, Y = np.meshgrid(xs, xs)
p00, p10 = np.stack([X[:-1, :-1], Y[:-1, :-1]], -1), np.stack([X[:-1, 1:], Y[:-1, 1:]], -1)
p11, p01 = np.stack([X[1:, 1:], Y[1:, 1:]], -1), np.stack([X[1:, :-1], Y[1:, :-1]], -1)
tri = np.concatenate([np.stack([p00, p10, p11], -2).reshape(-1, 3, 2),
                      np.stack([p00, p11, p01], -2).reshape(-1, 3, 2)])
cut = trovel.clip_to_strut(tri, strut)
for t in cut.triangles:
    b.add_patch(plt.Polygon(t, fc="C0", ec="w", lw=0.4, alpha=0.6))
b.set_title("clip_to_strut:\nends at the end lines")

for ax in (a, b):
    for p in (strut.point1, strut.point2):
        t = np.array([-8.0, 8.0])
        ax.plot(p[0] + t * d[0], p[1] + t * d[1], color="C1", lw=0.8)
    for e in (-1, 1):
        c = e * strut.length / 2 * d
        ax.plot(*np.transpose([c - 2.5 * nrm, c + 2.5 * nrm]), color="C2", lw=0.8, ls=":")
    ax.set(xlim=(-4, 4), ylim=(-4, 4), aspect="equal")
b.text(-3.9, -3.8, "edge lines (orange), end lines (green, dotted)", fontsize=8)
fig.tight_layout()
