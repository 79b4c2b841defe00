"""
A pupil under a measured distortion
===================================

A camera sees the pupil through a distortion: a map ``F`` from the pupil
plane to the detector, measured as, for each detector pixel, the pupil point
it sees and the local derivative of ``F`` there. trovel wants the opposite
direction, from the grid into the pupil plane, so each pixel's Jacobian is
the inverse of the measured derivative (see :doc:`/conventions`).
"""
import math

import matplotlib.pyplot as plt
import numpy as np

import trovel

# %%
# The "measurement": a barrel distortion ``F(x) = c + x (1 + kappa |x|^2) /
# scale``, inverted pixel by pixel. In practice these arrays come from a
# calibration.
n, kappa, scale = 200, 0.01, 0.05
c = (n - 1) / 2


def forward_derivative(x):
    r2 = (x**2).sum(-1)[..., None, None]
    return ((1 + kappa * r2) * np.eye(2) + 2 * kappa * x[..., :, None] * x[..., None, :]) / scale


k, i = np.meshgrid(np.arange(n, dtype=float), np.arange(n, dtype=float))
grid = np.stack([k, i], -1)                        # grid position (k, i) of pixel [i, k]
u = (grid - c) * scale
rd = np.hypot(u[..., 0], u[..., 1])
rho = rd.copy()
for _ in range(30):                                # Newton: rho (1 + kappa rho^2) = rd
    rho -= (rho * (1 + kappa * rho**2) - rd) / (1 + 3 * kappa * rho**2)
seen = u * np.divide(rho, rd, out=np.ones_like(rd), where=rd > 0)[..., None]
measured = forward_derivative(seen)                # dF/dx: pupil -> detector

# %%
# Footprints: centre at the point each pixel sees, Jacobian the inverse of
# the measured derivative.
pixels = trovel.Pixels.from_arrays(grid, seen, np.linalg.inv(measured))
aperture = trovel.pupil(8.0, obscuration=0.14, struts=4, strut_width=0.1,
                        strut_angle=math.pi / 4)
image = trovel.render(aperture, pixels)

# %%
# Each pixel's footprint has area ``|det J|``, so the fractions weighted by
# it add up to the aperture's area, up to how well the tangent parallelograms
# tile the curved map.
weights = np.abs(np.linalg.det(np.linalg.inv(measured)))
straight = trovel.render(aperture, trovel.Pixels.grid((n, n), center=(0.0, 0.0), scale=0.05))
print(f"distorted image, weighted: {(image * weights).sum():.6f} m^2")
print(f"undistorted 0.05 m grid:   {straight.sum() * 0.05**2:.6f} m^2")

# %%
fig, (a, b) = plt.subplots(1, 2, figsize=(9, 4.4))
a.imshow(image, origin="lower", cmap="gray")
a.set_title("on the detector")
b.imshow(straight, origin="lower", cmap="gray")
b.set_title("without distortion")
plt.show()
