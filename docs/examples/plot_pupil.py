"""
Telescope pupil with vanes
==========================

An 8 m pupil with a central obscuration and four vanes, rendered exactly:
each pixel gets the fraction of its footprint inside the aperture, with true
circular arcs, also where a vane meets a rim inside one pixel.
"""
import math

import matplotlib.pyplot as plt

import trovel

# %%
# 256 x 256 pixels of 3.3 cm, centred on the pupil's centre.
n, diameter = 256, 8.0
scale = 1.05 * diameter / n
pixels = trovel.Pixels.grid((n, n), center=(0.0, 0.0), scale=scale)
aperture = trovel.pupil(diameter, obscuration=0.14, struts=4, strut_width=0.1,
                        strut_angle=math.pi / 4)
image = trovel.render(aperture, pixels)

# %%
# The fractions weighted by each pixel's area (``pixels.areas()``, here one
# number for the whole grid) against the analytic area: the annulus less two
# bars crossing in the obscuration (four vanes).


def band_in_disc(radius, half):
    """Area of the band |n . x| < half inside a disc of `radius` about the origin."""
    return 2 * (half * math.sqrt(radius**2 - half**2) + radius**2 * math.asin(half / radius))


R, r, h = diameter / 2, 0.14 * diameter / 2, 0.05
analytic = math.pi * (R**2 - r**2) - 2 * (band_in_disc(R, h) - band_in_disc(r, h))
print(f"rendered {(image * pixels.areas()).sum():.9f} m^2, analytic {analytic:.9f} m^2")

# %%
fig, (a, b) = plt.subplots(1, 2, figsize=(9, 4.4))
half = n / 2 * scale
a.imshow(image, origin="lower", cmap="gray", extent=(-half, half, -half, half))
a.set_title("pupil")
zoom = image[n // 2 + 72: n // 2 + 96, n // 2 + 72: n // 2 + 96]
b.imshow(zoom, origin="lower", cmap="gray")
b.set_title("a vane meeting the rim, pixel by pixel")
plt.show()
