"""Delay margins, stability switches, root sensitivities and abscissa-minimizing gains against
closed forms: scalar equations (Lambert W, the crossing frequency sqrt(b^2 - a^2)), decoupled modes
hidden by a similarity, second-order equations whose crossing delays follow from the modulus
equation, and the double root that minimizes the abscissa of x' = a x + b x(t - h)."""

import math

import numpy as np
import pytest
from scipy.special import lambertw

import pyvantor
import vantor
from reference import lambert_roots


def scalar(a, b, h=1.0):
    return pyvantor.lagsys([np.array([[a]]), np.array([[b]])], [0.0, h])


def scalar_crossing(a, b):
    """(omega, tau_0): x' = a x + b x(t - tau) has roots +-i omega at tau_0 + 2 pi m / omega; None
    when |b| <= |a| (no root ever reaches the axis)."""
    if abs(b) <= abs(a):
        return None
    omega = math.sqrt(b * b - a * a)
    # i omega = a + b exp(-i omega tau): cos(omega tau) = -a / b, sin(omega tau) = -omega / b.
    return omega, math.atan2(-omega / b, -a / b) % (2 * math.pi) / omega


def hidden(blocks, seed):
    """The matrices Q diag(...) Q^-1 of a random well-conditioned Q."""
    rng = np.random.default_rng(seed)
    n = len(blocks[0])
    Q = rng.normal(size=(n, n)) + 3 * np.eye(n)
    Qi = np.linalg.inv(Q)
    return [Q @ np.diag(d) @ Qi for d in blocks]


def second_order(a, b, c):
    """x'' + a x' + b x = c x(t - tau) as a first-order system, tau = 1."""
    return pyvantor.lagsys([np.array([[0.0, 1.0], [-b, -a]]), np.array([[0.0, 0.0], [c, 0.0]])],
                           [0.0, 1.0])


def second_order_crossings(a, b, c, up_to):
    """(tau, omega, direction) by hand: |b - omega^2 + i a omega| = |c| gives
    omega^4 + (a^2 - 2b) omega^2 + b^2 - c^2 = 0; roots cross to the right at the larger omega^2
    (where that polynomial increases) and to the left at the smaller one; the phase of
    exp(-i omega tau) = (b - omega^2 + i a omega) / c gives tau."""
    disc = (a * a - 2 * b) ** 2 - 4 * (b * b - c * c)
    found = []
    for direction in (1, -1):
        u = (2 * b - a * a + direction * math.sqrt(disc)) / 2
        if u <= 0:
            continue
        omega = math.sqrt(u)
        theta = -np.angle((b - u + 1j * a * omega) / c) % (2 * math.pi)
        m = 0
        while (theta + 2 * math.pi * m) / omega <= up_to:
            found.append(((theta + 2 * math.pi * m) / omega, omega, direction))
            m += 1
    return sorted(found)


# ---------------------------------------------------------------------------- delay margins


@pytest.mark.parametrize("k", [0.3, 1.0, 5.0])
@pytest.mark.parametrize("given", [1.0, 2.5])
def test_margin_of_a_pure_delay_is_pi_over_2k(k, given):
    res = vantor.delay_margin(scalar(0.0, -k, given))
    assert res.method == "exact"
    assert res.factor * given == pytest.approx(math.pi / (2 * k), rel=1e-13)
    assert res.frequency == pytest.approx(k, rel=1e-13)
    assert res.root == pytest.approx(1j * k, rel=1e-13)
    np.testing.assert_allclose(res.delays, [0.0, math.pi / (2 * k)], rtol=1e-13)


def test_margin_of_the_closed_form_example():
    res = vantor.delay_margin(scalar(-1.0, -2.0))
    assert res.factor == pytest.approx(2 * math.pi / (3 * math.sqrt(3)), rel=1e-14)
    assert res.frequency == pytest.approx(math.sqrt(3), rel=1e-14)


def test_delay_independent_stability_has_an_infinite_margin():
    res = vantor.delay_margin(scalar(-2.0, 1.5))
    assert res.factor == math.inf and math.isnan(res.frequency)
    intervals = vantor.stability_intervals(scalar(-2.0, 1.5), up_to=50.0)
    assert intervals.crossings == [] and intervals.stable == [(0.0, math.inf)]


