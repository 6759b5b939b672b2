"""Every root in a region against closed forms and independent counts: clusters of nearly equal
roots, roots past the discretization's reach, strongly non-normal and exactly multiple roots."""

import concurrent.futures
import math

import numpy as np
import pytest
from scipy.stats import ortho_group

import pyvantor
import vantor
from reference import count_right_of, lambert_roots

# Simple roots against Lambert W (relative to max(1, |z|)); double roots to about sqrt(eps).
SIMPLE_TOL = 1e-12
DOUBLE_TOL = 1e-7
TRIPLE_TOL = 1e-5


def system(A, h):
    return pyvantor.lagsys([np.atleast_2d(np.asarray(a, dtype=float)) for a in A], list(h))


def scalar(a, b, h):
    return system([[[a]], [[b]]], [0.0, h])


def assert_matches(res, exact, multiplicity, tol):
    """res holds exactly the exact roots, each with its multiplicity, to tol."""
    exact = np.asarray(exact, dtype=complex)
    assert res.complete and res.count == int(np.sum(multiplicity)) == int(res.multiplicity.sum())
    assert res.roots.size == exact.size
    for z, m, t in zip(exact, multiplicity, np.broadcast_to(tol, exact.shape)):
        d = np.abs(res.roots - z)
        i = int(np.argmin(d))
        assert d[i] <= t * max(1.0, abs(z)), f"{z}: nearest {res.roots[i]}"
        assert res.multiplicity[i] == m


def cluster_system(Q, a, b, d):
    """Q [[a, 1, 0], [0, a, 0], [0, 0, a + d]] Q^T at delay 0 and b I at delay 1: the roots of
    lambda = a + b e^{-lambda}, each double, and those of lambda = a + d + b e^{-lambda}."""
    A0 = Q @ np.array([[a, 1.0, 0.0], [0.0, a, 0.0], [0.0, 0.0, a + d]]) @ Q.T
    return system([A0, b * np.eye(3)], [0.0, 1.0])


CLUSTERS = [(a, b, d) for a in (-0.8, -0.3, 0.2) for b in (-2.0, -1.0, 1.5) for d in (1e-2, 1e-3)]


@pytest.fixture(scope="module")
def rotation3():
    return ortho_group.rvs(3, random_state=1)


@pytest.mark.parametrize("a, b, d", CLUSTERS)
def test_roots_keeps_the_simple_root_beside_a_double_one(rotation3, a, b, d):
    sys = cluster_system(rotation3, a, b, d)
    for r in (-1.0, -2.0, -3.0):
        found = np.array(pyvantor.roots(sys, r))
        for z in lambert_roots(a + d, b, 1.0, r + 1e-6):
            assert np.min(np.abs(found - z)) < 1e-6 * max(1.0, abs(z)), f"r = {r}: missed {z}"


@pytest.mark.parametrize("a, b, d", CLUSTERS)
def test_all_roots_of_clusters(rotation3, a, b, d):
    sys = cluster_system(rotation3, a, b, d)
    for r in (-1.0, -2.0):
        double, simple = lambert_roots(a, b, 1.0, r), lambert_roots(a + d, b, 1.0, r)
        res = vantor.all_roots(sys, r)
        assert_matches(res, np.concatenate((double, simple)),
                       [2] * double.size + [1] * simple.size,
                       [DOUBLE_TOL] * double.size + [SIMPLE_TOL] * simple.size)


@pytest.mark.parametrize("a, b, h, r, count", [
    (-0.5, -4.0, 3.0, -1.0, 78),     # past the degree cap: pyvantor.roots finds 70
    (0.0, -60.0, 2.0, -0.5, 104),    # pyvantor.roots finds 78
])
def test_all_roots_past_the_degree_cap(a, b, h, r, count):
    exact = lambert_roots(a, b, h, r)
    assert exact.size == count
    res = vantor.all_roots(scalar(a, b, h), r)
    assert_matches(res, exact, [1] * count, SIMPLE_TOL)
    assert len(pyvantor.roots(scalar(a, b, h), r)) < count


