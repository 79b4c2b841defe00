# The Jacobian maps grid to edge plane.  A camera's distortion usually comes
# the other way, edge plane -> detector, and must be inverted per pixel.
import matplotlib.pyplot as plt
import numpy as np

kappa, scale, c = 0.08, 0.5, 3.5        # forward map F(x) = c + x (1 + kappa |x|^2) / scale


def forward_jacobian(x):
    r2 = (x ** 2).sum(-1)[..., None, None]
    return ((1 + kappa * r2) * np.eye(2) + 2 * kappa * x[..., :, None] * x[..., None, :]) / scale


def inverse(g):                          # Newton on the radius: F is radial about the centre
    u = (g - c) * scale
    rd = np.hypot(*u.T)[:, None]
    r = rd.copy()
    for _ in range(30):
        r -= (r * (1 + kappa * r * r) - rd) / (1 + 3 * kappa * r * r)
    return u * np.where(rd > 0, r / np.where(rd > 0, rd, 1), 1)


n = 8
k, i = np.meshgrid(np.arange(n), np.arange(n))
grid = np.stack([k.ravel(), i.ravel()], -1).astype(float)
centres = inverse(grid)                           # footprint centres in the edge plane
J = np.linalg.inv(forward_jacobian(centres))      # d(edge plane) / d(grid): the inverse
st = np.array([(-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5)])

fig, (a, b) = plt.subplots(1, 2, figsize=(9, 4))
for g, q, jac in zip(grid, centres, J):
    a.add_patch(plt.Polygon(st + g, fill=False, lw=0.6))
    b.add_patch(plt.Polygon(q + st @ jac.T, fill=False, lw=0.6))
a.set(xlim=(-1, n), ylim=(-1, n), aspect="equal", title="detector pixels (grid)")
b.set(aspect="equal", title="their footprints: centre F⁻¹(k, i), Jacobian DF⁻¹")
b.autoscale_view()
fig.tight_layout()
