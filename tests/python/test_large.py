"""Rightmost roots of large sparse systems against decoupled modes (Lambert W on every branch of
every mode of a tridiagonal Toeplitz matrix), dense roots of coupled systems, sparse formats,
bad input, the analyses that take a DelaySystem and the executor paths."""

import concurrent.futures
import math

import numpy as np
import pytest
import scipy.sparse as sp
from scipy.special import lambertw

import pyvantor
import vantor


def toeplitz(n, low, diagonal, high):
    """The tridiagonal Toeplitz matrix and its eigenvalues diagonal + 2 sqrt(low high) cos(j pi/(n+1))
    (low high > 0: similar to a symmetric one)."""
    L = sp.diags([np.full(n - 1, low), np.full(n, diagonal), np.full(n - 1, high)], [-1, 0, 1])
    mu = diagonal + 2.0 * math.sqrt(low * high) * np.cos(np.arange(1, n + 1) * np.pi / (n + 1))
    return L, mu


def diffusion(n, advection=0.0, coefficient=1.0):
    """Diffusion (and advection) on (0, pi) with Dirichlet ends, n inner points: the eigenvalues
    approach -coefficient (j^2 + advection^2), j = 1, 2, ..., well apart whatever n."""
    scale = coefficient * (n + 1) ** 2 / np.pi ** 2
    shift = advection * np.pi / (n + 1)
    return toeplitz(n, scale * (1 + shift), -2.0 * scale, scale * (1 - shift))


def mode_roots(a, b, tau, branches=6):
    """Every mode lambda = a_j + b exp(-lambda tau): Lambert W on branches -6..6 of every mode,
    rightmost first (the modes' roots cluster near Re = log|b tau| / tau when b tau exp(-a tau) is
    large, so any mode may hold a rightmost root)."""
    a = np.asarray(a)
    with np.errstate(over="ignore", invalid="ignore"):
        roots = np.concatenate([a + lambertw(b * tau * np.exp(-a * tau), k) / tau
                                for k in range(-branches, branches + 1)])
    roots = roots[np.isfinite(roots)]   # modes so damped that their roots lie far left
    return ordered(roots)


def ordered(z):
    """Rightmost first; real parts equal to 1e-9 (a conjugate pair) by imaginary part."""
    z = np.asarray(z)
    return z[np.lexsort((z.imag, -np.round(z.real, 9)))]


def assert_same_roots(found, expected, rtol):
    for z in found:
        assert np.min(np.abs(expected - z)) <= rtol * max(1.0, abs(z)), z


@pytest.mark.parametrize("seed", range(8))
def test_decoupled_modes_one_delay(seed):
    rng = np.random.default_rng(600 + seed)
    n = int(rng.choice([10, 60, 400, 2000]))
    L, mu = diffusion(n, advection=float(rng.choice([0.0, rng.uniform(0.2, 1.5)])),
                      coefficient=float(rng.uniform(0.2, 1.0)))
    c, b, tau = float(rng.uniform(-0.5, 1.0)), float(rng.uniform(-2.0, -0.3)), float(rng.uniform(0.5, 2.0))
    sys = vantor.DelaySystem([L + c * sp.identity(n), b * sp.identity(n)], [0.0, tau])
    k = 8
    res = vantor.rightmost_roots(sys, k)
    expected = mode_roots(mu + c, b, tau)
    assert res.certified and res.roots.size == k
    np.testing.assert_allclose(ordered(res.roots), expected[:k], rtol=1e-9, atol=1e-9)
    assert np.all(res.residual <= 1e-10)
    assert res.count == int(np.count_nonzero(expected.real > res.r))