@pytest.mark.parametrize("seed", range(12))
def test_margins_of_decoupled_modes_hidden_by_a_similarity(seed):
    rng = np.random.default_rng(100 + seed)
    n = int(rng.integers(2, 5))
    a = rng.uniform(-2.0, 0.5, n)
    b = rng.uniform(-3.0, 3.0, n)
    b = np.where(a + b < 0, b, -np.abs(a) - rng.uniform(0.2, 1.0, n))   # stable at tau = 0
    A0, A1 = hidden([a, b], seed)
    h = float(rng.uniform(0.5, 2.0))
    res = vantor.delay_margin(pyvantor.lagsys([A0, A1], [0.0, h]))
    candidates = [c for c in (scalar_crossing(ai, bi) for ai, bi in zip(a, b)) if c]
    if not candidates:
        assert res.factor == math.inf
        return
    omega, tau = min(candidates, key=lambda c: c[1])
    assert res.factor * h == pytest.approx(tau, rel=1e-9)
    assert res.frequency == pytest.approx(omega, rel=1e-9)


@pytest.mark.parametrize("condition", [1e3, 0.0])
@pytest.mark.parametrize("seed", range(6))
def test_the_kronecker_pencil_alone_finds_the_first_crossing(monkeypatch, seed, condition):
    # Without the phase scan beside it, in standard form (a well-conditioned delayed matrix) and
    # as the generalized pencil.
    from vantor import _crossing

    monkeypatch.setattr(_crossing, "_phase_bases", lambda scaling, h: [])
    monkeypatch.setattr(_crossing, "_STANDARD_FORM_CONDITION", condition)
    rng = np.random.default_rng(300 + seed)
    n = int(rng.integers(2, 6))
    a = rng.uniform(-2.0, -0.5, n)
    b = -np.abs(a) - rng.uniform(0.2, 1.0, n)
    A0, A1 = hidden([a, b], seed)
    h = float(rng.uniform(0.5, 2.0))
    res = vantor.delay_margin(pyvantor.lagsys([A0, A1], [0.0, h]))
    omega, tau = min((scalar_crossing(ai, bi) for ai, bi in zip(a, b)), key=lambda c: c[1])
    assert res.method == "exact"
    assert res.factor * h == pytest.approx(tau, rel=1e-9)
    assert res.frequency == pytest.approx(omega, rel=1e-9)


@pytest.mark.parametrize("a, b, c, up_to", [(0.1, 2.0, 0.2, 20.0), (0.2, 4.0, 0.4, 15.0),
                                            (0.5, 2.0, 1.0, 40.0), (0.1, 1.0, 0.5, 40.0)])
def test_stability_switches_of_second_order_equations(a, b, c, up_to):
    res = vantor.stability_intervals(second_order(a, b, c), up_to=up_to)
    expected = second_order_crossings(a, b, c, up_to)
    assert [(x.direction) for x in res.crossings] == [d for _, _, d in expected]
    np.testing.assert_allclose([x.factor for x in res.crossings], [t for t, _, _ in expected],
                               rtol=1e-10)
    np.testing.assert_allclose([x.frequency for x in res.crossings], [w for _, w, _ in expected],
                               rtol=1e-10)
    # The intervals follow from the directions: two roots cross at each crossing.
    count, edges, stable = 0, [0.0] + [t for t, _, _ in expected] + [up_to], []
    for i in range(len(edges) - 1):
        if count == 0:
            stable.append((edges[i], edges[i + 1]))
        if i < len(expected):
            count += 2 * expected[i][2]
    assert res.counts[0] == 0 and len(res.stable) == len(stable)
    np.testing.assert_allclose(np.array(res.stable), np.array(stable), rtol=1e-10)
    margin = vantor.delay_margin(second_order(a, b, c))
    assert margin.factor == pytest.approx(expected[0][0], rel=1e-10)


def test_several_switches_are_found():
    res = vantor.stability_intervals(second_order(0.1, 2.0, 0.2), up_to=20.0)
    assert len(res.stable) >= 4


