"""Roots against closed forms and argument-principle counts on systems where an eigenvalue stage
that fails, a degree estimate that steps over its strip, or Newton stopped early near a multiple
root lose or falsify roots."""

import numpy as np
import pytest

import pyvantor
from reference import count_right_of, distinct, lambert_roots, within_degree_cap

# A returned simple root must match an exact one to this distance (relative to max(1, |z|)).
SIMPLE_TOL = 1e-8
# Double precision resolves a double root to about sqrt(eps) and a triple one to about eps^(1/3).
DOUBLE_TOL = 1e-7
TRIPLE_TOL = 1e-4
# Exact roots this far right of the bound must be returned.
MARGIN = 1e-6


def roots_of(A, h, r):
    return np.array(pyvantor.roots(pyvantor.lagsys([np.atleast_2d(a) for a in A], list(h)), r))


def assert_same_roots(found, exact, r, tol):
    """Every returned value is an exact root and every exact root right of r + MARGIN is returned."""
    found = np.asarray(found, dtype=complex)
    exact = np.asarray(exact, dtype=complex)
    for z in found:
        assert z.real >= r
        assert np.min(np.abs(exact - z)) < tol * max(1.0, abs(z)), f"{z} is no root"
    for z in exact[exact.real >= r + MARGIN]:
        assert found.size and np.min(np.abs(found - z)) < tol * max(1.0, abs(z)), f"missed {z}"


def rotation(theta):
    return np.array([[np.cos(theta), -np.sin(theta)], [np.sin(theta), np.cos(theta)]])


# --- an eigenvalue stage that does not converge is never an empty answer --------------------


def test_delayed_coupling_below_the_diagonal():
    # det Delta = (lambda - 1)(lambda + 2): the delayed term couples only below the diagonal.
    found = roots_of([np.diag([1.0, -2.0]), [[0.0, 0.0], [1.0, 0.0]]], [0.0, 1.0], 0.0)
    assert_same_roots(found, [1.0], 0.0, SIMPLE_TOL)
    found = roots_of([np.diag([1.0, -2.0]), [[0.0, 0.0], [1.0, 0.0]]], [0.0, 1.0], -3.0)
    assert_same_roots(found, [1.0, -2.0], -3.0, SIMPLE_TOL)


def test_jordan_block_with_delayed_damping():
    # A_0 has the defective eigenvalue 1/2, so every root of lambda = 1/2 - 0.2 e^{-lambda} is a
    # double root of det Delta; the rightmost is 0.36054 > 0.
    found = roots_of([[[1.0, 0.5], [-0.5, 0.0]], -0.2 * np.eye(2)], [0.0, 1.0], 0.0)
    exact = lambert_roots(0.5, -0.2, 1.0, 0.0)
    assert exact.size == 1 and exact[0].real == pytest.approx(0.36054, abs=1e-5)
    assert_same_roots(found, exact, 0.0, DOUBLE_TOL)


def rotated_jordan_block(u):
    """A_0 = Q J Q^T with J a 2x2 Jordan block of eigenvalue mu, A_1 = b I, delay h: every root
    of lambda = mu + b e^{-lambda h} is a defective double root."""
    mu, b, h = -1 + 2 * u[0], -1 + 2 * u[1], 0.1 + 2.9 * u[2]
    Q = rotation(np.pi * u[3])
    A0 = Q @ np.array([[mu, 0.2 + 1.8 * u[4]], [0.0, mu]]) @ Q.T
    return (mu, b, h), [A0, b * np.eye(2)], [0.0, h]


def lower_triangular_coupling(u):
    """Block lower triangular: det Delta is the product of two scalar Lambert W equations. No
    delayed term on the diagonal (det Delta then has only the roots a_0, a_1), or one."""
    a = (-3 + 5 * u[0], -3 + 5 * u[1])
    b = [(0.0, 0.0), (0.0, -2 + 4 * u[2]), (-2 + 4 * u[2], 0.0)][int(3 * u[5])]
    h = 0.1 + 2.9 * u[3]
    A0 = np.array([[a[0], 0.0], [-3 + 6 * u[4], a[1]]])
    A1 = np.array([[b[0], 0.0], [-3 + 6 * u[3], b[1]]])
    return (a, b, h), [A0, A1], [0.0, h]


def family(make, seed, count, r=-1.0):
    """count seeded members of a family whose roots right of r are within the degree cap."""
    rng = np.random.default_rng(seed)
    members = []
    while len(members) < count:
        u = rng.uniform(size=6)
        _, A, h = make(u)
        if within_degree_cap(A, h, r):
            members.append(u)
    return members


@pytest.mark.parametrize("u", family(rotated_jordan_block, 11, 60))
def test_rotated_jordan_blocks(u):
    (mu, b, h), A, delays = rotated_jordan_block(u)
    r = -1.0
    assert_same_roots(roots_of(A, delays, r), lambert_roots(mu, b, h, r), r, DOUBLE_TOL)


