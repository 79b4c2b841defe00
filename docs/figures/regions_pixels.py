# astropy regions' pixel coordinates are trovel's plane under the default
# grid Pixels.grid(image.shape): pixel [i, k] is centred on (x, y) = (k, i).
import astropy.units as u
import matplotlib.pyplot as plt
import numpy as np
from regions import EllipsePixelRegion, PixCoord

import trovel

shape = (7, 10)                       # rows, columns
region = EllipsePixelRegion(PixCoord(4.3, 2.8), width=7.0, height=3.6, angle=25 * u.deg)
fractions = trovel.render(trovel.from_region(region), trovel.Pixels.grid(shape))

fig, ax = plt.subplots(figsize=(6, 4.2))
ax.imshow(fractions, origin="lower", cmap="Blues", vmin=0, vmax=1.4)
k, i = np.meshgrid(np.arange(shape[1]), np.arange(shape[0]))
ax.plot(k.ravel(), i.ravel(), ".", color="0.4", ms=3, label="pixel centres (k, i)")
region.plot(ax=ax, color="C3", lw=1.5, label="the region, drawn by regions")
ax.set(xlabel="x = column k", ylabel="y = row i",
       title="render(from_region(r), Pixels.grid(image.shape))")
ax.legend(loc="upper left", bbox_to_anchor=(0.0, -0.16), ncol=2, frameon=False)
fig.tight_layout()