def test_the_frequency_scan_agrees_with_the_exact_pencil(monkeypatch):
    from vantor import _crossing

    sys = second_order(0.2, 4.0, 0.4)
    exact = vantor.stability_intervals(sys, up_to=15.0)
    monkeypatch.setattr(_crossing, "_PENCIL_MAX", 0)
    scanned = vantor.stability_intervals(sys, up_to=15.0)
    assert exact.method == "exact" and scanned.method == "frequency scan"
    assert [c.direction for c in scanned.crossings] == [c.direction for c in exact.crossings]
    np.testing.assert_allclose([c.factor for c in scanned.crossings],
                               [c.factor for c in exact.crossings], rtol=1e-10)


@pytest.mark.parametrize("seed", range(4))
def test_frequency_scan_with_an_unscaled_delayed_mode(seed):
    # Mode 1: x' = a x + b x(t - s) crosses; mode 2: x' = -1.5 x - c x(t - 0.7) is stable for
    # every delay (|c| < 1.5) and keeps its delay.
    rng = np.random.default_rng(200 + seed)
    a, b, c = float(rng.uniform(-1.0, 0.0)), float(rng.uniform(-3.0, -1.2)), float(rng.uniform(0.2, 1.2))
    A0, A_kept, A_scaled = hidden([[a, -1.5], [0.0, -c], [b, 0.0]], seed)
    sys = pyvantor.lagsys([A0, A_kept, A_scaled], [0.0, 0.7, 1.0])
    res = vantor.stability_intervals(sys, which=[2], up_to=12.0)
    omega, tau = scalar_crossing(a, b)
    expected = np.arange(tau, 12.0, 2 * math.pi / omega)
    assert res.method == "frequency scan"
    np.testing.assert_allclose([x.factor for x in res.crossings], expected, rtol=1e-9)
    assert all(x.direction == 1 for x in res.crossings)


@pytest.mark.parametrize("seed", range(4))
def test_phase_scan_of_two_scaled_delays(seed):
    # Two modes with delays s h1 and s h2 (h1 != h2): the crossings are the union of the modes'.
    rng = np.random.default_rng(300 + seed)
    a = rng.uniform(-1.0, 0.0, 2)
    b = rng.uniform(-3.0, -1.2, 2)
    h1, h2 = 1.0, float(rng.uniform(1.3, 2.0))
    A0, A1, A2 = hidden([a, [b[0], 0.0], [0.0, b[1]]], seed)
    sys = pyvantor.lagsys([A0, A1, A2], [0.0, h1, h2])
    up_to = 8.0
    res = vantor.stability_intervals(sys, up_to=up_to)
    expected = []
    for ai, bi, hi in zip(a, b, (h1, h2)):
        omega, tau = scalar_crossing(ai, bi)
        expected += list(np.arange(tau, up_to * hi, 2 * math.pi / omega) / hi)
    assert res.method == "phase scan"
    np.testing.assert_allclose([x.factor for x in res.crossings], sorted(expected), rtol=1e-9)
    first = vantor.delay_margin(sys)
    assert first.factor == pytest.approx(min(expected), rel=1e-9)


@pytest.mark.parametrize("make, which, error, match", [
    (lambda: scalar(0.5, -0.1), None, ValueError, "not stable at factor 0"),
    (lambda: scalar(-1.0, -0.5), [3], ValueError, "index 3"),
    (lambda: scalar(-1.0, -0.5), [0], ValueError, "only positive"),
    (lambda: scalar(-1.0, -0.5), [], ValueError, "at least one"),
    (lambda: scalar(-1.0, -0.5), "x", TypeError, "which must be"),
    (lambda: scalar(-1.0, -0.5), [1.5], TypeError, "which must be"),
    (lambda: pyvantor.lagsys([-np.eye(1), -np.eye(1)], [0.0, 0.0]), None, ValueError, "no positive delay"),
    (lambda: pyvantor.lagsys([-np.eye(1), -0.1 * np.eye(1), -0.1 * np.eye(1), -0.1 * np.eye(1)],
                             [0.0, 0.5, 1.0, 2.0]), [2, 3], NotImplementedError, "several different"),
])
def test_margin_refuses(make, which, error, match):
    # Systems are made in the test: instances held by the parametrization outlive the module.
    with pytest.raises(error, match=match):
        vantor.delay_margin(make(), which)


