# Pixel (row i, column k) has grid position (k, i); rows run along +y.
import matplotlib.pyplot as plt
import numpy as np

ny, nx = 3, 4
image = 10 * np.arange(ny)[:, None] + np.arange(nx)         # image[i, k] = 10 i + k

fig, axes = plt.subplots(1, 3, figsize=(9, 3.2))
ax = axes[0]
for i in range(ny):
    for k in range(nx):
        ax.add_patch(plt.Rectangle((k - 0.5, i - 0.5), 1, 1, fill=False, lw=0.8))
        ax.text(k, i + 0.2, f"[{i}, {k}]", ha="center", va="center", fontsize=8)
        ax.text(k, i - 0.22, f"({k}, {i})", ha="center", va="center", fontsize=7, color="C0")
        ax.plot(k, i, ".", color="C0", ms=3)
ax.annotate("", (nx - 0.3, -0.85), (-0.6, -0.85), arrowprops=dict(arrowstyle="->"))
ax.text(nx / 2 - 0.5, -1.05, "column k: grid x", ha="center", va="top")
ax.annotate("", (-0.85, ny - 0.3), (-0.85, -0.6), arrowprops=dict(arrowstyle="->"))
ax.text(-1.0, ny / 2 - 0.5, "row i: grid y", ha="right", va="center", rotation=90)
ax.set(xlim=(-1.6, nx), ylim=(-1.6, ny), aspect="equal",
       title="element [i, k] and\nits grid position (k, i)")
ax.axis("off")

for ax, origin in zip(axes[1:], ("lower", "upper")):
    ax.imshow(image, origin=origin, cmap="viridis")
    for i in range(ny):
        for k in range(nx):
            ax.text(k, i, f"[{i}, {k}]", ha="center", va="center", fontsize=8, color="w")
    ax.set_xlabel("k")
    ax.set_ylabel("i", rotation=0)
axes[1].set_title('imshow(image, origin="lower"):\nupright')
axes[2].set_title('imshow(image), the default:\nupside down')
fig.tight_layout()
