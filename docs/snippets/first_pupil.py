import matplotlib.pyplot as plt
import trovel

pixels = trovel.Pixels.grid((256, 256), center=(0.0, 0.0), scale=1 / 120)
aperture = trovel.pupil(2.0, obscuration=0.3, struts=4, strut_width=0.03)
image = trovel.render(aperture, pixels)             # exact fraction per pixel

plt.imshow(image, origin="lower", cmap="gray")
plt.title(f"area {(image * pixels.areas()).sum():.4f} (edge-plane units)")
plt.show()
