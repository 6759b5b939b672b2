"""Systems at the edges: other time units, ill-conditioned models, near-tangent and multiple
crossings, multiple roots. Every reference is independent: Lambert W, decoupled modes behind a
similarity, closed-form margins."""

import math

import numpy as np
import pytest
from scipy.optimize import brentq
from numpy.testing import assert_allclose

import pyvantor
import vantor
from reference import lambert_roots

SCALES = [1e-9, 1e-6, 1e-3, 1e3, 1e6, 1e9]


def lagsys(matrices, delays):
    return pyvantor.lagsys([np.atleast_2d(np.asarray(A, dtype=float)) for A in matrices],
                           [float(h) for h in delays])


def rescaled(matrices, delays, s):
    """The same system with time measured in units of 1/s: roots times s, delays over s."""
    return lagsys([s * np.atleast_2d(np.asarray(A, dtype=float)) for A in matrices],
                  [h / s for h in delays])


def scalar_margin(a, b):
    """The delay margin of x' = a x + b x(t - s) (b < -|a|): i omega = a + b exp(-i omega s)."""
    omega = math.sqrt(b * b - a * a)
    return math.acos(-a / b) / omega, omega


def similar(Q, diagonals):
    Qi = np.linalg.inv(Q)
    return [Q @ np.diag(d) @ Qi for d in diagonals]


def random_system(seed):
    """Decoupled scalar modes a_i x + b_i x(t - h) behind a random orthogonal similarity."""
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 4))
    a = rng.uniform(-2.0, 0.5, n)
    b = rng.uniform(-2.0, 2.0, n)
    Q = np.linalg.qr(rng.standard_normal((n, n)))[0]
    return [Q @ np.diag(a) @ Q.T, Q @ np.diag(b) @ Q.T], [0.0, float(rng.uniform(0.3, 2.0))], a, b


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("s", SCALES)
def test_roots_and_abscissa_scale_with_the_time_unit(seed, s):
    matrices, delays, a, b = random_system(seed)
    expected = np.concatenate([lambert_roots(ai, bi, delays[1], -3.0) for ai, bi in zip(a, b)])
    found = vantor.all_roots(rescaled(matrices, delays, s), -3.0 * s)
    assert found.multiplicity.sum() == expected.size
    assert_allclose(np.sort_complex(found.roots / s), np.sort_complex(expected), rtol=1e-8, atol=1e-9)
    abscissa = vantor.spectral_abscissa(rescaled(matrices, delays, s)).abscissa
    assert_allclose(abscissa / s, expected.real.max(), rtol=1e-8, atol=1e-12)


@pytest.mark.parametrize("s", SCALES + [1e16, 1e-16])
@pytest.mark.parametrize("a, b", [(-1.0, -2.0), (0.5, -2.0), (-0.5, -1.5)])
def test_delay_margins_scale_with_the_time_unit(s, a, b):
    expected, omega = scalar_margin(a, b)
    found = vantor.delay_margin(rescaled([a, b], [0.0, 1.0], s))
    assert found.factor == pytest.approx(expected, rel=1e-9)
    assert found.delays[1] == pytest.approx(expected / s, rel=1e-9)
    assert found.frequency == pytest.approx(omega * s, rel=1e-9)
    # The same rates with the delay kept at 1: the factor is the margin in that unit.
    assert vantor.delay_margin(lagsys([s * a, s * b], [0, 1])).factor == pytest.approx(
        expected / s, rel=1e-9)


def test_close_small_roots_stay_distinct():
    # x' = a x + 1e-7 x(t - 1) for a = -1e-6 and -1.05e-6: two simple real roots 5% apart.
    matrices = [np.diag([-1e-6, -1.05e-6]), 1e-7 * np.eye(2)]
    expected = np.array([lambert_roots(a, 1e-7, 1.0, -1.0)[0] for a in (-1e-6, -1.05e-6)])
    found = vantor.all_roots(lagsys(matrices, [0, 1]), -1.0)
    assert list(found.multiplicity) == [1, 1]
    assert_allclose(found.roots, expected, rtol=1e-9)
    certificate = vantor.certify(lagsys(matrices, [0, 1]), -1.0)
    assert certificate.complete and list(certificate.multiplicity) == [1, 1]
    assert vantor.spectral_abscissa(lagsys(matrices, [0, 1])).abscissa == pytest.approx(
        expected[0].real, rel=1e-9)
    # Triangular coupling: the roots are those of the diagonal modes.
    tri = [np.diag([-1e-8, -3e-8]), [[1e-9, 5e-10], [0.0, 1e-9]]]
    expected = sorted(lambert_roots(a, 1e-9, 1.0, -1.0)[0].real for a in (-1e-8, -3e-8))
    assert_allclose(sorted(vantor.all_roots(lagsys(tri, [0, 1]), -1.0).roots.real), expected, rtol=1e-9)