@pytest.mark.parametrize("seed", range(3))
def test_decoupled_modes_two_delays(seed):
    # x' = L x + c x + b x(t - tau1) + e x(t - tau2): each mode a scalar equation with two delays,
    # whose roots the dense contour solver proves independently.
    rng = np.random.default_rng(700 + seed)
    n = 40
    L, mu = diffusion(n, advection=0.7, coefficient=0.5)
    c, b, e = float(rng.uniform(-0.3, 0.5)), float(rng.uniform(-1.5, -0.5)), float(rng.uniform(-0.6, 0.6))
    sys = vantor.DelaySystem([L + c * sp.identity(n), b * sp.identity(n), e * sp.identity(n)],
                             [0.0, 1.0, 2.3])
    res = vantor.rightmost_roots(sys, 6)
    reference = np.concatenate([
        vantor.all_roots(pyvantor.lagsys([np.array([[m + c]]), np.array([[b]]), np.array([[e]])],
                                         [0.0, 1.0, 2.3]), res.r - 0.5).roots
        for m in mu])
    reference = ordered(reference)
    assert res.certified
    np.testing.assert_allclose(ordered(res.roots), reference[:6], rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("seed", range(4))
def test_coupled_dense_systems_agree_with_the_dense_solver(seed):
    rng = np.random.default_rng(800 + seed)
    n = int(rng.integers(5, 40))
    A = [rng.normal(size=(n, n)) / math.sqrt(n) - np.eye(n), rng.normal(size=(n, n)) / math.sqrt(n)]
    lagsys = pyvantor.lagsys(A, [0.0, 1.0])
    res = vantor.rightmost_roots(lagsys, 6)
    dense = vantor.all_roots(lagsys, res.r)
    assert res.certified and res.count == int(dense.multiplicity.sum())
    assert_same_roots(res.roots, dense.roots, 1e-9)
    # k = 6 counts with multiplicity; a conjugate pair is returned whole (6 or 7 roots).
    assert res.roots.size in (6, 7)
    np.testing.assert_allclose(ordered(res.roots), ordered(dense.roots)[:res.roots.size], rtol=1e-9,
                               atol=1e-9)


def test_null_vectors_are_returned():
    n = 200
    L, _ = diffusion(n)
    sys = vantor.DelaySystem([L, -0.8 * sp.identity(n)], [0.0, 1.0])
    res = vantor.rightmost_roots(sys, 4)
    I = sp.identity(n, dtype=complex)
    for lam, v in zip(res.roots, res.vectors.T):
        D = lam * I - L.tocsr().astype(complex) + 0.8 * np.exp(-lam) * I
        scale = abs(lam) + 4 * (n + 1) ** 2 / np.pi ** 2 + 0.8 * abs(np.exp(-lam))
        assert np.linalg.norm(D @ v) <= 1e-10 * scale and np.linalg.norm(v) == pytest.approx(1.0)


@pytest.fixture(scope="module")
def sparse_example():
    n = 500
    L, mu = diffusion(n, advection=0.8, coefficient=0.3)
    return [L.tocsr() + 0.3 * sp.identity(n), -0.9 * sp.identity(n)], mu + 0.3


@pytest.mark.parametrize("convert", [sp.csr_matrix, sp.csc_matrix, sp.coo_matrix, sp.csr_array])
def test_every_format_gives_the_same_roots(sparse_example, convert):
    matrices, _ = sparse_example
    reference = vantor.rightmost_roots(vantor.DelaySystem(matrices, [0.0, 1.0]), 5)
    res = vantor.rightmost_roots(vantor.DelaySystem([convert(A) for A in matrices], [0.0, 1.0]), 5)
    np.testing.assert_allclose(res.roots, reference.roots, rtol=1e-12, atol=1e-12)
    assert res.certified


def test_every_root_right_of_a_bound(sparse_example):
    matrices, a = sparse_example
    res = vantor.rightmost_roots(vantor.DelaySystem(matrices, [0.0, 1.0]), r=-2.0)
    expected = mode_roots(a, -0.9, 1.0)
    expected = expected[expected.real > -2.0]
    assert res.certified and res.roots.size == expected.size
    np.testing.assert_allclose(ordered(res.roots), expected, rtol=1e-9, atol=1e-9)


def test_without_certificate(sparse_example):
    matrices, a = sparse_example
    res = vantor.rightmost_roots(vantor.DelaySystem(matrices, [0.0, 1.0]), 3, certify=False)
    assert not res.certified and res.count == -1 and "certify=False" in res.message
    assert res.roots.size in (3, 4)
    np.testing.assert_allclose(ordered(res.roots), mode_roots(a, -0.9, 1.0)[:res.roots.size], rtol=1e-9)


def test_analyses_take_a_sparse_system(sparse_example):
    matrices, a = sparse_example
    sys = vantor.DelaySystem(matrices, [0.0, 1.0])
    expected = mode_roots(a, -0.9, 1.0)
    for r in (-1.0, -2.5):
        assert vantor.count_roots(sys, r) == int(np.count_nonzero(expected.real > r))
    assert vantor.is_stable(sys) == bool(expected[0].real < 0)
    assert vantor.is_stable(sys, margin=-expected[0].real - 1e-3)
    assert not vantor.is_stable(sys, margin=-expected[0].real + 1e-3)
    assert vantor.spectral_abscissa(sys).abscissa == pytest.approx(expected[0].real, rel=1e-10)
    res = vantor.all_roots(sys, -1.5)
    np.testing.assert_allclose(ordered(res.roots), expected[expected.real >= -1.5], rtol=1e-9)
    right = expected[expected.real > -1.5]
    distinct = vantor.distinct_roots(sys, -1.5)
    np.testing.assert_allclose(ordered(distinct.roots), right, rtol=1e-9)
    assert list(distinct.multiplicity) == [1] * right.size
    certificate = vantor.certify(sys, -1.5)
    assert certificate.complete and certificate.count == right.size
    np.testing.assert_allclose(ordered(certificate.roots), right, rtol=1e-9)
    box = vantor.roots_in_box(sys, (-1.5, 1.0, 0.0, 50.0))
    upper = right[right.imag >= 0.0]
    assert box.count == upper.size and box.complete
    np.testing.assert_allclose(ordered(box.roots), upper, rtol=1e-9)
    with pytest.raises(TypeError, match="sparse DelaySystem"):
        vantor.delay_margin(sys)


def test_dense_and_sparse_matrices_give_the_same_roots():
    L, mu = diffusion(80, advection=0.5, coefficient=0.4)
    matrices = [L + 0.2 * sp.identity(80), -0.6 * sp.identity(80)]
    sparse = vantor.rightmost_roots(vantor.DelaySystem(matrices, [0.0, 1.3]), 5)
    dense = vantor.rightmost_roots(vantor.DelaySystem([A.toarray() for A in matrices], [0.0, 1.3]), 5)
    assert sparse.certified and dense.certified and sparse.count == dense.count
    np.testing.assert_allclose(ordered(dense.roots), ordered(sparse.roots), rtol=1e-11, atol=1e-11)
    np.testing.assert_allclose(ordered(sparse.roots), mode_roots(mu + 0.2, -0.6, 1.3)[:sparse.roots.size],
                               rtol=1e-9)


def test_a_dense_delay_system_is_a_lagsys():
    A = [np.array([[0.0, 1.0], [-2.0, -0.3]]), np.array([[0.0, 0.0], [-0.5, 0.0]])]
    dense = vantor.DelaySystem(A, [0.0, 1.0])
    lagsys = pyvantor.lagsys(A, [0.0, 1.0])
    assert not dense.sparse
    np.testing.assert_array_equal(vantor.distinct_roots(dense, -2.0).roots,
                                  vantor.distinct_roots(lagsys, -2.0).roots)
    assert vantor.count_roots(dense, -2.0) == vantor.count_roots(lagsys, -2.0)
    assert str(vantor.certify(dense, -2.0)) == str(vantor.certify(lagsys, -2.0))


@pytest.mark.parametrize("A, delays, error, match", [
    ([], [], ValueError, "at least one"),
    (sp.identity(3), [0.0], TypeError, "list or tuple"),
    ([np.eye(2), np.eye(3)], [0.0, 1.0], ValueError, "A\\[1\\] has shape"),
    ([np.ones((2, 3))], [0.0], ValueError, "square"),
    ([np.eye(2) * 1j], [0.0], TypeError, "real"),
    ([sp.identity(2, dtype=complex)], [0.0], TypeError, "real"),
    ([sp.csr_matrix(np.array([[np.nan, 0.0], [0.0, 1.0]]))], [0.0], ValueError, "non-finite"),
    ([np.eye(2)], [0.0, 1.0], ValueError, "2 entries for 1"),
    ([np.eye(2)], [-1.0], ValueError, "delays\\[0\\]"),
    ([np.eye(2)], [math.inf], ValueError, "delays\\[0\\]"),
    ([np.eye(2)], ["1"], TypeError, "delays\\[0\\]"),
    ([np.eye(2)], 1.0, TypeError, "delays must be a sequence"),
    ([[["a"]]], [0.0], TypeError, "real"),
    ([np.zeros((0, 0))], [0.0], ValueError, "must not be empty"),
    ([sp.csr_matrix((0, 0))], [0.0], ValueError, "must not be empty"),
])
def test_delay_system_refuses(A, delays, error, match):
    with pytest.raises(error, match=match):
        vantor.DelaySystem(A, delays)


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(k=0), ValueError, "k must be >= 1"),
    (dict(seed=-1), ValueError, "seed must be"),
    (dict(seed=1.5), TypeError, "seed must be"),
    (dict(k=2.5), TypeError, "k must be an integer"),
    (dict(r=math.nan), ValueError, "r must be finite"),
    (dict(certify="yes"), TypeError, "certify"),
])
def test_rightmost_roots_refuses(sparse_example, kwargs, error, match):
    matrices, _ = sparse_example
    with pytest.raises(error, match=match):
        vantor.rightmost_roots(vantor.DelaySystem(matrices, [0.0, 1.0]), **kwargs)
    with pytest.raises(TypeError, match="DelaySystem or a pyvantor.lagsys"):
        vantor.rightmost_roots("system")


