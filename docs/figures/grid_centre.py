# Where a grid lands depends on its origin: the footprint centre of pixel
# [0, 0].  Centring n pixels on a point needs origin = point - (n - 1)/2 * scale.
import matplotlib.pyplot as plt

n, s = 4, 0.5
fig, axes = plt.subplots(1, 2, figsize=(8, 3.8), sharey=True)
for ax, x0, verdict in ((axes[0], -n / 2 * s, "origin = -n/2 · scale:\nhalf a pixel off"),
                        (axes[1], -(n - 1) / 2 * s, "origin = -(n-1)/2 · scale:\ncentred")):
    for i in range(n):
        for k in range(n):
            cx, cy = x0 + s * k, x0 + s * i                    # origin + M @ (k, i), M = s I
            ax.add_patch(plt.Rectangle((cx - s / 2, cy - s / 2), s, s, fill=False, lw=0.7))
            ax.plot(cx, cy, ".", color="C0", ms=4)
    ax.add_patch(plt.Circle((0, 0), 0.9, fill=False, color="C3", lw=1.2))
    ax.plot(0, 0, "+", color="C3", ms=10)
    ax.plot(x0, x0, "o", mfc="none", color="C1", ms=9)
    ax.annotate("pixel [0, 0]: its footprint\ncentre is `origin`", (x0, x0), (x0 + 0.35, x0 - 0.45),
                fontsize=8, arrowprops=dict(arrowstyle="->", color="C1"))
    ax.set(aspect="equal", xlim=(-1.5, 1.5), ylim=(-1.6, 1.3), title=verdict)
    ax.axhline(0, color="0.8", lw=0.5, zorder=0)
    ax.axvline(0, color="0.8", lw=0.5, zorder=0)
fig.tight_layout()