@pytest.mark.parametrize("up_to, error", [(0.0, ValueError), (-1.0, ValueError),
                                          (math.inf, ValueError), ("5", TypeError)])
def test_intervals_refuse_bad_limits(up_to, error):
    with pytest.raises(error, match="up_to"):
        vantor.stability_intervals(scalar(-1.0, -2.0), up_to=up_to)


# ---------------------------------------------------------------------------- sensitivities


@pytest.mark.parametrize("a, b, h", [(0.0, -1.0, 1.0), (-0.5, -4.0, 3.0), (1.0, -2.0, 0.5)])
def test_condition_of_scalar_roots_is_the_closed_form(a, b, h):
    lam = lambert_roots(a, b, h, -3.0)
    res = vantor.eigenvectors(scalar(a, b, h), lam)
    weight = np.exp(-lam * h)
    expected = (abs(a) + abs(b) * np.abs(weight)) / np.abs(1 + b * h * weight)
    np.testing.assert_allclose(res.condition, expected, rtol=1e-10)
    np.testing.assert_allclose(np.abs(res.right), 1.0, rtol=1e-14)


@pytest.mark.parametrize("seed", range(6))
def test_null_vectors_have_small_residuals(seed):
    rng = np.random.default_rng(400 + seed)
    n = 4
    A = [rng.normal(size=(n, n)), rng.normal(size=(n, n))]
    sys = pyvantor.lagsys(A, [0.0, 1.0])
    roots = vantor.distinct_roots(sys, -1.5).roots
    res = vantor.eigenvectors(sys, roots)
    for j, lam in enumerate(res.roots):
        D = lam * np.eye(n) - A[0] - A[1] * np.exp(-lam)
        Dp = np.eye(n) + A[1] * np.exp(-lam)
        v, w = res.right[:, j], res.left[:, j]
        scale = 1 + abs(lam) + np.linalg.norm(A[0], 2) + np.linalg.norm(A[1], 2) * abs(np.exp(-lam))
        assert np.linalg.norm(D @ v) <= 1e-12 * scale and np.linalg.norm(w.conj() @ D) <= 1e-12 * scale
        assert np.linalg.norm(v) == pytest.approx(1.0) and np.linalg.norm(w) == pytest.approx(1.0)
        denominator = w.conj() @ Dp @ v
        assert abs(denominator.imag) <= 1e-12 * abs(denominator) and denominator.real > 0


@pytest.mark.parametrize("roots, match", [
    ([0.3 + 0.1j], "not a characteristic root"),
    ([np.nan], "non-finite"),
    ([[1.0, 2.0]], "1-D"),
])
def test_eigenvectors_refuse(roots, match):
    with pytest.raises(ValueError, match=match):
        vantor.eigenvectors(scalar(0.0, -1.0), roots)


def test_eigenvectors_refuse_a_semisimple_double_root():
    sys = pyvantor.lagsys([np.zeros((2, 2)), -np.eye(2)], [0.0, 1.0])
    lam = complex(lambert_roots(0.0, -1.0, 1.0, -1.0)[0])
    with pytest.raises(ValueError, match="multiple root"):
        vantor.eigenvectors(sys, [lam])


def test_derivative_of_a_pure_delay_is_the_closed_form():
    build = lambda k: scalar(0.0, -k)  # noqa: E731
    for lam in lambert_roots(0.0, -0.8, 1.0, -4.0):
        d = vantor.root_derivative(build, 0.8, lam)
        assert d == pytest.approx(-np.exp(-lam) / (1 + lam), rel=1e-8)


class _Family:
    """A 3x3 system whose matrices and delay depend on two parameters."""

    def __init__(self, seed):
        rng = np.random.default_rng(500 + seed)
        self.A0, self.A1, self.E, self.F = (rng.normal(size=(3, 3)) for _ in range(4))

    def __call__(self, p):
        return pyvantor.lagsys([self.A0 + p[0] * self.E, self.A1 + p[1] ** 2 * self.F],
                               [0.0, 1.0 + 0.3 * p[0]])