def test_the_structured_solve_inverts_the_collocation_matrix():
    from vantor._krylov import LargeSystem, ShiftInvert

    rng = np.random.default_rng(3)
    n, N = 4, 9
    A = [rng.normal(size=(n, n)), rng.normal(size=(n, n)), rng.normal(size=(n, n))]
    for sparse, centre in ((False, 0.0), (True, 0.0), (False, 0.3 + 0.8j), (True, -2.0 + 5.0j)):
        system = LargeSystem([sp.csc_matrix(M) if sparse else M for M in A], np.array([0.0, 0.7, 1.5]),
                             sparse)
        op = ShiftInvert(system, N, 0.3 + 0.8j, centre)
        M = np.column_stack([op._apply(e) for e in np.eye(op.size, dtype=complex)])
        y = rng.normal(size=op.size) + 1j * rng.normal(size=op.size)
        x = op._solve(y)
        assert np.linalg.norm((M - op.sigma * np.eye(op.size)) @ x - y) <= 1e-10 * np.linalg.norm(y)


def _executor_case():
    n = 3000
    L, _ = diffusion(n, coefficient=0.5)
    return vantor.DelaySystem([L + 0.2 * sp.identity(n), -0.7 * sp.identity(n)], [0.0, 1.0])


def test_a_process_pool_gives_the_serial_results():
    sys = _executor_case()
    serial = vantor.rightmost_roots(sys, 6)
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        pooled = vantor.rightmost_roots(sys, 6, executor=pool)
    np.testing.assert_array_equal(pooled.roots, serial.roots)
    assert pooled.count == serial.count and pooled.r == serial.r and pooled.certified


