import math
import matplotlib.pyplot as plt
import trovel

n, s = 256, 1 / 120                                  # pixels; edge-plane units per pixel
pixels = trovel.Pixels.grid((n, n), origin=(-(n - 1) / 2 * s,) * 2, scale=s)
image = (trovel.circle_coverage(pixels, (0, 0), 1.0)
         - trovel.circle_coverage(pixels, (0, 0), 0.3))
for angle in (0.0, math.pi / 2):                     # two bars make four vanes
    bar = trovel.Strut.across((0, 0), angle, width=0.03, length=2.2)
    image *= 1 - trovel.strut_coverage(pixels, bar)  # approximate where edges meet
plt.imshow(image, origin="lower", cmap="gray")
plt.show()
