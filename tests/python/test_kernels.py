"""The compiled kernels behind vantor's counts and Newton steps, against determinants known in
closed form: decoupled scalar equations under an orthogonal similarity, whose det Delta is the
product of the scalar ones."""

import numpy as np
import pytest
from scipy.stats import ortho_group

from vantor import _kernels
from vantor._newton import newton_steps
from vantor._system import OVERFLOW, REGULAR, SINGULAR, SystemData, log_derivatives
from vantor._winding import det_phase


def system(A, h):
    A = np.asarray(A, dtype=float)
    return SystemData(A, np.asarray(h, dtype=float), np.linalg.norm(A, 2, axis=(1, 2)))


def decoupled(n, seed):
    rng = np.random.default_rng(seed)
    a, b = rng.uniform(-2, 2, n), rng.uniform(-2, 2, n)
    Q = ortho_group.rvs(n, random_state=seed) if n > 1 else np.ones((1, 1))
    h = rng.uniform(0.2, 2.0)
    return a, b, h, system([Q @ np.diag(a) @ Q.T, Q @ np.diag(b) @ Q.T], [0.0, h])


# Orders on both sides of the switch from the compiled kernel to LAPACK's batched solve.
@pytest.mark.parametrize("n", [1, 2, 5, 13, 33, 100, 101])
def test_phase_and_log_derivative_are_those_of_the_product(n):
    a, b, h, data = decoupled(n, seed=n)
    rng = np.random.default_rng(100 + n)
    lam = rng.uniform(-1.5, 3.0, 60) + 1j * rng.uniform(-20, 20, 60)
    phase, trace, status = log_derivatives(data, lam)
    e = np.exp(-np.outer(lam, np.full(n, h)))
    values = lam[:, None] - a - b * e
    expected_phase = np.angle(values).sum(axis=1)
    expected_trace = ((1.0 + b * h * e) / values).sum(axis=1)
    assert np.all(status == REGULAR)
    turn = (phase - expected_phase + np.pi) % (2 * np.pi) - np.pi
    assert np.abs(turn).max() < 1e-9
    assert np.all(np.abs(trace - expected_trace) <= 1e-9 * np.maximum(1.0, np.abs(expected_trace)))


@pytest.mark.parametrize("n", [2, 101])
def test_singular_and_overflowing_points(n):
    # Delta(lambda) = diag(lambda - 2, lambda + 1 - exp(-lambda), ...): exactly singular at 2.
    A0 = np.diag([2.0] + [-1.0] * (n - 1))
    A1 = np.diag([0.0] + [1.0] * (n - 1))
    data = system([A0, A1], [0.0, 1.0])
    lam = np.array([2.0, -1000.0, 0.5 + 0.5j])
    phase, trace, status = log_derivatives(data, lam)
    assert status.tolist() == [SINGULAR, OVERFLOW, REGULAR]
    assert np.isinf(trace[0]) and np.isfinite(trace[2])
    steps = newton_steps(data, lam)
    assert steps[0] == 0 and np.isinf(steps[1]) and np.isfinite(steps[2])
    _, rate, zero = det_phase(data, lam[[0, 2]])
    assert zero.tolist() == [True, False] and np.isinf(rate[0])
    with pytest.raises(OverflowError, match="overflows"):
        det_phase(data, lam)


def test_binding_checks_shapes_and_converts_layouts():
    _, _, _, data = decoupled(3, seed=7)
    lam = np.array([0.3 + 1j, -0.2 - 2j])
    reference = _kernels.log_derivatives(data.matrices, data.delays, lam)
    # Fortran-ordered matrices and a strided view of the points give the same numbers.
    fortran = np.asfortranarray(data.matrices)
    strided = np.repeat(lam, 2)[::2]
    again = _kernels.log_derivatives(fortran, data.delays, strided)
    for x, y in zip(reference, again):
        np.testing.assert_array_equal(x, y)
    empty = _kernels.log_derivatives(data.matrices, data.delays, np.empty(0, dtype=complex))
    assert [x.size for x in empty] == [0, 0, 0]
    with pytest.raises(ValueError, match="one entry per matrix"):
        _kernels.log_derivatives(data.matrices, data.delays[:1], lam)
    with pytest.raises(ValueError, match="shape"):
        _kernels.log_derivatives(data.matrices[:, :, :2], data.delays, lam)
    with pytest.raises(ValueError, match="at least one matrix"):
        _kernels.log_derivatives(np.zeros((0, 0, 0)), np.zeros(0), lam)
    with pytest.raises(TypeError):
        _kernels.log_derivatives(data.matrices[0], data.delays, lam)
    with pytest.raises(ValueError, match="shape"):
        _kernels.modulus_bound(data.matrices, data.norms[:1], data.delays, 0.0)