def test_a_dask_cluster_gives_the_serial_results():
    distributed = pytest.importorskip("distributed")
    import dask

    sys = _executor_case()
    serial = vantor.rightmost_roots(sys, 6)
    with dask.config.set(vantor.dask_worker_config()):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None)
    client = distributed.Client(cluster)
    try:
        clustered = vantor.rightmost_roots(sys, 6, executor=client)
        counted = vantor.count_roots(sys, serial.r)
    finally:
        client.close()
        cluster.close()
    np.testing.assert_array_equal(clustered.roots, serial.roots)
    assert clustered.count == serial.count == counted



def distinct_with_multiplicity(values, tol=1e-7):
    """Distinct values (relative tol) and how often each occurs."""
    kept, counts = [], []
    for z in values:
        for i, w in enumerate(kept):
            if abs(z - w) <= tol * max(1.0, abs(z)):
                counts[i] += 1
                break
        else:
            kept.append(complex(z))
            counts.append(1)
    return np.array(kept), np.array(counts)


def long_delay_roots(a, b, tau, branches=4):
    """lambda = a_j + w / tau with w exp(w) = b tau exp(-a_j tau), in logarithms (the argument
    overflows for a long delay): w + Log w = Log(b tau) - a_j tau + 2 pi i k by Newton's method."""
    roots = []
    for aj in a:
        for k in range(-branches, branches + 1):
            L = np.log(complex(b * tau)) - aj * tau + 2j * np.pi * k
            w = L - np.log(L)
            for _ in range(60):
                w -= (w + np.log(w) - L) / (1.0 + 1.0 / w)
            roots.append(aj + w / tau)
    return ordered(np.array(roots))


def test_a_delay_far_longer_than_the_time_scale():
    # Every mode's roots lie about 2 pi / tau apart near Re = -log(2 |a_j|) / tau, a lattice much
    # finer than the rates: the k rightmost, not every root within 1e-2 of the axis.
    a, tau = np.array([-1.0, -1.3, -2.0, -3.0]), 1000.0
    found = vantor.rightmost_roots(vantor.DelaySystem([sp.diags(a).tocsr(), -0.5 * sp.identity(4)],
                                                      [0.0, tau]), 4)
    expected = long_delay_roots(a, -0.5, tau)
    assert found.certified and found.roots.size == 4 and found.count == 4
    np.testing.assert_allclose(ordered(found.roots), expected[:4], rtol=1e-9)


def test_a_defective_double_root_is_one_root_of_multiplicity_two():
    # det Delta = (lambda + 1 + 0.3 exp(-lambda))^2: each root double.
    J = sp.csr_matrix(np.array([[-1.0, 1.0], [0.0, -1.0]]))
    found = vantor.rightmost_roots(vantor.DelaySystem([J, -0.3 * sp.identity(2)], [0, 1]), 4)
    expected = -1.0 + complex(lambertw(-0.3 * math.e, 0))
    assert found.certified and list(found.multiplicity) == [2, 2] and found.count == 4
    assert_same_roots(found.roots, np.array([expected, expected.conjugate()]), 1e-7)


@pytest.mark.parametrize("block", [3, 4])
def test_jordan_blocks_are_never_cut_by_the_line(block):
    J = sp.csr_matrix(-np.eye(block) + np.eye(block, k=1))
    found = vantor.rightmost_roots(vantor.DelaySystem([J, -0.3 * sp.identity(block)], [0, 1]), 2)
    assert found.certified and list(found.multiplicity) == [block, block]
    expected = -1.0 + complex(lambertw(-0.3 * math.e, 0))
    assert_same_roots(found.roots, np.array([expected, expected.conjugate()]), 1e-4)


def test_semisimple_roots_of_a_square_grid_count_twice():
    # The 2-D Laplacian on a square grid: modes (i, j) and (j, i) coincide.
    m = 10
    T, mu = diffusion(m)
    I = sp.identity(m)
    L = (sp.kron(T, I) + sp.kron(I, T)).tocsc()
    modes = (mu[:, None] + mu[None, :]).ravel()
    found = vantor.rightmost_roots(vantor.DelaySystem([L, -0.5 * sp.identity(m * m)], [0, 1]), 6)
    expected, counts = distinct_with_multiplicity(mode_roots(modes, -0.5, 1.0, branches=1))
    assert found.certified and found.count == found.multiplicity.sum()
    for z, k in zip(found.roots, found.multiplicity):
        i = int(np.argmin(np.abs(expected - z)))
        assert abs(expected[i] - z) <= 1e-8 * max(1.0, abs(z)) and counts[i] == k