@pytest.mark.parametrize("seed", range(6))
def test_derivatives_match_finite_differences_of_polished_roots(seed):
    build = _Family(seed)
    p = np.array([0.2, 0.7])
    roots = vantor.distinct_roots(build(p), -2.0).roots
    step = 1e-6
    for lam in roots[:4]:
        grad = vantor.root_derivative(build, p, lam)
        for j in range(2):
            dp = np.zeros(2)
            dp[j] = step
            up = vantor.distinct_roots(build(p + dp), lam.real - 0.5).roots
            down = vantor.distinct_roots(build(p - dp), lam.real - 0.5).roots
            difference = (up[np.argmin(abs(up - lam))] - down[np.argmin(abs(down - lam))]) / (2 * step)
            assert grad[j] == pytest.approx(difference, rel=1e-5, abs=1e-6)


@pytest.mark.parametrize("build, p, match, error", [
    (lambda k: scalar(0.0, -k), [[0.2]], "1-D", ValueError),
    (lambda k: scalar(0.0, -k), np.nan, "non-finite", ValueError),
    (lambda k: scalar(0.0, -k), "a", "real numbers", TypeError),
    (lambda k: 3.0, 0.2, "pyvantor.lagsys", TypeError),
    (lambda k: pyvantor.lagsys([-np.eye(1 + (k > 0.2))] * 2, [0.0, 1.0]), 0.2, "keep the number", ValueError),
])
def test_root_derivative_refuses(build, p, match, error):
    with pytest.raises(error, match=match):
        vantor.root_derivative(build, p, lambert_roots(-1.0, -1.0, 1.0, -3.0)[0])


# ---------------------------------------------------------------------------- optimal gains


def test_abscissa_of_a_pure_delay_is_smallest_at_the_double_root():
    res = vantor.minimize_abscissa(lambda k: scalar(0.0, -k), 0.1, starts=2)
    assert res.x == pytest.approx(1 / math.e, abs=1e-6)
    assert res.fun == pytest.approx(-1.0, abs=1e-6)
    assert res.success and res.certified
    # Within rounding of k = 1/e the double root -1 is one root of multiplicity 2 or a pair of
    # simple roots split by about sqrt(|k - 1/e|) (1e-7 for 1e-15): either way two roots at -1.
    assert np.all(np.abs(res.roots + 1.0) < 1e-6) and res.multiplicity.sum() == 2
    assert len(res.starts) == 2 and res.nfev > 0 and res.nit > 0


@pytest.mark.parametrize("a", [0.0, -0.5])
def test_one_parameter_closes_on_the_double_root_by_bisection(a):
    # x' = a x - k x(t - 1): the least abscissa is the double root a - 1 at k = exp(a - 1) (a square
    # root kink on one side); BFGS alone zigzags to it in hundreds of evaluations.
    res = vantor.minimize_abscissa(lambda k: scalar(a, -k), 0.1, starts=1)
    assert res.x == pytest.approx(math.exp(a - 1.0), rel=1e-12)
    assert res.fun == pytest.approx(a - 1.0, abs=1e-12) and res.certified and res.success
    # The closed bracket proves stationarity in one variable: no gradient sampling after it.
    assert "bisection closed the bracket" in res.message and res.nfev <= 120


def test_bounds_are_respected():
    # The abscissa falls on [0, 1/e]: the optimum on [0.05, 0.2] is the bound 0.2.
    res = vantor.minimize_abscissa(lambda k: scalar(0.0, -k), 0.1, bounds=[(0.05, 0.2)], starts=1)
    assert 0.05 <= res.x <= 0.2 and res.x == pytest.approx(0.2, abs=1e-5)
    assert res.fun == pytest.approx(lambertw(-0.2).real, abs=1e-5)


@pytest.mark.parametrize("a, h", [(1.0, 0.2), (-0.5, 1.0)])
def test_stabilize_a_scalar_plant_reaches_the_double_root(a, h):
    # x' = a x - K x(t - h) is fastest at the double root: lambda = a - 1/h, K = e^(a h - 1) / h.
    res = vantor.stabilize(([[a]], [[1.0]], [[1.0]]), delay=h, K0=[[0.1]], starts=1)
    assert res.K[0, 0] == pytest.approx(math.exp(a * h - 1) / h, rel=1e-6)
    assert res.fun == pytest.approx(a - 1 / h, abs=1e-6)
    assert res.certified and isinstance(res.system, pyvantor.lagsys)


