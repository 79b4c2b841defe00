"""
A hexagonal segmented aperture
==============================

Two rings of hexagonal segments around a central one, with gaps between
them, less the central segment's area by a disc: shapes combine with ``|``,
``&`` and ``-``, and the renderer is exact where boundaries meet.
"""
import matplotlib.pyplot as plt
import numpy as np

import trovel

segments = trovel.hexagonal_segments(rings=2, flat_to_flat=1.0, gap=0.03)
aperture = segments - trovel.Disc((0.0, 0.0), 0.45)

n = 300
pixels = trovel.Pixels.grid((n, n), center=(0.0, 0.0), scale=6.0 / n)
image = trovel.render(aperture, pixels)
print(f"area {(image * pixels.areas()).sum():.6f}, "
      f"{np.count_nonzero((image > 0) & (image < 1))} pixels partly covered")

fig, (a, b) = plt.subplots(1, 2, figsize=(9, 4.4))
a.imshow(image, origin="lower", cmap="gray", extent=(-3, 3, -3, 3))
a.set_title("segments less a central disc")
b.imshow(image[140:175, 140:175], origin="lower", cmap="gray")
b.set_title("gaps and the disc's rim, pixel by pixel")
plt.show()
