"""Independent references for characteristic roots: Lambert W and argument-principle counts."""

import numpy as np
from scipy.special import lambertw


def lambert_roots(a, b, h, r, branches=300):
    """Every root of lambda = a + b exp(-lambda h) with real part >= r (h > 0, b != 0).

    lambda = a + W_k(b h e^{-a h}) / h over the branches k; the real part falls as |k| grows, so
    300 branches on each side hold every root right of any bound used in the tests.
    """
    z = b * h * np.exp(-a * h)
    lam = np.array([a + complex(lambertw(z, k)) / h for k in range(-branches, branches + 1)])
    return lam[lam.real >= r]


# The discretization degree is capped at 100, which resolves roots up to about |lambda| tau = 90.
RESOLVED = 80.0


def within_degree_cap(A, h, r):
    """True when every root right of r is provably within the capped degree's reach: such a root
    has |lambda| <= sum_k ||A_k|| e^{-r h_k}, and the degree needed grows with |lambda| max(1, tau)."""
    bound = sum(np.linalg.norm(Ak, 2) * np.exp(-r * hk) for Ak, hk in zip(A, h))
    return bound * max(1.0, max(h)) <= RESOLVED


def det_delta(A, h, lam):
    """det(lambda I - sum_k A_k exp(-lambda h_k)) at every point of the 1-D array lam."""
    lam = np.asarray(lam, dtype=complex)
    n = A[0].shape[0]
    D = lam[:, None, None] * np.eye(n)
    for Ak, hk in zip(A, h):
        D = D - np.exp(-lam * hk)[:, None, None] * Ak
    return np.linalg.det(D)


def count_right_of(A, h, r, max_turn=0.05):
    """Number of roots with Re lambda > r, with multiplicity, by the argument principle.

    Every root right of r satisfies |lambda| <= sum_k ||A_k||_2 e^{-r h_k} =: B, so the box
    [r, B + 1] x [-B - 1, B + 1] holds them all. The boundary is sampled until no step turns the
    argument of det Delta by more than max_turn of a turn.
    """
    B = sum(np.linalg.norm(Ak, 2) * np.exp(-r * hk) for Ak, hk in zip(A, h)) + 1.0
    corners = np.array([r - 1j * B, B - 1j * B, B + 1j * B, r + 1j * B, r - 1j * B])
    winding = 0.0
    for start, end in zip(corners[:-1], corners[1:]):
        t = np.linspace(0.0, 1.0, 400)
        vals = det_delta(A, h, start + (end - start) * t)
        while True:
            turn = np.angle(vals[1:] / vals[:-1])
            coarse = np.nonzero(np.abs(turn) > 2 * np.pi * max_turn)[0]
            if coarse.size == 0:
                break
            if t.size > 10**6:
                raise RuntimeError("the contour passes too close to a root")
            mid = (t[coarse] + t[coarse + 1]) / 2
            t = np.insert(t, coarse + 1, mid)
            vals = np.insert(vals, coarse + 1, det_delta(A, h, start + (end - start) * mid))
        winding += turn.sum()
    return int(round(winding / (2 * np.pi)))


def distinct(values, tol=1e-6):
    """The values with duplicates (closer than tol relative to max(1, |z|)) merged."""
    kept = []
    for z in values:
        if all(abs(z - w) > tol * max(1.0, abs(z)) for w in kept):
            kept.append(complex(z))
    return kept