def test_stabilize_a_diagonal_gain_of_a_decoupled_plant():
    control = pytest.importorskip("control")
    plant = control.ss(np.diag([0.5, -0.2]), np.eye(2), np.eye(2), np.zeros((2, 2)))
    res = vantor.stabilize(plant, delay=0.5, structure="diagonal", starts=1)
    # The worse loop sets the abscissa: 0.5 - 1/0.5 at its double-root gain.
    assert res.fun == pytest.approx(0.5 - 2.0, abs=1e-6)
    assert res.K[0, 0] == pytest.approx(math.exp(0.25 - 1) / 0.5, rel=1e-5)
    assert res.K[0, 1] == 0.0 and res.K[1, 0] == 0.0


def test_pi_loop_has_the_hand_derived_characteristic_equation():
    from vantor.design import _PILoop
    from vantor._system import char_matrices, check_system

    a, b, c, h, kp, ki = 0.3, 2.0, 0.5, 0.4, 1.1, 0.7
    loop = _PILoop(np.array([[a]]), np.array([[b]]), np.array([[c]]), h)
    lam = np.array([0.3 + 1.2j, -0.7 - 0.4j])
    det = np.linalg.det(char_matrices(check_system(loop(np.array([kp, ki]))), lam))
    weight = np.exp(-lam * h)
    np.testing.assert_allclose(det, lam * (lam - a + kp * b * c * weight) + b * c * ki * weight,
                               rtol=1e-13)


def test_stabilize_with_a_pi_controller():
    res = vantor.stabilize(([[-1.0]], [[1.0]], [[1.0]]), delay=0.5, structure="pi",
                           K0=[0.5, 0.2], starts=1, max_iter=40)
    assert res.fun < -0.3 and res.certified and len(res.K) == 2


@pytest.mark.parametrize("kwargs, error, match", [
    (dict(p0=0.1, bounds=[(0.2, 0.5)]), ValueError, "outside the bounds"),
    (dict(p0=0.1, bounds=[(0.5, 0.2)]), ValueError, "low must be below high"),
    (dict(p0=0.1, bounds=[(0.0, 1.0), (0.0, 1.0)]), ValueError, "1 \\(low, high\\) pairs"),
    (dict(p0=0.1, starts=0), ValueError, "starts"),
    (dict(p0=0.1, starts=1.5), TypeError, "starts"),
    (dict(p0=[], starts=1), ValueError, "non-empty"),
])
def test_minimize_refuses(kwargs, error, match):
    with pytest.raises(error, match=match):
        vantor.minimize_abscissa(lambda k: scalar(0.0, -k), **kwargs)


@pytest.mark.parametrize("plant, kwargs, match", [
    (([[1.0]], [[1.0]], [[1.0]]), dict(delay=-0.1), "delay"),
    (([[1.0]], [[1.0]], [[1.0]]), dict(delay=0.1, structure="upper"), "structure"),
    (([[1.0]], [[1.0]], [[1.0]]), dict(delay=0.1, structure=np.zeros((1, 1), bool)), "no gain"),
    (([[1.0, 0.0], [0.0, 1.0]], np.eye(2), np.eye(2)), dict(delay=0.1, structure="pi"), "one input"),
    (([[1.0]], [[1.0]], [[1.0]]), dict(delay=0.1, K0=np.eye(2)), "K0"),
    (([[1.0]], [[1.0], [2.0]], [[1.0]]), dict(delay=0.1), "do not fit"),
])
def test_stabilize_refuses(plant, kwargs, match):
    with pytest.raises(ValueError, match=match):
        vantor.stabilize(plant, **kwargs)



def test_a_minimum_on_the_axis_is_not_claimed_stable():
    # x' = x - k x(t - 1): the least abscissa is exactly 0 (a double root at 0 for k = 1).
    res = vantor.stabilize(([[1.0]], [[1.0]], [[1.0]]), delay=1.0, starts=1)
    assert abs(res.fun) < 1e-8 and not res.stable and not res.success
    assert not vantor.is_stable(res.system)
    assert "not proven stable" in res.message


