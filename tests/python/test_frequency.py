"""The exact frequency response and the proven H-infinity norm against independent references:
scalar transfer functions maximized by a dense grid and bounded refinement, block-diagonal systems
hidden by an orthogonal similarity, random MIMO systems against a fine grid, and bad input."""

import numpy as np
import pytest
from scipy.optimize import minimize_scalar
from scipy.stats import ortho_group

import pyvantor
import vantor


def lagsys(matrices, delays):
    return pyvantor.lagsys([np.atleast_2d(np.asarray(M, dtype=float)) for M in matrices], list(delays))


def peak_of(sigma, top=60.0, points=200_001):
    """max over omega >= 0 of sigma(omega) by a grid on [0, top] and bounded refinement around the
    best grid point: an estimate independent of the branch and bound."""
    w = np.linspace(0.0, top, points)
    values = sigma(w)
    i = int(np.argmax(values))
    step = w[1] - w[0]
    res = minimize_scalar(lambda x: -sigma(np.array([x]))[0], bounds=(max(0.0, w[i] - step), w[i] + step),
                          method="bounded", options={"xatol": 1e-13})
    return max(float(values[i]), -float(res.fun)), float(values.max())


def response(A, h, B, C, D, w):
    """C (i w I - sum_k A_k exp(-i w h_k))^-1 B + D, shaped (outputs, inputs, len(w))."""
    w = np.asarray(w, dtype=float)
    n = A[0].shape[0]
    Delta = 1j * w[:, None, None] * np.eye(n) - sum(Ak * np.exp(-1j * w * hk)[:, None, None]
                                                    for Ak, hk in zip(A, h))
    return np.moveaxis(C @ np.linalg.solve(Delta, np.broadcast_to(B, (w.size,) + B.shape)) + D, 0, -1)


@pytest.mark.parametrize("a, b, h", [(2.0, 1.0, 1.0), (1.0, -0.8, 2.0), (3.0, 2.5, 0.5), (1.0, 0.9, 5.0),
                                     (0.5, -0.45, 10.0), (4.0, 3.9, 0.1)])
def test_scalar_norm_is_one_over_the_least_distance(a, b, h):
    # G(s) = 1 / (s + a + b exp(-s h)), a > |b| (stable for every delay).
    found = vantor.hinf_norm(lagsys([[-a], [-b]], [0.0, h]), [[1.0]], [[1.0]])
    exact, _ = peak_of(lambda w: 1.0 / np.abs(1j * w + a + b * np.exp(-1j * w * h)))
    assert found.attained and found.norm <= found.upper <= (1.0 + 1e-8) * found.norm * (1.0 + 1e-15)
    assert found.norm <= exact * (1.0 + 1e-12)
    assert exact <= found.upper
    # The peak's frequency is refined: the value is the peak's to rounding, not only to rtol.
    assert found.norm >= exact * (1.0 - 1e-12)
    assert abs(1.0 / abs(1j * found.frequency + a + b * np.exp(-1j * found.frequency * h))
               - found.norm) <= 1e-12 * found.norm


@pytest.mark.parametrize("seed", range(3))
def test_blocks_hidden_by_a_similarity_give_the_largest_block_norm(seed):
    # A_k = Q diag Q^T, B = Q diag(beta), C = diag(gamma) Q^T: G is diagonal with the scalar
    # gamma_j beta_j / (s + a_j + b_j exp(-s h)).
    rng = np.random.default_rng(seed)
    n, h = 4, 0.7
    a = rng.uniform(1.0, 3.0, n)
    b = rng.uniform(-0.9, 0.9, n) * a
    beta, gamma = rng.uniform(0.5, 2.0, n), rng.uniform(0.5, 2.0, n)
    Q = ortho_group.rvs(n, random_state=rng)
    sys = lagsys([Q @ np.diag(-a) @ Q.T, Q @ np.diag(-b) @ Q.T], [0.0, h])
    found = vantor.hinf_norm(sys, Q @ np.diag(beta), np.diag(gamma) @ Q.T)
    blocks = [peak_of(lambda w, j=j: beta[j] * gamma[j] / np.abs(1j * w + a[j] + b[j] * np.exp(-1j * w * h)))[0]
              for j in range(n)]
    assert max(blocks) <= found.upper
    assert found.norm == pytest.approx(max(blocks), rel=1e-8)