def test_all_roots_of_a_strongly_non_normal_system():
    # det Delta = (lambda + 1)(lambda + 2); pyvantor.roots returns a hundred values that are none.
    sys = system([np.diag([-1.0, -2.0]), [[0.0, 1.0], [0.0, 0.0]]], [0.0, 50.0])
    res = vantor.all_roots(sys, -2.5)
    np.testing.assert_array_equal(res.roots, [-1.0, -2.0])
    np.testing.assert_array_equal(res.multiplicity, [1, 1])


def close_pair():
    """diag(a1, a2), diag(b1, b2) at delays 0 and h: simple roots z1 and lambda2 = z1 + 1.2e-6
    e^{0.6i} (and conjugates), one from each scalar equation."""
    h, a1, b1 = 0.96875, -1.0, -1.703125
    z1 = a1 + lambert_roots(a1, b1, h, -1e9, branches=0)[0]  - a1
    lam2 = z1 + 1.2e-6 * np.exp(0.6j)
    e = np.exp(-lam2 * h)
    b2 = lam2.imag / e.imag
    a2 = (lam2 - b2 * e).real
    return system([np.diag([a1, a2]), np.diag([b1, b2])], [0.0, h]), z1, lam2


def test_two_simple_roots_a_micro_apart_are_two_roots():
    sys, z1, lam2 = close_pair()
    exact = [z1, np.conj(z1), lam2, np.conj(lam2)]
    # lam2 is only exact to the rounding of (a2, b2): about 1e-15.
    assert_matches(vantor.all_roots(sys, -0.5), exact, [1, 1, 1, 1], 1e-9)
    cert = vantor.certify(sys, -0.5)
    assert cert.complete and cert.count == 4 and cert.roots.size == 4
    np.testing.assert_array_equal(cert.multiplicity, [1, 1, 1, 1])
    assert vantor.spectral_abscissa(sys).root == pytest.approx(cert.roots[0], abs=1e-12)


def test_exact_triple_root():
    # An exact similarity of a 3x3 Jordan block at 0.75 with -0.28125 I at delay 1.59375.
    A0 = [[3.75, -1.0, -2.0], [1.0, 0.75, -1.0], [5.0, -2.0, -2.25]]
    sys = system([A0, -0.28125 * np.eye(3)], [0.0, 1.59375])
    exact = lambert_roots(0.75, -0.28125, 1.59375, 0.0)
    assert exact.size == 1
    for res in (vantor.all_roots(sys, 0.0), vantor.distinct_roots(sys, 0.0)):
        assert res.roots.size == 1 and res.multiplicity[0] == 3
        assert abs(res.roots[0] - exact[0]) < TRIPLE_TOL
    assert vantor.spectral_abscissa(sys).multiplicity == 3


def similarity_family(seed, count):
    """Systems similar to decoupled scalar equations x' = a_i x + b_i x(t - h), some repeated and
    some nearly repeated, with zero-weight extra delays: (sys, exact roots, multiplicities, r)."""
    rng = np.random.default_rng(seed)
    cases = []
    while len(cases) < count:
        n = int(rng.integers(1, 7))
        h = float(rng.uniform(0.3, 3.0))
        a = rng.uniform(-2.0, 1.0, n)
        b = rng.uniform(-3.0, 3.0, n)
        for i in range(1, n):
            pick = rng.random()
            if pick < 0.3:
                a[i], b[i] = a[i - 1], b[i - 1]                    # repeated
            elif pick < 0.5:
                a[i], b[i] = a[i - 1] + 10.0 ** rng.uniform(-4, -2), b[i - 1]   # nearly repeated
        r = float(rng.uniform(-1.5, 0.0))
        P = rng.standard_normal((n, n)) + 2.0 * np.eye(n)
        if np.linalg.cond(P) > 50.0:
            continue
        Pinv = np.linalg.inv(P)
        extra = [float(rng.uniform(0.1, 2.0)) for _ in range(int(rng.integers(0, 3)))]
        A = [P @ np.diag(a) @ Pinv, P @ np.diag(b) @ Pinv] + [np.zeros((n, n))] * len(extra)
        roots, mult = [], []
        for ai, bi in zip(a, b):
            for z in lambert_roots(ai, bi, h, r):
                d = [abs(z - w) for w in roots]
                if d and min(d) < 1e-12 * max(1.0, abs(z)):
                    mult[int(np.argmin(d))] += 1
                else:
                    roots.append(z)
                    mult.append(1)
        # Roots within rounding of the bound would be counted either way.
        if any(abs(z.real - r) < 1e-6 for z in roots):
            continue
        cases.append((system(A, [0.0, h] + extra), np.array(roots), np.array(mult), r))
    return cases


