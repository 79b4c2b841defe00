"""
A pupil under a measured distortion
===================================

A camera sees the pupil through a distortion. trovel wants, for every
detector pixel, where its footprint lies in the pupil plane: a centre and a
Jacobian that maps a step on the **detector grid** to a step in the **pupil
plane** (see :doc:`/conventions`). A distortion comes in one of two
directions:

- detector to plane, ``G(k, i)``: the centres are ``G`` at the grid
  positions and the Jacobians are ``G``'s derivative there, as they are;
- plane to detector, ``F(x)``: the centres are ``F⁻¹`` at the grid positions
  and the Jacobians are the **inverse** of ``F``'s derivative there.

Both are shown below with the same check, which you can run on your own
arrays: the Jacobian's columns must match finite differences of the map
from the grid to the plane.
"""
import math

import matplotlib.pyplot as plt
import numpy as np

import trovel

n, kappa, scale = 200, 0.01, 0.05
c = (n - 1) / 2
k, i = np.meshgrid(np.arange(n, dtype=float), np.arange(n, dtype=float))
grid = np.stack([k, i], -1)                        # grid position (k, i) of pixel [i, k]
aperture = trovel.pupil(8.0, obscuration=0.14, struts=4, strut_width=0.1,
                        strut_angle=math.pi / 4)


def radial_derivative(x, kappa, factor):
    """The derivative of x -> factor * x (1 + kappa |x|^2)."""
    r2 = (x**2).sum(-1)[..., None, None]
    return factor * ((1 + kappa * r2) * np.eye(2) + 2 * kappa * x[..., :, None] * x[..., None, :])


def jacobian_error(to_plane, jacobians, h=1e-4):
    """The largest difference between the Jacobians' columns and central
    differences of `to_plane` (grid positions -> plane) along k and i."""
    steps = [np.array([h, 0.0]), np.array([0.0, h])]
    diffs = [(to_plane(grid + d) - to_plane(grid - d)) / (2 * h) for d in steps]
    return max(float(np.abs(jacobians[..., :, col] - diffs[col]).max()) for col in (0, 1))


# %%
# Detector to plane
# -----------------
# A pincushion model of the optics, from detector pixels to the pupil plane:
# ``G(g) = scale * u (1 + kappa' |u|^2)`` with ``u = g - c`` in pixels. Its
# derivative is the Jacobian, as it is.
kappa_g = 4e-7


def to_pupil(g):
    u = g - c
    return scale * u * (1 + kappa_g * (u**2).sum(-1))[..., None]


jac_g = radial_derivative(grid - c, kappa_g, scale)
pixels_g = trovel.Pixels.from_arrays(grid, to_pupil(grid), jac_g)
print(f"detector to plane: Jacobian vs finite differences {jacobian_error(to_pupil, jac_g):.1e}")

# %%
# Plane to detector
# -----------------
# A measured barrel distortion, from the pupil plane to the detector:
# ``F(x) = c + x (1 + kappa |x|^2) / scale``. Each pixel's centre is
# ``F⁻¹`` of its grid position (here by Newton's method on the radius), and
# its Jacobian the inverse of ``F``'s derivative there. Using ``F``'s
# derivative itself is the slip the check catches.


def from_detector(g):
    u = (g - c) * scale
    rd = np.hypot(u[..., 0], u[..., 1])
    rho = rd.copy()
    for _ in range(30):                            # Newton: rho (1 + kappa rho^2) = rd
        rho -= (rho * (1 + kappa * rho**2) - rd) / (1 + 3 * kappa * rho**2)
    return u * np.divide(rho, rd, out=np.ones_like(rd), where=rd > 0)[..., None]


seen = from_detector(grid)
measured = radial_derivative(seen, kappa, 1 / scale)   # dF/dx: pupil -> detector
jac_f = np.linalg.inv(measured)
pixels = trovel.Pixels.from_arrays(grid, seen, jac_f)
print(f"plane to detector: inverted {jacobian_error(from_detector, jac_f):.1e}, "
      f"not inverted (wrong) {jacobian_error(from_detector, measured):.1e}")

# %%
# Each footprint's area is ``pixels.areas()``, ``|det J|``, so the fractions
# weighted by it add up to the aperture's area, up to how well the tangent
# parallelograms tile the curved map.
image = trovel.render(aperture, pixels)
straight_pixels = trovel.Pixels.grid((n, n), center=(0.0, 0.0), scale=0.05)
straight = trovel.render(aperture, straight_pixels)
print(f"distorted image, weighted: {(image * pixels.areas()).sum():.6f} m^2")
print(f"undistorted 0.05 m grid:   {(straight * straight_pixels.areas()).sum():.6f} m^2")

# %%
fig, (a, b, d) = plt.subplots(1, 3, figsize=(12, 4.2))
a.imshow(trovel.render(aperture, pixels_g), origin="lower", cmap="gray")
a.set_title("pincushion (detector to plane)")
b.imshow(image, origin="lower", cmap="gray")
b.set_title("barrel (plane to detector)")
d.imshow(straight, origin="lower", cmap="gray")
d.set_title("without distortion")
fig.tight_layout()
plt.show()