@pytest.mark.parametrize("seed", range(4))
def test_random_mimo_norms_bound_a_fine_grid(seed):
    rng = np.random.default_rng(100 + seed)
    n, m = int(rng.integers(2, 9)), int(rng.integers(1, 4))
    delays = [0.0] + sorted(rng.uniform(0.1, 2.0, m).tolist())
    while True:
        A = [rng.normal(size=(n, n)) - 3.0 * np.eye(n)] + [0.5 * rng.normal(size=(n, n)) / np.sqrt(n)
                                                           for _ in range(m)]
        sys = lagsys(A, delays)
        if vantor.spectral_abscissa(sys).abscissa < -0.05:
            break
    B, C, D = rng.normal(size=(n, 2)), rng.normal(size=(2, n)), 0.1 * rng.normal(size=(2, 2))
    found = vantor.hinf_norm(sys, B, C, D)
    sigma = lambda w: np.linalg.norm(np.moveaxis(response(A, delays, B, C, D, w), -1, 0), ord=2, axis=(1, 2))  # noqa: E731
    w = np.linspace(0.0, 40.0, 100_001)
    grid = sigma(w)
    assert grid.max() <= found.upper
    i = int(np.argmax(grid))
    res = minimize_scalar(lambda x: -sigma(np.array([x]))[0], bounds=(max(0.0, w[i] - 4e-4), w[i] + 4e-4),
                          method="bounded", options={"xatol": 1e-13})
    assert found.norm == pytest.approx(max(grid.max(), -res.fun), rel=1e-8)


def test_a_norm_approached_only_at_infinite_frequency():
    # G(s) = 1 - 0.1 / (s + 2): |G(i omega)|^2 = (3.61 + omega^2) / (4 + omega^2) < 1 = ||D||.
    found = vantor.hinf_norm(lagsys([[-2.0], [0.0]], [0.0, 1.0]), [[1.0]], [[-0.1]], [[1.0]])
    assert not found.attained and found.frequency == np.inf
    assert found.norm == 1.0 and found.upper == pytest.approx(1.0 + 1e-8, rel=1e-15)


def test_frequency_response_is_the_resolvent_formula():
    rng = np.random.default_rng(7)
    n = 5
    A = [rng.normal(size=(n, n)), rng.normal(size=(n, n)), rng.normal(size=(n, n))]
    delays = [0.0, 0.4, 1.3]
    B, C, D = rng.normal(size=(n, 3)), rng.normal(size=(2, n)), rng.normal(size=(2, 3))
    w = np.concatenate([[-3.0, 0.0], rng.uniform(0.0, 20.0, 30)])
    G = vantor.frequency_response(lagsys(A, delays), B, C, D, omega=w)
    assert G.shape == (2, 3, w.size)
    np.testing.assert_allclose(G, response(A, delays, B, C, D, w), rtol=1e-11, atol=1e-13)
    # A real system: G(-i omega) is the conjugate of G(i omega).
    np.testing.assert_allclose(vantor.frequency_response(lagsys(A, delays), B, C, D, omega=-w), G.conj(),
                               rtol=1e-12, atol=1e-14)
    # x' = -(pi/2) x(t - 1) has roots +-i pi/2: a pole of G on the axis.
    pole = vantor.frequency_response(lagsys([[0.0], [-np.pi / 2]], [0.0, 1.0]), [[1.0]], [[1.0]],
                                     omega=[np.pi / 2, 1.0])
    assert np.all(np.isfinite(pole[..., 1])) and (not np.isfinite(pole[0, 0, 0]) or abs(pole[0, 0, 0]) > 1e12)


def test_time_rescaling_keeps_the_norm_and_scales_the_frequency():
    # t -> s t: A_k -> A_k / s, h_k -> s h_k, B -> B / s: the same gains at frequency omega / s.
    A = [np.array([[-1.0, 2.0], [-3.0, -1.5]]), np.array([[0.2, -0.3], [0.1, 0.4]])]
    B, C = np.array([[1.0], [0.5]]), np.array([[1.0, -1.0]])
    base = vantor.hinf_norm(lagsys(A, [0.0, 0.8]), B, C)
    for s in (1e-3, 0.01, 7.0, 1e3):  # the refined peak scales to rounding, not only to rtol
        scaled = vantor.hinf_norm(lagsys([M / s for M in A], [0.0, 0.8 * s]), B / s, C)
        assert scaled.norm == pytest.approx(base.norm, rel=1e-12)
        assert scaled.frequency == pytest.approx(base.frequency / s, rel=1e-9)


STABLE = lagsys([[-2.0], [0.5]], [0.0, 1.0])