@pytest.mark.parametrize("seed", range(6))
def test_modulus_bound_holds_every_root(seed):
    # Roots of decoupled scalar equations by Lambert W: every one right of r lies within B(r).
    from reference import lambert_roots

    a, b, h, data = decoupled(4, seed)
    for r in (-2.0, -0.5, 0.5):
        bound = data.modulus_bound(r)
        roots = np.concatenate([lambert_roots(ai, bi, h, r) for ai, bi in zip(a, b)])
        assert np.all(np.abs(roots) <= bound * (1 + 1e-12))
        assert bound <= float(np.sum(data.norms * np.exp(-r * data.delays))) * (1 + 1e-15)


def test_permutation_parity_and_its_refusals():
    # The sign of a permutation matrix's determinant, from LAPACK, against the kernel's parity.
    rng = np.random.default_rng(3)
    for n in (1, 2, 7, 40):
        perm = rng.permutation(n)
        expected = int(round(np.linalg.det(np.eye(n)[perm]))) == -1
        assert _kernels.permutation_parity(perm.astype(np.int64)) == expected
    assert _kernels.permutation_parity(np.empty(0, dtype=np.int64)) == 0
    for bad in ([1, 1], [0, 2], [-1, 0]):
        with pytest.raises(ValueError, match="permutation_parity"):
            _kernels.permutation_parity(np.array(bad, dtype=np.int64))


def test_low_rank_binding_checks_shapes():
    T = np.triu(np.ones((4, 4))).astype(complex)
    U = np.ones((4, 2), dtype=complex)
    lam = np.array([1.0 + 1j])
    phase, _, status = _kernels.low_rank_log_derivatives(T, U, U, np.array([1.0, 2.0]), lam)
    assert status[0] == REGULAR and np.isfinite(phase[0])
    for args in ((T, U, U[:, :1], np.array([1.0, 2.0])), (T[:3], U, U, np.array([1.0, 2.0])),
                 (T, U, U, np.array([1.0]))):
        with pytest.raises(ValueError, match="shape"):
            _kernels.low_rank_log_derivatives(*args, lam)


def test_low_rank_log_derivatives_match_a_dense_factorization():
    # lambda I - T - U diag(exp(-lambda h)) V^H: the O(n^2 r) kernel against NumPy's LU, over
    # more points than one sweep takes (a full batch and a partial one).
    rng = np.random.default_rng(12)
    n, r = 10, 2
    T = np.triu(rng.normal(size=(n, n)) + 1j * rng.normal(size=(n, n)))
    U = rng.normal(size=(n, r)) + 1j * rng.normal(size=(n, r))
    V = rng.normal(size=(n, r)) + 1j * rng.normal(size=(n, r))
    delays = np.array([0.5, 1.5])
    lam = rng.normal(size=11) + 1j * rng.normal(size=11)
    phase, trace, status = _kernels.low_rank_log_derivatives(T, U, V, delays, lam)
    assert np.all(status == REGULAR)
    for z, p, t in zip(lam, phase, trace):
        E = np.exp(-z * delays)
        D = z * np.eye(n) - T - (U * E) @ V.conj().T
        Dp = np.eye(n) + (U * (delays * E)) @ V.conj().T
        sign, _ = np.linalg.slogdet(D)
        assert abs(np.angle(np.exp(1j * p) / sign)) <= 1e-10
        assert abs(t - np.trace(np.linalg.solve(D, Dp))) <= 1e-10 * abs(t)


def _shift_invert(n, seed, centre, sigma, N=7):
    from vantor._krylov import LargeSystem, ShiftInvert

    rng = np.random.default_rng(seed)
    matrices = [rng.normal(size=(n, n)) for _ in range(3)]
    delays = np.array([0.0, 0.6, 1.3])
    op = ShiftInvert(LargeSystem(matrices, delays, False), N, sigma, centre)
    return matrices, delays, op