@pytest.mark.parametrize("n, diffusivity", [(50, 0.01), (200, 0.01)])
@pytest.mark.parametrize("certify", [True, False])
def test_upwind_advection_diffusion_is_not_fooled_by_pseudo_eigenvalues(n, diffusivity, certify):
    # d u_xx + u_x by upwind differences on (0, 1): tridiagonal Toeplitz with the sub-diagonal
    # d/h^2 + 1/h far above the super-diagonal d/h^2, eigenvector condition about
    # (1 + h/d)^(n/2): its pseudo-eigenvalues have tiny residuals far from every eigenvalue.
    h = 1.0 / (n + 1)
    A, mu = toeplitz(n, diffusivity / h ** 2 + 1.0 / h, -2.0 * diffusivity / h ** 2 - 1.0 / h,
                     diffusivity / h ** 2)
    found = vantor.rightmost_roots(vantor.DelaySystem([A.tocsc(), -0.5 * sp.identity(n)], [0, 1]), 4,
                                   certify=certify)
    assert found.roots.size >= 4 and found.certified == certify
    assert_same_roots(found.roots, mode_roots(mu, -0.5, 1.0, branches=1), 1e-9)


@pytest.mark.parametrize("A0, multiplicity, rtol", [
    (sp.diags(-np.arange(1.0, 6.0)), 1, 1e-9),                      # diagonal
    (-2.0 * sp.identity(5), 5, 1e-9),                               # c I: semisimple, 5-fold
    (sp.diags([np.ones(4), -2.0 * np.ones(5)], [-1, 0]), 5, 1e-4),  # lower bidiagonal: a 5-block
    (sp.csr_matrix(np.array([[-1.5]])), 1, 1e-9),                   # 1 x 1
    (sp.csr_matrix((5, 5)), 5, 1e-9),                               # all zero
    (sp.dok_matrix(np.diag([-1.0, -2.0, -3.0])), 1, 1e-9),          # a format without .data
])
def test_the_simplest_sparse_models(A0, multiplicity, rtol):
    n = A0.shape[0]
    found = vantor.rightmost_roots(vantor.DelaySystem([A0, -0.3 * sp.identity(n)], [0, 1]), 3)
    modes = np.linalg.eigvals(A0.toarray()).real
    assert found.certified and found.multiplicity[0] == multiplicity
    assert found.count == found.multiplicity.sum() >= 3
    assert_same_roots(found.roots, mode_roots(modes, -0.3, 1.0), rtol)


def test_k_returns_whole_conjugate_pairs():
    system = vantor.DelaySystem([sp.diags(-np.arange(1.0, 6.0)), -0.3 * sp.identity(5)], [0, 1])
    found = vantor.rightmost_roots(system, 3)
    assert found.roots.size == 4
    assert_same_roots(found.roots, np.conj(found.roots), 1e-12)


def test_an_ode_has_only_n_roots_and_says_so():
    found = vantor.rightmost_roots(vantor.DelaySystem([sp.diags(-np.arange(1.0, 6.0))], [0]), 8)
    assert found.certified and found.roots.size == 5 and "only 5 roots" in found.message


def test_an_impossible_k_is_refused_at_once():
    system = vantor.DelaySystem([sp.diags(-np.arange(1.0, 6.0)), sp.identity(5)], [0, 1])
    with pytest.raises(ValueError, match="k = 1000000000"):
        vantor.rightmost_roots(system, 10 ** 9)


@pytest.mark.parametrize("scale", [1e-300, 1e-150, 1e150])
def test_extreme_entries_scale_the_roots(scale):
    # Time measured in units of 1 / scale: the roots of the unscaled system times scale.
    A = [sp.diags(-np.arange(1.0, 6.0)), -0.3 * sp.identity(5)]
    reference = vantor.rightmost_roots(vantor.DelaySystem(A, [0.0, 1.0]), 2)
    scaled = vantor.rightmost_roots(vantor.DelaySystem([scale * M for M in A], [0.0, 1.0 / scale]), 2)
    assert scaled.certified and scaled.count == reference.count
    np.testing.assert_allclose(scaled.roots / scale, reference.roots, rtol=1e-12)


def test_sparse_column_order_fills_as_little_as_superlus_own():
    """The column order computed once is applied the way SuperLU applies it: the factors of the
    reordered characteristic matrix fill no more than SuperLU's own ordering of it (the inverse
    order fills several times more)."""
    import scipy.sparse.linalg

    from vantor._krylov import LargeSystem

    rng = np.random.default_rng(4)
    # A 2-D grid Laplacian under a random permutation: too wide a band for the banded path.
    m = 40
    T = sp.diags([np.ones(m - 1), -2.0 * np.ones(m), np.ones(m - 1)], [-1, 0, 1])
    A0 = sp.kron(T, sp.identity(m)) + sp.kron(sp.identity(m), T)
    n = m * m
    perm = rng.permutation(n)
    A0 = sp.csc_matrix(A0)[perm][:, perm]
    A1 = -0.5 * sp.identity(n, format="csc")
    system = LargeSystem([A0, A1], np.array([0.0, 1.0]), True)
    assert system.band is None
    z = 0.3 + 0.7j
    weights = -np.exp(-z * system.delays)
    ours = system.sparse_lu(weights, z)
    theirs = scipy.sparse.linalg.splu(sp.csc_matrix(z * sp.identity(n) + weights[0] * A0
                                                    + weights[1] * A1))
    assert ours.L.nnz + ours.U.nnz <= 1.5 * (theirs.L.nnz + theirs.U.nnz)