def test_an_abscissa_without_minimum_stops_as_diverged():
    # x' = x + u with u = -k x (no delay): the abscissa 1 - k falls without bound.
    res = vantor.stabilize(([[1.0]], [[1.0]], [[1.0]]), delay=0.0, starts=1)
    assert not res.success and "diverged" in res.message


def test_stable_and_success_agree_on_a_stabilizable_loop():
    res = vantor.stabilize(([[1.0]], [[1.0]], [[1.0]]), delay=0.2, K0=[[2.0]], starts=1)
    assert res.stable and res.success and res.fun < 0 and vantor.is_stable(res.system)


def grid_hinf(matrices, delays, B, C, top=40.0, points=40_001):
    """sup_omega sigma_max(C (i omega I - sum_k A_k exp(-i omega h_k))^-1 B) by a grid and a
    bounded refinement around its best point: independent of the branch and bound."""
    from scipy.optimize import minimize_scalar

    n = matrices[0].shape[0]

    def sigma(w):
        w = np.atleast_1d(w)
        Delta = 1j * w[:, None, None] * np.eye(n) - sum(
            A * np.exp(-1j * w * h)[:, None, None] for A, h in zip(matrices, delays))
        G = C @ np.linalg.solve(Delta, np.broadcast_to(B, (w.size,) + B.shape))
        return np.linalg.norm(G, ord=2, axis=(1, 2))

    w = np.linspace(0.0, top, points)
    values = sigma(w)
    i = int(np.argmax(values))
    step = w[1] - w[0]
    res = minimize_scalar(lambda x: -sigma(x)[0], bounds=(max(0.0, w[i] - step), w[i] + step),
                          method="bounded", options={"xatol": 1e-12})
    return max(float(values[i]), -float(res.fun))


def effort_loop(a, h, weight):
    """x' = -a x - k x(t - h) + w, z = (x, weight k x): disturbance rejection against effort."""
    def build(k):
        sys = pyvantor.lagsys([np.array([[-a]]), np.array([[-k]])], [0.0, h])
        return sys, np.array([[1.0]]), np.array([[1.0], [weight * k]])
    return build


@pytest.mark.parametrize("a, h, weight", [(1.0, 1.0, 0.5), (0.5, 0.3, 0.2), (2.0, 2.0, 1.0)])
def test_minimize_hinf_of_a_scalar_loop_matches_a_grid_search(a, h, weight):
    from scipy.optimize import minimize_scalar

    build = effort_loop(a, h, weight)
    res = vantor.minimize_hinf(build, 0.0, bounds=[(0.0, 3.0)], starts=1)
    assert res.success and res.certified and res.stable
    assert res.fun <= res.upper <= res.fun * (1.0 + 1e-8) * (1.0 + 1e-15)

    def norm(k):
        sys, B, C = build(k)
        return grid_hinf([np.array([[-a]]), np.array([[-k]])], [0.0, h], B, C)
    # The optimum lies where the loop is stable: inside (0, pi/(2h) + a) for these.
    best = minimize_scalar(norm, bounds=(0.0, min(3.0, a + math.pi / (2.0 * h))), method="bounded",
                           options={"xatol": 1e-9})
    assert res.fun == pytest.approx(best.fun, rel=1e-9)
    assert res.x == pytest.approx(best.x, abs=1e-4)


def test_minimize_hinf_stabilizes_first_and_ends_at_a_local_minimum():
    # The double integrator under delayed state feedback u = -(k1 x1 + k2 x2)(t - 0.2), a
    # disturbance at the force and the position as the output. At K = 0 the loop is not stable.
    A, B2, B1, C1 = np.array([[0.0, 1.0], [0.0, 0.0]]), np.array([[0.0], [1.0]]), \
        np.array([[0.0], [1.0]]), np.array([[1.0, 0.0]])

    def build(p):
        return vantor.feedback_system(A, B2, np.eye(2), p.reshape(1, 2), 0.2), B1, C1

    res = vantor.minimize_hinf(build, [0.0, 0.0], starts=1)
    assert res.stable and res.certified
    assert np.all(np.asarray(res.start) != 0.0)
    # No nearby gain has a smaller norm, by the grid.
    rng = np.random.default_rng(1)
    for _ in range(6):
        q = res.x + 1e-3 * np.abs(res.x) * rng.normal(size=2)
        sys, B, C = build(q)
        matrices = [A, -B2 @ q.reshape(1, 2)]
        assert grid_hinf(matrices, [0.0, 0.2], B, C) >= res.fun * (1.0 - 1e-9)