@pytest.mark.parametrize("a, b, h", [(-1e4, -2e4, 1e-4), (-30.0, 1.0, 40.0), (-1.0, 0.5, 1.0)])
def test_spectral_abscissa_of_stiff_and_fast_systems(a, b, h):
    if b > 0:
        # The rightmost root of x' = a x + b x(t - h) with b > 0 is its real root (any root has
        # abs(lambda - a) = b exp(-Re(lambda) h)), where exp(-a h) would overflow Lambert W.
        expected = brentq(lambda x: x - a - b * math.exp(-x * h), max(a, -690.0 / h), 0.0)
    else:
        expected = lambert_roots(a * h, b * h, 1.0, -50.0).real.max() / h
    assert vantor.spectral_abscissa(lagsys([a, b], [0, h])).abscissa == pytest.approx(expected, rel=1e-9)


def test_stiff_diagonal_system_has_the_slow_modes_abscissa():
    expected = lambert_roots(-1.0, 0.5, 1.0, -5.0).real.max()
    found = vantor.spectral_abscissa(lagsys([np.diag([-1001.0, -1.0]), 0.5 * np.eye(2)], [0, 1]))
    assert found.abscissa == pytest.approx(expected, rel=1e-9)


def test_slow_system_with_a_long_delay():
    a, b, h = -0.9314e-6, 0.4671e-6, 1.148e6
    expected = lambert_roots(a * h, b * h, 1.0, -1.0) / h
    system = lagsys([a, b], [0, h])
    for found in (vantor.all_roots(system, -1e-6).roots, vantor.distinct_roots(system, -1e-6).roots,
                  vantor.certify(system, -1e-6).roots):
        assert_allclose(np.sort_complex(found), np.sort_complex(expected[expected.real >= -1e-6]),
                        rtol=1e-8)


def test_root_derivative_with_a_fast_varying_parameter():
    # x' = -k(p) x(t - 1), k = 1 + 0.5 cos p: d lambda / dp = 0.5 sin(p) exp(-lambda) / (1 + lambda).
    p = 1e6

    def build(q):
        return lagsys([0.0, -(1.0 + 0.5 * math.cos(q))], [0, 1])

    lam = complex(vantor.distinct_roots(build(p), -1.0).roots[0])
    exact = 0.5 * math.sin(p) * np.exp(-lam) / (1.0 + lam)
    assert abs(vantor.root_derivative(build, p, lam) - exact) <= 1e-7 * abs(exact)


def test_root_derivative_of_a_delay_at_zero_steps_one_sided():
    # lambda + exp(-lambda p) = 0: at p = 0 the root is -1 and d lambda / dp = -1.
    d = vantor.root_derivative(lambda p: lagsys([0.0, -1.0], [0.0, p]), 0.0, -1.0)
    assert d == pytest.approx(-1.0, rel=1e-7)


def test_root_derivative_refuses_a_double_root():
    # x' = -x(t - 1) / e has the double root -1.
    with pytest.raises(ValueError, match="multiple root"):
        vantor.root_derivative(lambda k: lagsys([0.0, -k], [0, 1]), math.exp(-1.0), -1.0)