@pytest.mark.parametrize("sparse", [False, True])
@pytest.mark.parametrize("delayed", ["scalar", "commuting"])
def test_counts_from_the_eigenvalues_of_a_symmetric_part_match_determinants(sparse, delayed):
    # Delayed terms c_k I, or symmetric ones sharing the undelayed part's eigenvectors, beside a
    # symmetric undelayed part: arg det Delta and its log-derivative from the eigenvalues, against
    # a dense LU of Delta at each point.
    from vantor._krylov import LargeSystem

    rng = np.random.default_rng(5)
    n = 30
    I = np.eye(n)
    if delayed == "scalar":
        S = rng.normal(size=(n, n))
        S = S + S.T
        matrices = [S, -0.7 * I, 0.3 * I]
    else:
        Q = np.linalg.qr(rng.normal(size=(n, n)))[0]
        S, B, C = (Q @ np.diag(rng.normal(size=n)) @ Q.T for _ in range(3))
        matrices = [(S + S.T) / 2, -0.7 * (B + B.T) / 2, 0.3 * (C + C.T) / 2]
    delays = np.array([0.0, 1.0, 2.5])
    system = LargeSystem([sp.csc_matrix(M) if sparse else M for M in matrices], delays, sparse)
    assert system.spectral_form() is not None
    z = 3.0 * rng.normal(size=40) + 3j * rng.normal(size=40)
    phases, rates, zero = system.det_phase(z)
    assert not zero.any()
    for phase, rate, lam in zip(phases, rates, z):
        delta = lam * I - sum(np.exp(-lam * h) * M for h, M in zip(delays, matrices))
        derivative = I + sum(h * np.exp(-lam * h) * M for h, M in zip(delays, matrices))
        sign, _ = np.linalg.slogdet(delta)
        assert abs(np.angle(np.exp(1j * phase) / sign)) <= 1e-9
        assert rate == pytest.approx(abs(np.trace(np.linalg.solve(delta, derivative))), rel=1e-9)


@pytest.mark.parametrize("change", ["unsymmetric", "delayed matrix", "not commuting"])
def test_other_systems_count_by_factorizations(change):
    from vantor._krylov import LargeSystem

    n = 6
    S, A1 = np.diag(np.arange(1.0, n + 1)), -0.5 * np.eye(n)
    if change == "unsymmetric":
        S[0, 1] = 1.0
    elif change == "delayed matrix":
        A1[2, 3] = 0.1
    else:
        A1[2, 3] = A1[3, 2] = 0.1   # symmetric, but S A1 != A1 S
    assert LargeSystem([S, A1], np.array([0.0, 1.0]), False).spectral_form() is None


def reducible_system(kind, seed):
    """A sparse system whose pattern is block triangular under a hidden symmetric permutation:
    'triangular' (every block 1 x 1), 'mixed' (1 x 1 blocks, a 3 x 3 block and a 240 x 240 one,
    above the order factored densely). -0.5 I at delay 1 and a diagonal term at delay 0.4."""
    rng = np.random.default_rng(seed)
    sizes = {"triangular": [1] * 300, "mixed": [1] * 40 + [3] + [240] + [1] * 20}[kind]
    n = sum(sizes)
    T = sp.lil_matrix((n, n))
    start = 0
    for size in sizes:
        block = slice(start, start + size)
        if size == 1:
            T[start, start] = rng.uniform(-6.0, 0.5)
        else:
            T[block, block] = sp.random(size, size, density=min(1.0, 4.0 / size), random_state=rng) \
                + sp.diags(rng.uniform(-6.0, 0.5, size))
        start += size
    T = sp.csr_matrix(T) + sp.tril(sp.random(n, n, density=2.0 / n, random_state=rng), -max(sizes))
    perm = rng.permutation(n)
    P = sp.identity(n, format="csr")[perm]
    A0 = sp.csc_matrix(P @ T @ P.T)
    A2 = sp.diags(rng.uniform(-0.3, 0.3, n), format="csc")
    return [A0, -0.5 * sp.identity(n, format="csc"), A2], np.array([0.0, 1.0, 0.4])