@pytest.mark.parametrize("args, kwargs, error, match", [
    (([[1.0], [1.0]], [[1.0]]), {}, ValueError, "B must have shape"),
    (([[1.0]], [[1.0, 1.0]]), {}, ValueError, "C must have shape"),
    (([[1.0]], [[1.0]], [[1.0, 2.0]]), {}, ValueError, "D must have shape"),
    (([[np.nan]], [[1.0]]), {}, ValueError, "B has a non-finite"),
    (([[1.0]], [[np.inf]]), {}, ValueError, "C has a non-finite"),
    (([[1.0]], [[1.0]]), {"rtol": 0.0}, ValueError, "rtol"),
    (([[1.0]], [[1.0]]), {"rtol": "a"}, TypeError, "rtol"),
    (([[1.0]], [[1.0]]), {"max_evaluations": 0}, ValueError, "max_evaluations"),
    ((["x"], [[1.0]]), {}, TypeError, "B must be a real matrix"),
])
def test_hinf_norm_refuses(args, kwargs, error, match):
    with pytest.raises(error, match=match):
        vantor.hinf_norm(STABLE, *args, **kwargs)


def test_unstable_systems_and_bad_frequencies_are_refused():
    with pytest.raises(ValueError, match="not stable: its rightmost root"):
        vantor.hinf_norm(lagsys([[0.5], [-0.1]], [0.0, 1.0]), [[1.0]], [[1.0]])
    with pytest.raises(ValueError, match="non-finite"):
        vantor.frequency_response(STABLE, [[1.0]], [[1.0]], omega=[1.0, np.nan])
    with pytest.raises(ValueError, match="1-D"):
        vantor.frequency_response(STABLE, [[1.0]], [[1.0]], omega=[[1.0]])
    with pytest.raises(RuntimeError, match="max_evaluations"):
        vantor.hinf_norm(STABLE, [[1.0]], [[1.0]], max_evaluations=10)


def perturbed_smallest_singular_value(A, delays, perturbation, weights, omega):
    n = A[0].shape[0]
    Delta = 1j * omega * np.eye(n) - sum((Ak + wk * Dk) * np.exp(-1j * omega * hk)
                                         for Ak, Dk, wk, hk in zip(A, perturbation, weights, delays))
    return np.linalg.svd(Delta, compute_uv=False)[-1]


@pytest.mark.parametrize("a, b, h", [(2.0, 1.0, 1.0), (1.0, -0.8, 2.0), (3.0, 2.5, 0.5)])
@pytest.mark.parametrize("weights", [(1.0, 1.0), (1.0, 0.0), (0.0, 2.0)])
def test_scalar_stability_radius_is_the_least_distance_over_the_weights(a, b, h, weights):
    # x' = -a x - b x(t - h): the crossing condition i w = -(a + w0 d0) - (b + w1 d1) e^{-i w h} with
    # |d_k| <= eps first holds at eps = min_w |i w + a + b e^{-i w h}| / (w0 + w1).
    sys = lagsys([[-a], [-b]], [0.0, h])
    found = vantor.stability_radius(sys, weights=weights)
    peak, _ = peak_of(lambda w: 1.0 / np.abs(1j * w + a + b * np.exp(-1j * w * h)))
    exact = 1.0 / (sum(weights) * peak)
    assert found.lower <= exact * (1.0 + 1e-12) and exact <= found.radius * (1.0 + 1e-12)
    assert found.radius == pytest.approx(exact, rel=1e-8)
    assert all(abs(np.linalg.norm(D, 2) - found.radius) <= 1e-12 for D in found.perturbation)
    A = [np.array([[-a]]), np.array([[-b]])]
    assert perturbed_smallest_singular_value(A, [0.0, h], found.perturbation, weights, found.frequency) <= 1e-12


@pytest.mark.parametrize("seed", range(3))
def test_the_radius_perturbation_puts_a_root_on_the_axis(seed):
    rng = np.random.default_rng(200 + seed)
    n = 5
    delays, weights = [0.0, 0.5, 1.7], np.array([1.0, 0.5, 2.0])
    while True:
        A = [rng.normal(size=(n, n)) - 3.0 * np.eye(n), 0.5 * rng.normal(size=(n, n)),
             0.3 * rng.normal(size=(n, n))]
        sys = lagsys(A, delays)
        if vantor.spectral_abscissa(sys).abscissa < 0.0:
            break
    found = vantor.stability_radius(sys, weights=weights)
    assert perturbed_smallest_singular_value(A, delays, found.perturbation, weights, found.frequency) \
        <= 1e-10 * np.linalg.norm(A[0], 2)
    w = np.linspace(0.0, 40.0, 40_001)
    Delta = 1j * w[:, None, None] * np.eye(n) - sum(Ak * np.exp(-1j * w * hk)[:, None, None]
                                                    for Ak, hk in zip(A, delays))
    grid = np.linalg.svd(Delta, compute_uv=False)[:, -1].min() / weights.sum()
    assert found.lower <= grid and found.radius <= grid * (1.0 + 1e-12)