def test_seeded_similarity_family():
    for sys, exact, mult, r in similarity_family(17, 50):
        res = vantor.all_roots(sys, r)
        assert res.complete and res.count == mult.sum() == res.multiplicity.sum()
        # Each exact root lies at the found root nearest to it, and the multiplicities of the exact
        # roots at a found root add up to its own. Repeated equations give semisimple multiple
        # roots (found to about 1e-8); nearly repeated ones clusters of simple roots, each found,
        # except that roots closer than about 1e-6 (relative) beside a multiple root may come back
        # as one root of their summed multiplicity.
        nearest = np.array([int(np.argmin(np.abs(res.roots - z))) for z in exact], dtype=np.intp)
        gap = np.abs(res.roots[nearest] - exact) / np.maximum(1.0, np.abs(exact))
        merged = np.bincount(nearest, minlength=res.roots.size) > 1
        tol = np.where(merged[nearest], 1e-6, np.where(mult > 1, DOUBLE_TOL, 1e-8))
        assert np.all(gap <= tol), f"{exact[gap > tol]} found at {res.roots[nearest][gap > tol]}"
        np.testing.assert_array_equal(np.bincount(nearest, weights=mult, minlength=res.roots.size),
                                      res.multiplicity)


@pytest.mark.parametrize("seed", range(5))
def test_collocation_seeds_find_every_simple_root(seed):
    # Distinct scalar equations under a similarity: simple roots, which the collocation's
    # eigenvalues seed all at once (no cell goes to the contour eigensolver).
    rng = np.random.default_rng(seed)
    n, h, r = 4, float(rng.uniform(0.5, 3.0)), -1.0
    a, b = rng.uniform(-2.0, 1.0, n), rng.uniform(-3.0, 3.0, n)
    P = np.linalg.qr(rng.standard_normal((n, n)))[0]
    res = vantor.all_roots(system([P @ np.diag(a) @ P.T, P @ np.diag(b) @ P.T], [0.0, h]), r)
    exact = np.concatenate([lambert_roots(ai, bi, h, r) for ai, bi in zip(a, b)])
    assert res.cells == 0 and res.count == exact.size == res.roots.size
    assert np.all(res.multiplicity == 1)
    assert max(np.min(np.abs(res.roots - z)) / max(1.0, abs(z)) for z in exact) < 1e-10


def test_seeded_random_systems_against_independent_counts():
    rng = np.random.default_rng(5)
    for _ in range(40):
        n = int(rng.integers(1, 4))
        m = int(rng.integers(2, 5))
        A = [rng.standard_normal((n, n)) * (1.5 / math.sqrt(n)) for _ in range(m)]
        h = [0.0] + sorted(rng.uniform(0.1, 2.5, m - 1).tolist())
        r = float(rng.uniform(-1.0, 0.5))
        res = vantor.all_roots(system(A, h), r)
        assert res.count == count_right_of(A, h, r)
        sys = system(A, h)
        for z in res.roots:
            D = z * np.eye(n) - sum(Ak * np.exp(-z * hk) for Ak, hk in zip(A, h))
            s = np.linalg.svd(D, compute_uv=False)
            assert s[-1] <= 1e-10 * max(1.0, s[0]), f"{z} is no root of {sys}"


def test_roots_in_box_includes_a_root_on_its_edge():
    # x' = -x(t - pi/2): roots +-i on the imaginary axis; a box whose left edge passes through i.
    sys = scalar(0.0, -1.0, math.pi / 2)
    res = vantor.roots_in_box(sys, (0.0, 1.0, 0.5, 2.0))
    assert res.count == 1 and res.box[0] < 0.0 <= res.box[0] + 1e-4
    assert abs(res.roots[0] - 1j) < 1e-14