@pytest.mark.parametrize("kind", ["triangular", "mixed"])
def test_reducible_patterns_count_by_their_diagonal_blocks(kind):
    # arg det Delta and |(det Delta)'/det Delta| from the blocks against a dense LU of Delta.
    from vantor._krylov import LargeSystem

    matrices, delays = reducible_system(kind, seed=8)
    system = LargeSystem(matrices, delays, True)
    assert system._blocks is not None
    dense = [M.toarray() for M in matrices]
    n = dense[0].shape[0]
    rng = np.random.default_rng(9)
    z = rng.uniform(-2.0, 1.0, 12) + 1j * rng.uniform(-8.0, 8.0, 12)
    phases, rates, zero = system.det_phase(z)
    assert not zero.any()
    # The 240 x 240 block takes a forward difference of log det (its slope to about 1e-6) and
    # its fixed column order turns the argument by a constant (the same at every point).
    rtol = 1e-9 if kind == "triangular" else 1e-5
    offset = None
    for phase, rate, lam in zip(phases, rates, z):
        delta = lam * np.eye(n) - sum(np.exp(-lam * h) * M for h, M in zip(delays, dense))
        derivative = np.eye(n) + sum(h * np.exp(-lam * h) * M for h, M in zip(delays, dense))
        sign, _ = np.linalg.slogdet(delta)
        turn = np.exp(1j * phase) / sign
        offset = turn if offset is None else offset
        assert abs(np.angle(turn / offset)) <= 1e-8
        assert rate == pytest.approx(abs(np.trace(np.linalg.solve(delta, derivative))), rel=rtol)
    assert kind != "triangular" or abs(np.angle(offset)) <= 1e-8


def test_a_permuted_triangular_system_has_the_roots_of_its_diagonal():
    # det Delta is the product of lambda - t_i + 0.5 exp(-lambda): Lambert W on every diagonal entry.
    rng = np.random.default_rng(10)
    n = 400
    t = rng.uniform(-8.0, 0.2, n)
    T = sp.diags(t) + sp.tril(sp.random(n, n, density=3.0 / n, random_state=rng), -1)
    perm = rng.permutation(n)
    A0 = sp.csc_matrix(T)[perm][:, perm]
    found = vantor.rightmost_roots(vantor.DelaySystem([A0, -0.5 * sp.identity(n, format="csc")],
                                                      [0.0, 1.0]), 6)
    exact = mode_roots(t, -0.5, 1.0)
    assert found.certified
    assert found.count == np.count_nonzero(exact.real > found.r)
    assert_same_roots(found.roots, exact, 1e-10)


@pytest.mark.parametrize("seed", range(3))
def test_dense_modes_under_a_similarity_are_certified_by_their_eigenvalues(seed):
    # Q diag(a) Q^T and Q diag(b) Q^T: the count runs on the common eigenbasis; the roots are
    # Lambert W's on every mode.
    from vantor.large import large_system

    rng = np.random.default_rng(seed)
    n = 150
    Q = np.linalg.qr(rng.normal(size=(n, n)))[0]
    a = rng.uniform(-6.0, 0.3, n)
    b = rng.uniform(-1.0, -0.3, n)
    sys = pyvantor.lagsys([Q @ np.diag(a) @ Q.T, Q @ np.diag(b) @ Q.T], [0.0, 1.0])
    assert large_system(sys).spectral_form() is not None
    found = vantor.rightmost_roots(sys, 6)
    with np.errstate(over="ignore", invalid="ignore"):
        exact = np.concatenate([a + lambertw(b * np.exp(-a), k) for k in range(-4, 5)])
    exact = exact[np.isfinite(exact)]
    assert found.certified
    assert found.count == np.count_nonzero(exact.real > found.r)
    assert_same_roots(found.roots, exact, 1e-9)


@pytest.mark.parametrize("seed", range(16))
def test_small_dense_systems_under_a_similarity_match_lambert_w(seed):
    # Small dense systems (Arnoldi in the compiled kernel, a count before any covering shift):
    # x' = a_j x + b_j x(t - h) hidden by a random similarity, some |b_j| h large, whose roots
    # climb far up the axis with real parts near the others'.
    rng = np.random.default_rng(900 + seed)
    n = int(rng.integers(1, 17))
    a = rng.uniform(-1.0, 0.5, n)
    b = rng.uniform(-3.0, 3.0, n) * rng.choice([1.0, 10.0], n)
    h = float(rng.uniform(0.3, 1.5))
    X = np.eye(n) + 0.4 * rng.normal(size=(n, n)) / np.sqrt(n)
    Xinv = np.linalg.inv(X)
    sys = pyvantor.lagsys([X @ np.diag(a) @ Xinv, X @ np.diag(b) @ Xinv], [0.0, h])
    k = int(rng.integers(1, 9))
    found = vantor.rightmost_roots(sys, k)
    exact = mode_roots(a, b, h, branches=12)
    assert found.certified and found.multiplicity.sum() >= k
    assert found.count == np.count_nonzero(exact.real > found.r) == found.multiplicity.sum()
    assert_same_roots(found.roots, exact, 1e-9)
    # The same system in another unit of time (t = s t'): roots / s, the same count.
    scale = 1e-3 if seed % 2 else 1e3
    slow = vantor.rightmost_roots(pyvantor.lagsys([X @ np.diag(a / scale) @ Xinv, X @ np.diag(b / scale) @ Xinv],
                                                  [0.0, h * scale]), k)
    assert slow.certified and slow.count == found.count
    np.testing.assert_allclose(ordered(slow.roots * scale), ordered(found.roots), rtol=1e-9, atol=1e-9)