@pytest.mark.parametrize("eps", [1e-2, 1e-3, 1e-4])
def test_margin_of_an_ill_conditioned_model(eps):
    # Modes x' = 0.5 x - 2 x(t - s) and y' = -3 y - y(t - s) behind Q, cond(Q) about 4 / eps.
    matrices = similar(np.array([[1.0, 1.0], [1.0, 1.0 + eps]]), [[0.5, -3.0], [-2.0, -1.0]])
    expected, omega = scalar_margin(0.5, -2.0)
    system = lagsys(matrices, [0, 1])
    assert vantor.delay_margin(system).factor == pytest.approx(expected, rel=1e-6)
    intervals = vantor.stability_intervals(system, up_to=2.0)
    assert len(intervals.stable) == 1
    assert intervals.stable[0][1] == pytest.approx(expected, rel=1e-6)
    assert not vantor.is_stable(system)


@pytest.mark.parametrize("seed", range(6))
def test_margins_of_random_ill_conditioned_models(seed):
    rng = np.random.default_rng(100 + seed)
    U, _, Vt = np.linalg.svd(rng.standard_normal((3, 3)))
    Q = U @ np.diag([1.0, 1e-2, 1e-4 * (1 + seed)]) @ Vt
    a = rng.uniform(-1.0, 0.5, 3)
    b = -np.abs(a) - rng.uniform(0.2, 2.0, 3)
    expected = min(scalar_margin(ai, bi)[0] for ai, bi in zip(a, b))
    found = vantor.delay_margin(lagsys(similar(Q, [a, b]), [0, 1])).factor
    assert found == pytest.approx(expected, rel=1e-5)


@pytest.mark.parametrize("kappa, seed", [(1e5, 0), (1e5, 1), (1e6, 1)])
def test_margins_of_badly_ill_conditioned_models(kappa, seed):
    rng = np.random.default_rng(200 + seed)
    U, _, Vt = np.linalg.svd(rng.standard_normal((2, 2)))
    Q = U @ np.diag([1.0, 1.0 / kappa]) @ Vt
    a = rng.uniform(-1.0, 0.5, 2)
    b = -np.abs(a) - rng.uniform(0.2, 2.0, 2)
    expected = min(scalar_margin(ai, bi)[0] for ai, bi in zip(a, b))
    found = vantor.delay_margin(lagsys(similar(Q, [a, b]), [0, 1])).factor
    # The accuracy a similarity of condition kappa leaves: about eps kappa^2 relative.
    assert found == pytest.approx(expected, rel=1e-4)


def oscillator(g, other, other_delay):
    """x'' + 0.1 x' + 2 x = g x(t - s) (states 0-1) beside z' = c z + d z(t - other_delay)."""
    A0 = np.zeros((3, 3))
    A0[0, 1], A0[1, 0], A0[1, 1], A0[2, 2] = 1.0, -2.0, -0.1, other[0]
    A1 = np.zeros((3, 3))
    A1[1, 0] = g
    A2 = np.zeros((3, 3))
    A2[2, 2] = other[1]
    return [A0, A1, A2], [0.0, 1.0, other_delay]


def test_near_tangent_crossings_of_a_frequency_scan():
    matrices, delays = oscillator(0.142, (-10.0, -0.5), 1.0)
    system = lagsys(matrices, delays)
    margin = vantor.delay_margin(system, which=[1])
    assert margin.method == "frequency scan"
    assert margin.factor == pytest.approx(3.281405821, rel=1e-8)
    assert margin.frequency == pytest.approx(1.417303, rel=1e-6)
    intervals = vantor.stability_intervals(system, which=[1], up_to=40.0)
    assert [c.direction for c in intervals.crossings[:2]] == [1, -1]
    assert intervals.crossings[1].factor == pytest.approx(3.441962450, rel=1e-8)
    for s in (3.29, 38.95):
        unstable = lagsys(matrices, [0.0, s, 1.0])
        assert not vantor.is_stable(unstable)
        assert not any(lo < s < hi for lo, hi in intervals.stable)


@pytest.mark.parametrize("g, inside", [(0.14133295, None), (0.141334, 12.2583)])
def test_near_tangent_crossings_of_a_phase_scan(g, inside):
    matrices, delays = oscillator(g, (-2.0, -0.5), 2.0)
    system = lagsys(matrices, delays)
    if inside is None:
        margin = vantor.delay_margin(system)
        assert margin.method == "phase scan"
        assert margin.factor == pytest.approx(3.36108, rel=1e-5)
    else:
        intervals = vantor.stability_intervals(system, up_to=20.0)
        assert not vantor.is_stable(lagsys(matrices, [0.0, inside, 2.0 * inside]))
        assert not any(lo < inside < hi for lo, hi in intervals.stable)


