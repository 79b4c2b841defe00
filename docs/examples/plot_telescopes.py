"""
Real telescope pupils
=====================

Twelve telescopes' pupils from :mod:`trovel.telescopes`, each built from its
published figures (segments, gaps, obscurations and spiders) and rendered
exactly. Each rendered total, the fractions weighted by the pixels' areas,
is the pupil's exact area (:func:`trovel.telescopes.collecting_area`) to
rounding; the :doc:`performance page </performance>` sets both beside
hcipy's supersampled totals of the same telescopes.
"""
import matplotlib.pyplot as plt
import numpy as np

import trovel
from trovel import telescopes

# %%
# Each pupil on a 400 x 400 grid a little wider than its outline.
presets = [("ELT", telescopes.elt, 40.5), ("TMT", telescopes.tmt, 30.5),
           ("GMT", telescopes.gmt, 25.8), ("LUVOIR-A", telescopes.luvoir_a, 15.3),
           ("Keck", telescopes.keck, 11.2), ("VLT", telescopes.vlt, 8.2),
           ("Subaru", telescopes.subaru, 8.1), ("JWST", telescopes.jwst, 6.8),
           ("Magellan", telescopes.magellan, 6.7), ("Hale", telescopes.hale, 5.2),
           ("HabEx", telescopes.habex, 4.1), ("HST", telescopes.hst, 2.5)]
n = 400
images = {}
for name, build, extent in presets:
    shape = build()
    pixels = trovel.Pixels.grid((n, n), center=(0.0, 0.0), scale=extent / n)
    images[name] = image = trovel.render(shape, pixels)
    area = telescopes.collecting_area(shape)
    rendered = (image * pixels.areas()).sum()
    print(f"{name:9s} {area:12.6f} m²  rendered total - exact: {rendered / area - 1:+.1e}")

# %%
# The pupils, y up as their usual drawings show them; the collecting area
# under each name.
fig, axes = plt.subplots(3, 4, figsize=(11, 9.4))
for ax, (name, build, extent) in zip(axes.ravel(), presets):
    half = extent / 2
    ax.imshow(images[name], origin="lower", cmap="gray", extent=(-half, half, -half, half))
    ax.set_title(f"{name}\n{telescopes.collecting_area(build()):.2f} m²", fontsize=9)
    ax.tick_params(labelsize=7)
fig.tight_layout()
plt.show()

# %%
# Segmented pupils as their segments: ``segments=True`` gives each segment
# with the spiders that cross it removed, for piston and tip-tilt work. Here
# JWST's 18 segments each take a random piston; the segments' images add up
# to the whole pupil's, and their areas to its collecting area.
segments = telescopes.jwst(segments=True)
pixels = trovel.Pixels.grid((n, n), center=(0.0, 0.0), scale=6.8 / n)
masks = [trovel.render(s, pixels) for s in segments]
print(f"{len(segments)} segments; largest difference of their sum from the whole image: "
      f"{np.abs(sum(masks) - images['JWST']).max():.1e}")
piston = np.random.default_rng(3).normal(0.0, 50.0, len(segments))   # nm
phase = sum(p * m for p, m in zip(piston, masks))

fig, ax = plt.subplots(figsize=(5.6, 4.8))
shown = ax.imshow(np.where(images["JWST"] > 0, phase, np.nan), origin="lower", cmap="RdBu",
                  extent=(-3.4, 3.4, -3.4, 3.4))
fig.colorbar(shown, ax=ax, label="piston (nm), weighted by each pixel's fraction")
ax.set_title("JWST, a random piston on each segment", fontsize=9)
plt.show()