def low_rank_modes(n=100, seed=0):
    """X diag(a) X^-1 and X diag(b) X^-1 with two nonzero b_j (a delayed term of rank 2, neither
    symmetric nor normal): the roots are a_j for every other mode and Lambert W's for those two."""
    rng = np.random.default_rng(seed)
    X = np.eye(n) + 0.3 * rng.normal(size=(n, n)) / np.sqrt(n)
    a = rng.uniform(-5.0, -0.2, n)
    b = np.zeros(n)
    b[:2] = [-1.5, -0.8]
    a[:2] = [0.4, 0.1]
    Xinv = np.linalg.inv(X)
    with np.errstate(over="ignore", invalid="ignore"):
        exact = np.concatenate([a[2:]] + [a[:2] + lambertw(b[:2] * np.exp(-a[:2]), k) for k in range(-6, 7)])
    return [X @ np.diag(a) @ Xinv, X @ np.diag(b) @ Xinv], np.array([0.0, 1.0]), exact[np.isfinite(exact)]


def test_low_rank_delayed_terms_count_through_the_schur_form():
    from vantor._krylov import LargeSystem

    matrices, delays, exact = low_rank_modes()
    system = LargeSystem(matrices, delays, False)
    assert system.spectral_form() is None
    form = system.low_rank_form()
    assert form is not None and form.U.shape == (100, 2)
    rng = np.random.default_rng(1)
    z = rng.uniform(-3.0, 1.0, 10) + 1j * rng.uniform(-10.0, 10.0, 10)
    phases, rates, zero = system.det_phase(z)
    assert not zero.any()
    offset = None
    for phase, rate, lam in zip(phases, rates, z):
        delta = lam * np.eye(100) - sum(np.exp(-lam * h) * M for h, M in zip(delays, matrices))
        derivative = np.eye(100) + sum(h * np.exp(-lam * h) * M for h, M in zip(delays, matrices))
        sign, _ = np.linalg.slogdet(delta)
        turn = np.exp(1j * phase) / sign   # the Schur basis turns every point by the same angle
        offset = turn if offset is None else offset
        assert abs(np.angle(turn / offset)) <= 1e-9
        assert rate == pytest.approx(abs(np.trace(np.linalg.solve(delta, derivative))), rel=1e-9)
    found = vantor.rightmost_roots(pyvantor.lagsys(matrices, delays), 6)
    assert found.certified and found.count == np.count_nonzero(exact.real > found.r)
    assert_same_roots(found.roots, exact, 1e-9)


def test_a_point_on_an_eigenvalue_of_the_undelayed_part_is_factored():
    # z I - T is singular at T's diagonal entries, Delta is not: the count factors Delta there.
    from vantor._krylov import LargeSystem

    rng = np.random.default_rng(2)
    n = 80
    A0 = np.triu(rng.normal(size=(n, n)), 1) + np.diag(-np.arange(1.0, n + 1))
    A1 = np.outer(rng.normal(size=n), rng.normal(size=n))
    system = LargeSystem([A0, A1], np.array([0.0, 1.0]), False)
    form = system.low_rank_form()
    assert form is not None and -3.0 in np.diag(form.T)
    lam = np.array([-3.0 + 0j, -3.0 + 1e-3j])
    phases, rates, zero = system.det_phase(lam)
    assert not zero.any() and np.all(np.isfinite(rates))
    delta = -3.0 * np.eye(n) - A0 - np.exp(3.0) * A1
    derivative = np.eye(n) + np.exp(3.0) * A1
    assert rates[0] == pytest.approx(abs(np.trace(np.linalg.solve(delta, derivative))), rel=1e-9)


@pytest.mark.parametrize("seed", range(4))
def test_dense_balancing_makes_a_tridiagonal_matrix_symmetric_in_moduli(seed):
    # A tridiagonal matrix with nonzero pairs is balanced exactly: |(D A D^-1)_ij| = |(D A D^-1)_ji|.
    from vantor.large import _balancing
    rng = np.random.default_rng(seed)
    n = 12
    A = np.diag(rng.normal(size=n))
    A[np.arange(n - 1), np.arange(1, n)] = rng.normal(size=n - 1) * np.exp(rng.uniform(-9, 9, n - 1))
    A[np.arange(1, n), np.arange(n - 1)] = rng.normal(size=n - 1) * np.exp(rng.uniform(-9, 9, n - 1))
    for given in (A, sp.csr_matrix(A)):
        d = np.exp(_balancing(given))
        B = np.abs(d[:, None] * A / d[None, :])
        np.testing.assert_allclose(B, B.T, rtol=1e-6)