def test_minimize_hinf_accepts_a_state_space_output():
    control = pytest.importorskip("control")
    plant = control.ss([[-1.0]], [[1.0]], [[1.0]], [[0.0]])

    def build(k):
        return vantor.feedback_system([[-1.0]], [[1.0]], [[1.0]], [[k]], 0.5), plant

    res = vantor.minimize_hinf(build, 0.5, bounds=[(0.0, 2.0)], starts=1)
    assert res.certified and res.stable
    expected = grid_hinf([np.array([[-1.0]]), np.array([[-res.x]])], [0.0, 0.5], np.eye(1), np.eye(1))
    assert res.fun == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize("build, kwargs, error, match", [
    (lambda k: scalar(-1.0, -k), {}, TypeError, "build must return"),
    (effort_loop(1.0, 1.0, 0.5), dict(rtol=0.0), ValueError, "rtol"),
    (effort_loop(1.0, 1.0, 0.5), dict(bounds=[(0.2, 0.5)]), ValueError, "outside the bounds"),
    (lambda k: (scalar(1.0, 0.0), [[1.0]], [[1.0]]), {}, ValueError, "no stable"),
    (lambda k: (scalar(-1.0, -k), [[1.0], [2.0]], [[1.0]]), {}, ValueError, "B must have shape"),
])
def test_minimize_hinf_refuses(build, kwargs, error, match):
    with pytest.raises(error, match=match):
        vantor.minimize_hinf(build, 0.1, **kwargs)


@pytest.mark.parametrize("s", [1e-2, 1e2])
def test_minimize_hinf_is_invariant_under_a_change_of_time_unit(s):
    # t -> s t: A_k -> A_k / s, h -> s h, B -> B / s; the gain k of the delayed term becomes k / s
    # and the norm is unchanged.
    a, h, weight = 1.0, 1.0, 0.5
    base = vantor.minimize_hinf(effort_loop(a, h, weight), 0.0, bounds=[(0.0, 3.0)], starts=1)

    def scaled(q):
        sys = pyvantor.lagsys([np.array([[-a / s]]), np.array([[-q]])], [0.0, h * s])
        return sys, np.array([[1.0 / s]]), np.array([[1.0], [weight * s * q]])

    res = vantor.minimize_hinf(scaled, 0.0, bounds=[(0.0, 3.0 / s)], starts=1)
    assert res.certified and res.stable
    assert res.fun == pytest.approx(base.fun, rel=1e-10)
    assert res.x == pytest.approx(base.x / s, rel=1e-6)
    assert res.frequency == pytest.approx(base.frequency / s, rel=1e-6)


@pytest.mark.parametrize("seed", range(4))
def test_a_rejected_step_has_a_larger_abscissa(seed):
    # The line search's shortcut: exceeds(u, level) proves abscissa(u) > level from Newton's root
    # alone. It may fail to tell, but never claims a level the certified abscissa reaches.
    from vantor.design import _Abscissa, _StaticLoop, _Transform

    rng = np.random.default_rng(seed)
    A = np.array([[0.0, 1.0], [0.0, 0.0]])
    loop = _StaticLoop(A, np.array([[0.0], [1.0]]), np.eye(2), np.ones((1, 2), dtype=bool), 0.5)
    objective = _Abscissa(loop, False, _Transform(None, 2))
    objective(np.array([0.5, 0.5]))
    levels = np.linspace(-3.0, 3.0, 25)
    claims = 0
    for _ in range(12):
        u = np.array([0.5, 0.5]) + rng.normal(scale=0.6, size=2)
        claimed = [objective.exceeds(u, level) for level in levels]   # before u is evaluated
        f, _ = objective(u)
        assert all(f > level for level, claim in zip(levels, claimed) if claim)
        claims += sum(claimed)
    assert claims > 0
