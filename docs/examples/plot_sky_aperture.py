"""
A sky aperture on a distorted detector
======================================

An image with a gnomonic WCS and a polynomial (SIP) distortion, and a
circular aperture given on the sky: a position and a radius in
arcseconds.  `Pixels.from_wcs` places every pixel's corners in the tangent
plane about the aperture's centre, in arcseconds, where the aperture is a
true circle; `trovel.photometry` then sums the image over the exact
fraction of each distorted pixel inside it.  The same aperture measured on
the undistorted pixel grid (as if the distortion were ignored) misses part
of the source.
"""
import matplotlib.pyplot as plt
import numpy as np
from astropy.wcs import WCS, Sip

import trovel
from trovel import Pixels

# %%
# A 200 x 200 image of 0.2" pixels with a distortion of a few pixels toward
# the corners.
n = 200
w = WCS(naxis=2)
w.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"]
w.wcs.crval = [83.8, -5.4]
w.wcs.crpix = [100.5, 100.5]
w.wcs.cd = np.array([[-0.2, 0.0], [0.0, 0.2]]) / 3600.0
a = np.zeros((4, 4))
b = np.zeros((4, 4))
a[2, 0], a[0, 2], b[1, 1], a[3, 0] = 3e-4, 1e-4, 3e-4, 1e-6
w.sip = Sip(a, b, None, None, w.wcs.crpix)

# %%
# A star at a known sky position, drawn with the WCS (its brightness at each
# pixel's centre, times the pixel's area on the sky).
star = (83.8 + 15.0 / 3600, -5.4 + 12.0 / 3600)      # 15" east, 12" north of the centre
pixels = Pixels.from_wcs(w, (n, n), center=star)     # plane: arcsec about the star
v, u = np.mgrid[0:n, 0:n].astype(float)
lon, lat = w.pixel_to_world_values(u, v)
x, y = trovel.sky_to_plane(lon, lat, star)
image = 1000.0 * np.exp(-(x ** 2 + y ** 2) / (2 * 0.5 ** 2)) * pixels.areas()
image += 0.05 * pixels.areas()                       # sky

# %%
# The aperture: 1.5" about the star, in the plane about the star itself.
aperture = trovel.Disc((0.0, 0.0), 1.5)
on_sky = trovel.photometry(image, aperture, pixels=pixels)
print(f"sum {on_sky.sum[0]:.3f} over {on_sky.area[0]:.6f} arcsec^2 "
      f"(pi r^2 = {np.pi * 1.5 ** 2:.6f})")

# %%
# The same circle on the pixel grid without the distortion: the linear part
# of the WCS alone, centred where that part puts the star.
flat = w.deepcopy()
flat.sip = None
flat.wcs.ctype = ["RA---TAN", "DEC--TAN"]
kx, ky = flat.world_to_pixel_values(*star)
scale = 0.2                                           # arcsec per pixel
naive = trovel.photometry(image, trovel.Disc((float(kx), float(ky)), 1.5 / scale))
print(f"ignoring the distortion: sum {naive.sum[0]:.3f}, "
      f"{1 - naive.sum[0] / on_sky.sum[0]:.1%} short")

# %%
# The aperture's footprint on the detector's pixels.
f = trovel.render(aperture, pixels)
fig, ax = plt.subplots(figsize=(4.2, 3.6), layout="constrained")
iy, ix = (int(round(float((f * g).sum() / f.sum()))) for g in (v, u))
win = (slice(iy - 14, iy + 15), slice(ix - 14, ix + 15))
ax.imshow(f[win], origin="lower", cmap="Greys",
          extent=(ix - 14.5, ix + 14.5, iy - 14.5, iy + 14.5))
ax.contour(u[win], v[win], image[win], levels=6, colors="C1", linewidths=0.8)
ax.set_title("fraction of each pixel inside 1.5\"")
ax.set_xlabel("column")
ax.set_ylabel("row")
plt.show()