def _arnoldi(op, steps, seed=0):
    u0 = np.random.default_rng(seed).normal(size=op.system.n)
    return _kernels.compact_arnoldi(op.system.stacked(), np.ascontiguousarray(op.rows, dtype=complex),
                                    np.ascontiguousarray(op.R), np.ascontiguousarray(op.r, dtype=complex),
                                    complex(op.sigma), u0, steps)


# Arnoldi run to an invariant subspace: its Ritz values are every eigenvalue of the collocation
# matrix, computed here by LAPACK on the explicit matrix (no structured solve, no compact form).
@pytest.mark.parametrize("n, seed, centre, sigma", [(1, 0, 0.0, 0.4 + 0.3j), (3, 1, 0.0, 0.2 + 1.0j),
                                                    (4, 2, 0.5, 0.5 + 0.0j), (5, 3, 1.0, 1.2 + 2.0j)])
def test_compact_arnoldi_recovers_the_collocation_eigenvalues(n, seed, centre, sigma):
    from vantor._krylov import collocation_eigenvalues

    matrices, delays, op = _shift_invert(n, seed, centre, sigma)
    H, first, U, singular = _arnoldi(op, op.size)
    assert not singular and U.shape == (n, n) and first.shape[1] == n
    np.testing.assert_allclose(U.conj().T @ U, np.eye(n), atol=1e-12)
    done = first.shape[0]
    ritz = sigma + 1.0 / np.linalg.eigvals(H[:done, :done])
    exact = collocation_eigenvalues(np.array(matrices), delays, op.N, centre)
    assert done == op.size == exact.size
    distance = np.abs(ritz[:, None] - exact[None, :])
    assert np.all(distance.min(axis=1) <= 1e-8 * np.maximum(1.0, np.abs(ritz)))
    assert np.all(distance.min(axis=0) <= 1e-8 * np.maximum(1.0, np.abs(exact)))


def test_compact_arnoldi_ritz_pairs_are_eigenpairs_of_the_collocation():
    # The Ritz values nearest the shift and the first blocks of their vectors, against LAPACK's
    # eigenpairs of the explicit collocation matrix (its first block is the null vector's estimate).
    _, _, op = _shift_invert(6, 7, 0.3 + 0.5j, 0.3 + 0.5j, N=12)
    values, blocks = op.eigenpairs(4)
    M = np.column_stack([op._apply(e) for e in np.eye(op.size, dtype=complex)])
    exact, vectors = np.linalg.eig(M)
    assert values.size == 4
    for lam, x0 in zip(values, blocks):
        i = int(np.argmin(np.abs(exact - lam)))
        assert abs(exact[i] - lam) <= 1e-9 * max(1.0, abs(lam))
        v0 = vectors[:6, i]
        assert abs(np.vdot(v0, x0)) >= (1 - 1e-8) * np.linalg.norm(v0) * np.linalg.norm(x0)
    nearest = np.sort(np.abs(exact - op.sigma))[:4]
    np.testing.assert_allclose(np.sort(np.abs(values - op.sigma)), nearest, rtol=1e-9)


def test_compact_arnoldi_reports_a_singular_shift_and_checks_shapes():
    from vantor._krylov import LargeSystem, ShiftInvert

    op = ShiftInvert(LargeSystem([np.zeros((2, 2)), np.zeros((2, 2))], np.array([0.0, 1.0]), False), 5, 0.0)
    H, first, U, singular = _arnoldi(op, 10)
    assert singular and H.size == first.size == U.size == 0
    with pytest.raises(np.linalg.LinAlgError, match="singular"):
        op.eigenpairs(3)
    _, _, op = _shift_invert(3, 0, 0.0, 0.5 + 0.5j)
    rows, R, r = (np.ascontiguousarray(a, dtype=complex) for a in (op.rows, op.R, op.r))
    matrices, start = op.system.stacked(), np.ones(3)
    with pytest.raises(ValueError, match="shape"):
        _kernels.compact_arnoldi(matrices, rows[:, :-1], R, r, 0.5, start, 10)
    with pytest.raises(ValueError, match="shape"):
        _kernels.compact_arnoldi(matrices, rows, R, r, 0.5, np.ones(4), 10)
    with pytest.raises(ValueError, match="steps"):
        _kernels.compact_arnoldi(matrices, rows, R, r, 0.5, start, 0)
    with pytest.raises(ValueError, match="nonzero"):
        _kernels.compact_arnoldi(matrices, rows, R, r, 0.5, np.zeros(3), 10)