@pytest.mark.parametrize("weights, error, match", [
    ([1.0], ValueError, "one entry per term"),
    ([1.0, -1.0], ValueError, ">= 0"),
    ([0.0, 0.0], ValueError, "not all zero"),
    ([1.0, np.nan], ValueError, "non-finite"),
    ("ab", TypeError, "weights"),
])
def test_stability_radius_refuses(weights, error, match):
    with pytest.raises(error, match=match):
        vantor.stability_radius(STABLE, weights=weights)
    with pytest.raises(ValueError, match="not stable"):
        vantor.stability_radius(lagsys([[0.5], [-0.1]], [0.0, 1.0]))


@pytest.mark.parametrize("eps, weight", [(0.1, 1.0), (0.7, 2.0)])
def test_pseudospectral_abscissa_of_a_normal_matrix_moves_by_eps(eps, weight):
    # Delay-free and symmetric: the pseudospectrum is the union of discs of radius w eps.
    rng = np.random.default_rng(3)
    Q = ortho_group.rvs(4, random_state=rng)
    values = np.array([-0.5, -1.0, -2.0, -4.0])
    found = vantor.pseudospectral_abscissa(lagsys([Q @ np.diag(values) @ Q.T], [0.0]), eps, weights=[weight])
    assert found.abscissa == pytest.approx(-0.5 + weight * eps, abs=1e-10)


@pytest.mark.parametrize("seed", range(3))
def test_pseudospectral_abscissa_crosses_zero_at_the_stability_radius(seed):
    # Two independent computations: the proven radius, and the ascent's rightmost point.
    rng = np.random.default_rng(300 + seed)
    n = 3
    while True:
        A = [rng.normal(size=(n, n)) - 2.0 * np.eye(n), 0.5 * rng.normal(size=(n, n))]
        sys = lagsys(A, [0.0, 0.8])
        if vantor.spectral_abscissa(sys).abscissa < -0.1:
            break
    radius = vantor.stability_radius(sys).radius
    assert vantor.pseudospectral_abscissa(sys, 0.999 * radius).abscissa < 0.0
    assert vantor.pseudospectral_abscissa(sys, 1.001 * radius).abscissa > 0.0


def test_pseudospectral_abscissa_of_a_scalar_delay_equation_against_a_grid():
    # |lambda + 1 + 2 exp(-lambda)| <= 0.3 (1 + exp(-Re lambda)) on a fine grid of the plane.
    a, b, eps = -1.0, -2.0, 0.3
    found = vantor.pseudospectral_abscissa(lagsys([[a], [b]], [0.0, 1.0]), eps)
    x, y = np.meshgrid(np.linspace(-1.0, 1.5, 1001), np.linspace(0.0, 6.0, 2401))
    lam = x + 1j * y
    inside = np.abs(lam - a - b * np.exp(-lam)) <= eps * (1.0 + np.exp(-x))
    grid = x[inside].max()
    value = abs(found.point - a - b * np.exp(-found.point)) - eps * (1.0 + np.exp(-found.point.real))
    assert abs(value) <= 1e-10                      # on the boundary
    assert grid - 2.5e-3 <= found.abscissa <= grid + 2.5e-3


@pytest.mark.parametrize("kwargs, error, match", [
    ({"eps": 0.0}, ValueError, "eps must be > 0"),
    ({"eps": np.inf}, ValueError, "eps"),
    ({"eps": 0.1, "starts": 0}, ValueError, "starts"),
    ({"eps": 0.1, "starts": 1.5}, TypeError, "starts"),
    ({"eps": 0.1, "weights": [1.0]}, ValueError, "one entry per term"),
])
def test_pseudospectral_abscissa_refuses(kwargs, error, match):
    with pytest.raises(error, match=match):
        vantor.pseudospectral_abscissa(STABLE, **kwargs)


def test_a_state_space_plant_gives_b_c_and_d():
    control = pytest.importorskip("control")
    plant = control.ss(control.tf([2.0], [1.0, 3.0, 2.0]))
    loop = vantor.feedback_system(plant, K=0.5, delay=0.4)
    B, C = np.asarray(plant.B), np.asarray(plant.C)
    assert vantor.hinf_norm(loop, plant) == vantor.hinf_norm(loop, B, C)
    w = np.array([0.0, 1.0, 5.0])
    np.testing.assert_array_equal(vantor.frequency_response(loop, plant, omega=w),
                                  vantor.frequency_response(loop, B, C, omega=w))
    with pytest.raises(TypeError, match="omit them"):
        vantor.hinf_norm(loop, plant, C)
    with pytest.raises(TypeError, match="C is required"):
        vantor.hinf_norm(loop, B)