def test_roots_in_box_of_an_empty_region_and_off_axis_boxes():
    sys = scalar(0.0, -1.0, 1.0)
    assert vantor.roots_in_box(sys, (1.0, 2.0, -1.0, 1.0)).roots.size == 0
    upper = vantor.roots_in_box(sys, (-3.0, 1.0, 0.0, 10.0))
    exact = lambert_roots(0.0, -1.0, 1.0, -3.0)
    exact = exact[(exact.imag > 0) & (exact.imag <= 10)]
    assert_matches(upper, exact, [1] * exact.size, SIMPLE_TOL)


def test_all_roots_refuses_more_than_max_count_before_solving():
    sys = scalar(0.0, -60.0, 2.0)
    with pytest.raises(ValueError, match=r"104 roots lie right of r = -0.5, more than max_count = 50"):
        vantor.all_roots(sys, -0.5, max_count=50)
    assert vantor.all_roots(sys, -0.5, max_count=104).count == 104


@pytest.mark.parametrize("box, error, match", [
    ((0.0, 1.0, float("nan"), 1.0), ValueError, "box must be finite"),
    ((1.0, 0.0, -1.0, 1.0), ValueError, "re_min < re_max"),
    ((0.0, 1.0, 1.0, 1.0), ValueError, "im_min < im_max"),
    ((0.0, 1.0, -1.0), ValueError, "got 3 numbers"),
    ((0.0, 1.0, -1.0, float("inf")), ValueError, "box must be finite"),
    (None, TypeError, "box must be a sequence"),
    (("a", 1.0, 2.0, 3.0), ValueError, "box must hold four real numbers"),
])
def test_roots_in_box_bad_boxes(box, error, match):
    with pytest.raises(error, match=match):
        vantor.roots_in_box(scalar(0.0, -1.0, 1.0), box)


@pytest.mark.parametrize("kwargs, error, match", [
    ({"max_count": -1}, ValueError, "max_count must be >= 0"),
    ({"max_count": 2.5}, TypeError, "max_count must be an integer"),
    ({"max_count": True}, TypeError, "max_count must be an integer"),
])
def test_all_roots_bad_arguments(kwargs, error, match):
    with pytest.raises(error, match=match):
        vantor.all_roots(scalar(0.0, -1.0, 1.0), -1.0, **kwargs)


def test_executor_gives_the_serial_roots():
    sys = scalar(-0.5, -4.0, 3.0)
    serial = vantor.all_roots(sys, -1.0)
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        pooled = vantor.all_roots(sys, -1.0, executor=pool)
    np.testing.assert_array_equal(serial.roots, pooled.roots)
    np.testing.assert_array_equal(serial.multiplicity, pooled.multiplicity)


@pytest.mark.parametrize("call", [
    lambda sys, ex: vantor.all_roots(sys, -1.0, executor=ex),
    lambda sys, ex: vantor.roots_in_box(sys, (-1.0, 1.0, -1.0, 1.0), executor=ex),
    lambda sys, ex: vantor.rightmost_roots(sys, 2, executor=ex),
])
def test_an_executor_of_the_wrong_kind_is_refused_at_once(call):
    sys = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    with pytest.raises(TypeError, match="executor must be"):
        call(sys, "not an executor")


def test_dense_roots_of_a_long_delay_beside_rough_estimates():
    """A 3 x 3 system with delay 48.9 has its roots in a dense lattice near Re = -0.1, where Newton
    also leaves rough estimates (errors ~1e-3) between roots 1e-3 apart: linked through those
    errors the roots formed a false cluster and the box was never resolved. Every root returned
    makes Delta singular, and the count matches."""
    A0 = np.array([[-1.0, 0.5, 0.0], [0.2, -2.0, 0.3], [0.0, 0.4, -1.5]])
    A1 = np.array([[-0.6, 0.1, 0.0], [0.0, -0.5, 0.2], [0.1, 0.0, -0.7]])
    sys = system([A0, A1], [0.0, 48.9])
    box = (-0.1, 0.0, -92.0, -88.0)
    res = vantor.roots_in_box(sys, box)
    assert res.complete and res.multiplicity.sum() == res.count == 40
    for lam in res.roots:
        delta = lam * np.eye(3) - A0 - A1 * np.exp(-48.9 * lam)
        assert np.linalg.svd(delta, compute_uv=False)[-1] < 1e-10 * np.linalg.norm(delta)