@pytest.mark.parametrize("u", family(lower_triangular_coupling, 12, 60))
def test_lower_triangular_couplings(u):
    (a, b, h), (A0, A1), _ = lower_triangular_coupling(u)
    r = -1.0
    exact = np.concatenate([lambert_roots(a[i], b[i], h, r) if b[i] else np.array([a[i]], complex)
                            for i in range(2)])
    found = roots_of([A0, A1], [0.0, h], r)
    assert_same_roots(found, exact[exact.real >= r], r, SIMPLE_TOL)


@pytest.mark.parametrize("h, a1", [(2e-308, 0.5), (5e-324, -0.25), (1e-300, 0.5)])
def test_delay_below_what_the_discretization_holds(h, a1):
    # exp(-lambda h) rounds to 1: the roots are those of lambda = -1 + a1.
    found = roots_of([[-1.0], [a1]], [0.0, h], -2.0)
    assert found.size >= 1
    np.testing.assert_allclose(found, -1.0 + a1, rtol=0, atol=1e-12)


def test_overflowing_discretization_is_an_error():
    with pytest.raises(OverflowError, match="overflows"):
        roots_of([[1e308], [1e308]], [0.0, 1.0], 0.0)


# --- the degree estimate must not step over its strip ---------------------------------------


def test_two_term_system_with_twelve_unstable_roots():
    A = [np.array([[-0.1, -16.2], [11.2, -5.3]]), np.array([[-6.2, 8.1], [-1.5, -5.5]])]
    h = [0.0, 2.4]
    found = distinct(roots_of(A, h, 0.0))
    assert count_right_of(A, h, 0.0) == 12
    assert len(found) == 12
    rightmost = max(found, key=lambda z: (z.real, z.imag))
    assert rightmost == pytest.approx(0.3343 + 12.1808j, abs=1e-4)


@pytest.mark.parametrize("a, b, h", [(-0.6, -1.0, 20.0), (-10.0, -30.0, 0.7)])
def test_scalar_roots_beside_the_strip(a, b, h):
    exact = lambert_roots(a, b, h, 0.0)
    assert exact.size > 0
    assert_same_roots(roots_of([[a], [b]], [0.0, h], 0.0), exact, 0.0, SIMPLE_TOL)


def scalar_family(seed, count):
    """Seeded scalar equations x' = a x + b x(t - h) whose roots right of r are within the cap."""
    rng = np.random.default_rng(seed)
    cases = []
    while len(cases) < count:
        a, b = rng.uniform(-10, 5), rng.uniform(-30, 30)
        h, r = rng.uniform(0.05, 20), rng.uniform(-1, 1)
        if within_degree_cap([np.array([[a]]), np.array([[b]])], [0.0, h], r):
            cases.append((a, b, h, r))
    return cases


def test_seeded_scalar_family_finds_every_lambert_root():
    missed = []
    for a, b, h, r in scalar_family(2024, 400):
        found = roots_of([[a], [b]], [0.0, h], r)
        exact = lambert_roots(a, b, h, r + MARGIN)
        lost = [z for z in exact
                if not (found.size and np.min(np.abs(found - z)) < SIMPLE_TOL * max(1.0, abs(z)))]
        if lost:
            missed.append((a, b, h, r, lost))
    assert not missed, f"{len(missed)} of 400 equations lose roots, e.g. {missed[:3]}"


def similar(P, a, b):
    """P diag(a) P^-1 and P diag(b) P^-1."""
    Pinv = np.linalg.inv(P)
    return [P @ np.diag(a) @ Pinv, P @ np.diag(b) @ Pinv]


def lost_roots(family, tol):
    """The cases of (a, b, h, r, A) whose Lambert W roots right of r + MARGIN are not all found."""
    missed = []
    for a, b, h, r, A in family:
        found = roots_of(A, [0.0, h], r)
        exact = np.concatenate([lambert_roots(a[i], b[i], h, r + MARGIN) for i in range(len(a))])
        lost = [z for z in exact
                if not (found.size and np.min(np.abs(found - z)) < tol * max(1.0, abs(z)))]
        if lost:
            missed.append((a, b, h, r, lost))
    return missed


def similar_family(seed, count, n):
    """Seeded systems P diag(a) P^-1, P diag(b) P^-1 at delays 0 and h (cond P <= 10): the roots
    are those of the n scalar equations lambda = a_i + b_i e^{-lambda h}."""
    rng = np.random.default_rng(seed)
    cases = []
    while len(cases) < count:
        a, b = rng.uniform(-10, 5, n), rng.uniform(-30, 30, n)
        h, r = rng.uniform(0.05, 20), rng.uniform(-1, 1)
        P = rng.normal(size=(n, n)) + 2 * np.eye(n)
        if np.linalg.cond(P) > 10:
            continue
        A = similar(P, a, b)
        if within_degree_cap(A, [0.0, h], r):
            cases.append((a, b, h, r, A))
    return cases