def test_two_modes_crossing_together():
    system = lagsys([-0.5 * np.eye(2), -2.0 * np.eye(2)], [0, 1])
    expected, _ = scalar_margin(-0.5, -2.0)
    assert vantor.delay_margin(system).factor == pytest.approx(expected, rel=1e-10)
    intervals = vantor.stability_intervals(system, up_to=2.0)
    assert intervals.counts[:2] == [0, 4]
    assert intervals.crossings[0].direction == 1


@pytest.mark.parametrize("excess", [1e-2, 3e-4])
def test_slow_crossings(excess):
    # b just past -a: the pair crosses at omega = sqrt(b^2 - a^2), slowly (s = 21.2 and 127.2).
    a, b = -1.0, -(1.0 + excess)
    expected, omega = scalar_margin(a, b)
    system = lagsys([a, b], [0, 1])
    margin = vantor.delay_margin(system)
    assert margin.factor == pytest.approx(expected, rel=1e-9)
    assert margin.frequency == pytest.approx(omega, rel=1e-9)
    intervals = vantor.stability_intervals(system, up_to=1.5 * expected)
    assert len(intervals.stable) == 1 and intervals.stable[0][1] == pytest.approx(expected, rel=1e-9)


def test_intervals_are_claimed_only_up_to_up_to():
    system = lagsys([-1.0, -2.0], [0, 1])
    assert vantor.stability_intervals(system, up_to=1.0).stable == [(0.0, 1.0)]
    # A system that never crosses is stable for every factor.
    assert vantor.stability_intervals(lagsys([-2.0, -1.0], [0, 1]), up_to=1.0).stable == [(0.0, math.inf)]


def test_too_many_crossings_are_refused_before_any_is_confirmed():
    with pytest.raises(ValueError, match="max_crossings"):
        vantor.stability_intervals(lagsys([-1.0, -2.0], [0, 1]), up_to=1e4)


@pytest.mark.parametrize("which", [1.5, np.array(1.5), True, "1"])
def test_which_of_the_wrong_type_is_named(which):
    with pytest.raises(TypeError, match="which"):
        vantor.delay_margin(lagsys([-1.0, -2.0], [0, 1]), which=which)


def test_which_as_a_zero_dimensional_array():
    found = vantor.delay_margin(lagsys([-1.0, -2.0], [0, 1]), which=np.array(1))
    assert found.factor == pytest.approx(scalar_margin(-1.0, -2.0)[0], rel=1e-10)


def test_far_too_many_roots_are_refused_with_an_estimate_and_a_bound():
    system = lagsys([0.5, -3.0], [0, 2])          # about 42,000 roots right of -5
    with pytest.raises(ValueError, match=r"about 4\.2\de\+04 roots .* raise r to about"):
        vantor.count_roots(system, -5.0)
    with pytest.raises(ValueError, match=r"at least \d+ roots lie right of r = -5\.0.*max_count = 5000"):
        vantor.all_roots(system, -5.0)


def test_the_suggested_bound_holds_fewer_roots_than_max_count():
    system = lagsys([0.5, -3.0], [0, 2])
    with pytest.raises(ValueError, match="raise r to about") as info:
        vantor.all_roots(system, -5.0, max_count=500)
    suggested = float(info.value.args[0].split("raise r to about ")[1].split()[0])
    assert 0 < vantor.count_roots(system, suggested) <= 500


def test_a_root_just_left_of_the_axis_is_left_of_it():
    # x' = -(pi/2)(1 - 1e-6) x(t - 1): the rightmost roots have Re(lambda) about -7.1e-7.
    system = lagsys([0.0, -0.5 * math.pi * (1.0 - 1e-6)], [0, 1])
    expected = lambert_roots(0.0, -0.5 * math.pi * (1.0 - 1e-6), 1.0, -1.0).real.max()
    assert -1e-6 < expected < 0 and vantor.is_stable(system)
    assert vantor.count_roots(system, 0.0) == 0
