"""Quickstart: the roots of x'(t) = -x(t - 1)
==========================================

Every characteristic root right of -1 of the scalar delay equation x'(t) = -x(t - 1), whose
characteristic equation is lambda + exp(-lambda) = 0, and the stability verdict."""

import numpy as np

import pyvantor

system = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
roots = pyvantor.roots(system, -1.0)

print(f"{len(roots)} characteristic roots with real part >= -1:")
for root in roots:
    print(f"  {root.real:+.10f} {root.imag:+.10f}j")
rightmost = max((root.real for root in roots), default=-np.inf)
verdict = "asymptotically stable" if rightmost < 0 else "not asymptotically stable"
print(f"rightmost real part {rightmost:+.6f}: {verdict}")