@pytest.mark.parametrize("n", [2, 3])
def test_seeded_similar_family_finds_every_lambert_root(n):
    missed = lost_roots(similar_family(n, 300, n), 1e-7)
    assert not missed, f"{len(missed)} of 300 systems lose roots, e.g. {missed[:2]}"


def identical_subsystems(seed, count):
    """Seeded systems of n = 2..4 decoupled equations, k >= 2 of them identical, rotated (orthogonal
    or cond P <= 10): every root of the repeated equation is a semisimple multiple root."""
    rng = np.random.default_rng(seed)
    cases = []
    while len(cases) < count:
        n = int(rng.integers(2, 5))
        a, b = rng.uniform(-3, 1, n), rng.uniform(-4, 4, n)
        k = int(rng.integers(2, n + 1))
        a[:k], b[:k] = a[0], b[0]
        h, r = rng.uniform(0.2, 3), rng.uniform(-1, 0.5)
        if rng.uniform() < 0.5:
            P, _ = np.linalg.qr(rng.standard_normal((n, n)))
        else:
            P = rng.standard_normal((n, n))
            if np.linalg.cond(P) > 10:
                continue
        A = similar(P, a, b)
        if within_degree_cap(A, [0.0, h], r):
            cases.append((a, b, h, r, A))
    return cases


def test_identical_subsystems_keep_their_multiple_roots():
    cases = identical_subsystems(13, 1500)
    missed = lost_roots(cases, 1e-6)
    assert not missed, f"{len(missed)} of {len(cases)} systems lose roots, e.g. {missed[:2]}"


@pytest.mark.parametrize("seed", range(24))
@pytest.mark.parametrize("n, m", [(2, 2), (2, 3), (3, 2), (1, 4)])
def test_count_matches_the_argument_principle(n, m, seed):
    rng = np.random.default_rng(1000 * n + 100 * m + seed)
    A = [rng.normal(0.0, 2.5 / np.sqrt(n), (n, n)) for _ in range(m)]
    h = [0.0] + list(rng.uniform(0.05, 3.0, m - 1))
    r = rng.uniform(-0.5, 0.5)
    if not within_degree_cap(A, h, r):
        pytest.skip("outside the degree cap")
    found = [z for z in distinct(roots_of(A, h, r)) if z.real > r]
    assert len(found) == count_right_of(A, h, r)


# --- multiple roots are converged, not accepted half way -------------------------------------


def test_defective_double_root():
    # det Delta = (lambda + 1)^2 with one eigenvector.
    found = roots_of([[[-1.0, 1.0], [0.0, -1.0]], np.zeros((2, 2))], [0.0, 1.0], -2.0)
    assert found.size >= 1
    np.testing.assert_allclose(found, -1.0, rtol=0, atol=DOUBLE_TOL)


def test_defective_triple_root():
    J = np.array([[-1.0, 1.0, 0.0], [0.0, -1.0, 1.0], [0.0, 0.0, -1.0]])
    found = roots_of([J, np.zeros((3, 3))], [0.0, 1.0], -2.0)
    assert found.size >= 1
    np.testing.assert_allclose(found, -1.0, rtol=0, atol=TRIPLE_TOL)


@pytest.mark.parametrize("gap", [0.0, 1e-8, 1e-4])
def test_scalar_double_and_near_double_real_roots(gap):
    # lambda = b e^{-lambda} with b = -e^{-1} (1 - gap): a double root at -1 for gap = 0, two real
    # roots -1 +- sqrt(2 gap) otherwise.
    b = -np.exp(-1.0) * (1.0 - gap)
    # SciPy's W is NaN at the branch point -1/e itself.
    exact = lambert_roots(0.0, b, 1.0, -2.0) if gap else np.array([-1.0 + 0j])
    found = roots_of([[0.0], [b]], [0.0, 1.0], -2.0)
    assert_same_roots(found, exact, -2.0, DOUBLE_TOL)
    for z in found:
        assert abs(z.imag) < DOUBLE_TOL


def test_similar_copies_give_double_roots():
    # P diag(a, a) P^-1 with the same delayed term: every root of the scalar equation twice.
    rng = np.random.default_rng(4)
    P = rng.normal(size=(2, 2)) + 2 * np.eye(2)
    Pinv = np.linalg.inv(P)
    A0, A1 = P @ (-0.5 * np.eye(2)) @ Pinv, P @ (-1.2 * np.eye(2)) @ Pinv
    exact = lambert_roots(-0.5, -1.2, 1.5, -1.0)
    found = roots_of([A0, A1], [0.0, 1.5], -1.0)
    assert_same_roots(found, exact, -1.0, DOUBLE_TOL)
    assert count_right_of([A0, A1], [0.0, 1.5], -1.0) == 2 * np.sum(exact.real > -1.0)
