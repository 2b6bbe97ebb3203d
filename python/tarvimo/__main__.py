"""Short example run of the closed BY and closed e-BH counts."""

from tarvimo import _vardo

pvalues = [0.08, 0.02, 0.02, 0.01]
print("p-values (largest first):", pvalues)
print("BY rejections:", _vardo.BY_cpp(pvalues, [0.0, 1.0, 1.5, 1.8333333333333333, 2.083333333333333], 0.05))
