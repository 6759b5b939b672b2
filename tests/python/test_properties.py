"""Properties of pyvantor.roots on random systems, each checked against quantities computed
independently with NumPy and SciPy."""

import os

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st
from scipy.special import lambertw

import pyvantor
from reference import within_degree_cap

# Fewer examples under the sanitizers, where every call is many times slower.
EXAMPLES = int(os.environ.get("PYVANTOR_PROPERTY_EXAMPLES", "40"))
PROPERTY = settings(max_examples=EXAMPLES, deadline=None, derandomize=True,
                    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much])

# A returned root makes Delta singular to this level, relative to ||Delta|| and |lambda|.
SINGULAR_TOL = 1e-8
# Two roots are the same root within this distance (relative to their size).
SAME_ROOT = 1e-6
# Sets are compared only this far right of the bound, where both must be complete.
BOUND_MARGIN = 1e-3


@st.composite
def systems(draw, max_n=6, max_m=4):
    n = draw(st.integers(1, max_n))
    m = draw(st.integers(2, max_m))
    seed = draw(st.integers(0, 2**32 - 1))
    rng = np.random.default_rng(seed)
    scale = draw(st.floats(0.2, 2.0))
    A = [rng.uniform(-scale, scale, (n, n)) for _ in range(m)]
    h = [0.0] + list(rng.uniform(0.0, 3.0, m - 1))
    r = draw(st.floats(-1.5, 0.5))
    return A, h, r


# Exact roots this far right of the bound must be returned.
MARGIN = 1e-6


def characteristic_matrix(A, h, lam):
    return lam * np.eye(A[0].shape[0]) - sum(Ak * np.exp(-lam * hk) for Ak, hk in zip(A, h))


def distinct(roots):
    kept = []
    for z in roots:
        if all(abs(z - w) > SAME_ROOT * max(1.0, abs(z)) for w in kept):
            kept.append(z)
    return np.array(kept, dtype=complex)


def assert_same_set(a, b, r):
    """Every root of a right of r + margin is in b, and vice versa."""
    a, b = np.asarray(a, dtype=complex), np.asarray(b, dtype=complex)
    for x, y, label in ((a, b, "first"), (b, a, "second")):
        for z in x[x.real >= r + BOUND_MARGIN]:
            assert y.size and np.min(np.abs(y - z)) < SAME_ROOT * max(1.0, abs(z)), \
                f"{z} of the {label} set is missing from the other"


@PROPERTY
@given(systems())
def test_every_root_is_a_singular_point_right_of_the_bound(system):
    A, h, r = system
    for lam in pyvantor.roots(pyvantor.lagsys(A, h), r):
        assert lam.real >= r
        D = characteristic_matrix(A, h, lam)
        s = np.linalg.svd(D, compute_uv=False)
        assert s[-1] <= SINGULAR_TOL * max(1.0, s[0], abs(lam)), (lam, s)


@PROPERTY
@given(systems())
def test_set_is_closed_under_conjugation(system):
    A, h, r = system
    found = distinct(pyvantor.roots(pyvantor.lagsys(A, h), r))
    for z in found:
        assert np.min(np.abs(found - np.conj(z))) < SAME_ROOT * max(1.0, abs(z)), z


@PROPERTY
@given(systems(), st.integers(0, 2**32 - 1))
def test_invariant_under_similarity(system, seed):
    A, h, r = system
    assume(within_degree_cap(A, h, r))
    n = A[0].shape[0]
    # P = Q diag(d) Q^T with singular values in [1, 2]: condition number at most 2.
    rng = np.random.default_rng(seed)
    Q, _ = np.linalg.qr(rng.standard_normal((n, n)))
    P = Q @ np.diag(rng.uniform(1.0, 2.0, n)) @ Q.T
    transformed = [np.linalg.solve(P, Ak @ P) for Ak in A]
    assert_same_set(pyvantor.roots(pyvantor.lagsys(A, h), r),
                    pyvantor.roots(pyvantor.lagsys(transformed, h), r), r)


@PROPERTY
@given(systems(), st.floats(0.0, 3.0))
def test_zero_term_changes_nothing(system, delay):
    A, h, r = system
    assume(within_degree_cap(A, h, r))
    assume(within_degree_cap(A, h + [delay], r))
    padded = pyvantor.lagsys(A + [np.zeros_like(A[0])], h + [delay])
    assert_same_set(pyvantor.roots(pyvantor.lagsys(A, h), r), pyvantor.roots(padded, r), r)


@PROPERTY
@given(systems(), st.randoms(use_true_random=False))
def test_order_of_delayed_terms_changes_nothing(system, random):
    A, h, r = system
    assume(within_degree_cap(A, h, r))
    order = [0] + random.sample(range(1, len(A)), len(A) - 1)
    permuted = pyvantor.lagsys([A[k] for k in order], [h[k] for k in order])
    assert_same_set(pyvantor.roots(pyvantor.lagsys(A, h), r), pyvantor.roots(permuted, r), r)


@settings(max_examples=3 * EXAMPLES, deadline=None, derandomize=True,
          suppress_health_check=[HealthCheck.filter_too_much, HealthCheck.too_slow])
@given(st.floats(-2.0, 2.0), st.floats(-5.0, 5.0).filter(lambda b: abs(b) > 1e-3),
       st.floats(0.1, 3.0), st.floats(-3.0, 0.5))
def test_scalar_equations_match_lambert_w(a, b, h, r):
    assume(within_degree_cap([np.full((1, 1), a), np.full((1, 1), b)], [0.0, h], r))
    found = np.array(pyvantor.roots(pyvantor.lagsys([np.full((1, 1), a), np.full((1, 1), b)], [0.0, h]), r))
    z = b * h * np.exp(-a * h)
    exact = np.array([a + lambertw(z, k) / h for k in range(-300, 301)])
    exact = exact[exact.real >= r]
    for lam in found:
        assert np.min(np.abs(exact - lam)) < 1e-8 * max(1.0, abs(lam)), lam
    for lam in exact[exact.real >= r + 1e-6]:
        assert found.size and np.min(np.abs(found - lam)) < 1e-8 * max(1.0, abs(lam)), f"missed {lam}"
