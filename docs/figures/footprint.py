# A pixel is the unit square around its grid position; the Jacobian J carries
# it into the edge plane as the parallelogram  centre + J @ (s, t).
import matplotlib.pyplot as plt
import numpy as np

J = np.array([[1.1, 0.45], [0.25, 0.8]])
q = np.array([3.0, 1.5])                                     # footprint centre of pixel (k, i) = (2, 1)
st = np.array([(-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5)])

fig, (a, b) = plt.subplots(1, 2, figsize=(9, 3.6))
for k in range(4):
    for i in range(3):
        a.add_patch(plt.Polygon(st + (k, i), fill=False, lw=0.5, color="0.7"))
        b.add_patch(plt.Polygon((st + (k - 2, i - 1)) @ J.T + q, fill=False, lw=0.5, color="0.7"))
a.add_patch(plt.Polygon(st + (2, 1), alpha=0.35, color="C1"))
a.plot(2, 1, "ko", ms=4)
a.text(2.05, 1.08, "grid position\n(k, i) = (2, 1)", fontsize=8, va="bottom")
a.annotate("", (3, 1), (2, 1), arrowprops=dict(arrowstyle="->", color="C0"))
a.annotate("", (2, 2), (2, 1), arrowprops=dict(arrowstyle="->", color="C3"))
a.set(aspect="equal", xlim=(-0.7, 3.7), ylim=(-0.7, 2.7), title="pixel grid: unit squares")

b.add_patch(plt.Polygon(st @ J.T + q, alpha=0.35, color="C1"))
b.plot(*q, "ko", ms=4)
b.text(q[0] + 0.05, q[1] - 0.1, "footprint centre q", fontsize=8, va="top")
b.annotate("", q + J[:, 0], q, arrowprops=dict(arrowstyle="->", color="C0"))
b.annotate("", q + J[:, 1], q, arrowprops=dict(arrowstyle="->", color="C3"))
b.text(*(q + J[:, 0] + (0.05, -0.05)), "J[:, 0]: one column on (+k)", color="C0", fontsize=8, va="top")
b.text(*(q + J[:, 1] + (-0.1, 0.08)), "J[:, 1]: one row up (+i)", color="C3", fontsize=8, ha="right")
b.set(aspect="equal", title="edge plane: footprints q + J @ (s, t),  |s|, |t| ≤ ½")
b.autoscale_view()
fig.tight_layout()
