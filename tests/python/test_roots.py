import numpy as np
import pytest

import pyvantor
from reference import lambert_roots

# A returned root must match an exact root to this distance.
MATCH_TOL = 1e-8
# Exact roots this far right of the bound must all be returned.
MARGIN = 1e-6


def scalar_system(terms):
    """x' = sum a x(t - h) for terms [(a, h), ...]."""
    return pyvantor.lagsys([np.full((1, 1), a) for a, _ in terms], [h for _, h in terms])


def exact_roots(a, b, h, r, branches=200):
    """Roots of lambda = a + b exp(-lambda h) right of r, each once."""
    return np.unique(np.round(lambert_roots(a, b, h, r, branches), 12))


def assert_matches_exact(found, exact, r):
    found = np.asarray(found, dtype=complex)
    for z in found:
        assert z.real >= r
        assert np.min(np.abs(exact - z)) < MATCH_TOL * max(1.0, abs(z)), z
    for z in exact[exact.real >= r + MARGIN]:
        assert found.size and np.min(np.abs(found - z)) < MATCH_TOL * max(1.0, abs(z)), f"missed {z}"


@pytest.mark.parametrize(
    "a, b, h, r",
    [
        (0.0, -1.0, 1.0, -1.0),
        (0.0, -30.0, 1.0, -1.0),
        (-0.5, -0.5, 4.0, -0.6),
        (1.0, -2.0, 1.0, -3.0),
        (0.2, 0.5, 2.0, -2.0),
        (-1.0, 3.0, 0.5, -4.0),
        (0.5, -1.5, 3.0, -1.0),
        (-2.0, -4.0, 0.2, -12.0),
    ],
)
def test_scalar_equation_against_lambert_w(a, b, h, r):
    found = pyvantor.roots(scalar_system([(a, 0.0), (b, h)]), r)
    assert_matches_exact(found, exact_roots(a, b, h, r), r)


def test_scalar_example_order(lambert):
    found = pyvantor.roots(lambert, -1.0)
    assert len(found) == 2
    np.testing.assert_allclose(found[0], -0.3181315052 - 1.3372357014j, atol=1e-8)
    np.testing.assert_allclose(found[1], -0.3181315052 + 1.3372357014j, atol=1e-8)
    assert all(isinstance(z, complex) for z in found)


@pytest.mark.parametrize(
    "terms",
    [
        [(-30.0, 1.0)],
        [(-30.0, 1.0), (0.0, 0.0)],
        [(0.0, 0.0), (-30.0, 1.0)],
        [(0.0, 0.0), (-15.0, 1.0), (-15.0, 1.0)],
    ],
    ids=["single-delayed", "delayed-first", "undelayed-first", "split"],
)
def test_term_order_does_not_lose_roots(terms):
    r = -1.0
    assert_matches_exact(pyvantor.roots(scalar_system(terms), r), exact_roots(0.0, -30.0, 1.0, r), r)


def test_long_delay_keeps_all_roots():
    found = pyvantor.roots(scalar_system([(-0.5, 0.0), (-0.5, 4.0)]), -0.6)
    assert len(found) == 8
    assert_matches_exact(found, exact_roots(-0.5, -0.5, 4.0, -0.6), -0.6)


def test_undelayed_system_gives_eigenvalues_of_the_sum():
    rng = np.random.default_rng(3)
    A = [rng.standard_normal((4, 4)) for _ in range(3)]
    found = np.sort_complex(np.array(pyvantor.roots(pyvantor.lagsys(A, [0.0, 0.0, 0.0]), -50.0)))
    np.testing.assert_allclose(found, np.sort_complex(np.linalg.eigvals(sum(A))), atol=1e-10)


def test_matrix_system_roots_are_singular_points(pair):
    found = pyvantor.roots(pair, -3.0)
    assert found
    for lam in found:
        D = lam * np.eye(2) - sum(pair.A(k) * np.exp(-lam * pair.hA()[k]) for k in range(2))
        s = np.linalg.svd(D, compute_uv=False)
        assert s[-1] < 1e-9 * max(1.0, s[0])


def test_int_bound_and_empty_result(lambert):
    assert pyvantor.roots(lambert, 0) == []
    assert len(pyvantor.roots(lambert, -1)) == 2


def test_call_errors(lambert):
    with pytest.raises(AttributeError):
        lambert.roots(0.0)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pyvantor.roots(lambert, None)
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pyvantor.roots(sys=lambert, r=0.0)
    with pytest.raises(TypeError):
        pyvantor.roots(lambert)
    with pytest.raises(TypeError):
        pyvantor.roots(object(), 0.0)


def test_library_errors():
    with pytest.raises(IndexError) as err:
        pyvantor.roots(pyvantor.lagsys([np.eye(1), np.eye(1)], [0.0]), 0.0)
    assert str(err.value) == "vector::_M_range_check: __n (which is 1) >= this->size() (which is 1)"
    with pytest.raises(ValueError):
        pyvantor.roots(pyvantor.lagsys([], []), 0.0)


@pytest.mark.parametrize(
    "matrices, delays, message",
    [
        ([np.zeros((2, 3))], [0.0], r"A\(0\) has shape 2x3"),
        ([np.eye(2), np.eye(3)], [0.0, 1.0], r"A\(1\) has shape 3x3"),
        ([np.eye(2), np.eye(2)], [0.0, -1.0], r"hA\[1\]"),
        ([np.eye(2), np.eye(2)], [0.0, np.nan], r"hA\[1\]"),
        ([np.eye(2), np.eye(2)], [np.inf, 1.0], r"hA\[0\]"),
        ([np.eye(2), np.diag([1.0, np.inf])], [0.0, 1.0], r"A\(1\) has a non-finite entry"),
        ([np.full((1, 1), np.nan)], [0.0], r"A\(0\) has a non-finite entry"),
    ],
)
def test_bad_systems_raise_value_error(matrices, delays, message):
    with pytest.raises(ValueError, match=message):
        pyvantor.roots(pyvantor.lagsys(matrices, delays), 0.0)


def test_writes_through_views_are_seen(lambert):
    before = pyvantor.roots(lambert, -1.0)
    lambert.A(1)[0, 0] = -30.0
    after = pyvantor.roots(lambert, -1.0)
    assert len(after) > len(before)
    assert_matches_exact(after, exact_roots(0.0, -30.0, 1.0, -1.0), -1.0)
