"""vantor's analyses against closed forms: Lambert W roots of scalar equations, systems similar to
decoupled scalar ones (the roots are the union, repeated ones included) and factoring determinants."""



import numpy as np
import pytest
from numpy.testing import assert_allclose

import pyvantor
import vantor
from reference import lambert_roots, within_degree_cap


def scalar(a, b, h):
    return pyvantor.lagsys([np.array([[a]]), np.array([[b]])], [0.0, h])


def scalar_cases(seed, count):
    """Seeded (a, b, h, r) whose roots right of r are within the degree cap's reach, and whose
    roots keep 1e-6 clear of the line Re = r (so that the count is not decided by rounding)."""
    rng = np.random.default_rng(seed)
    cases = []
    while len(cases) < count:
        a, b = rng.uniform(-4, 2), rng.uniform(-8, 8)
        h, r = rng.uniform(0.1, 4), rng.uniform(-1.5, 1)
        A = [np.array([[a]]), np.array([[b]])]
        if not within_degree_cap(A, [0.0, h], r):
            continue
        near = lambert_roots(a, b, h, r - 1e-6)
        if np.any(np.abs(near.real - r) < 1e-6):
            continue
        cases.append((a, b, h, r))
    return cases


def expected_multiset(roots, tol=1e-7):
    """The distinct values of `roots` with how often each occurs (equal within tol)."""
    values, counts = [], []
    for z in roots:
        for i, w in enumerate(values):
            if abs(z - w) <= tol * max(1.0, abs(z)):
                counts[i] += 1
                break
        else:
            values.append(complex(z))
            counts.append(1)
    return np.array(values), np.array(counts)


def match(found, expected, tol):
    """Index of the expected value each found value is within tol of (relative), or fail."""
    index = []
    for z in found:
        dist = np.abs(expected - z)
        i = int(np.argmin(dist))
        assert dist[i] <= tol * max(1.0, abs(z)), f"{z} is no expected root (closest {expected[i]})"
        index.append(i)
    return np.array(index)


@pytest.mark.parametrize("case", scalar_cases(20261208, 120))
def test_scalar_count_roots_and_polish_match_lambert_w(case):
    a, b, h, r = case
    exact = lambert_roots(a, b, h, r)
    sys = scalar(a, b, h)
    assert vantor.count_roots(sys, r) == exact.size
    cert = vantor.certify(sys, r)
    assert cert.complete and cert.count == exact.size and cert.surplus == 0
    assert np.all(cert.multiplicity == 1)
    assert cert.roots.size == exact.size
    # Polished: a few units of double precision from Lambert W (scipy's W is good to ~1e-15).
    index = match(cert.roots, exact, 1e-14)
    assert np.unique(index).size == index.size
    # Rightmost first, the member of a pair with negative imaginary part first.
    key = np.lexsort((cert.roots.imag, -cert.roots.real))
    assert np.array_equal(key, np.arange(cert.roots.size))


@pytest.mark.parametrize("case", scalar_cases(7, 40))
def test_spectral_abscissa_is_lambert_ws_rightmost_root(case):
    a, b, h, _ = case
    sys = scalar(a, b, h)
    exact = lambert_roots(a, b, h, -40.0)
    # Also where the rightmost root lies past the discretization's reach.
    res = vantor.spectral_abscissa(sys)
    assert res.abscissa == pytest.approx(exact.real.max(), abs=1e-13 * max(1.0, abs(res.root)))
    assert res.multiplicity == 1 and res.root.imag <= 0.0
    assert vantor.is_stable(sys) == (exact.real.max() < 0)


@pytest.mark.parametrize("a, b, h", [
    (-2.0, 1e-3, 30.0),    # the rightmost root -0.2489... lies past the discretization's reach
    (-100.0, 0.5, 1.0),    # |A_0| max(1, tau) = 100: no bound brings the roots within it
])
def test_spectral_abscissa_past_the_discretizations_reach(a, b, h):
    res = vantor.spectral_abscissa(scalar(a, b, h))
    exact = lambert_roots(a, b, h, -200.0)
    assert res.abscissa == pytest.approx(exact.real.max(), abs=1e-13 * max(1.0, abs(res.root)))


def test_spectral_abscissa_with_a_subnormal_delay():
    # A delay of 1e-320 is as good as none: the root of lambda + 1 = 0.
    sys = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1e-320])
    res = vantor.spectral_abscissa(sys)
    assert res.root == -1.0 and res.multiplicity == 1


def similar_system(rng, a, b):
    """P diag(a) P^-1 at delay 0 and P diag(b) P^-1 at delay 1: its roots are the union of the
    scalar equations' roots, a root shared by equal (a_i, b_i) with the multiplicity of the pair."""
    n = len(a)
    while True:
        P = rng.standard_normal((n, n))
        if np.linalg.cond(P) < 10:
            break
    Pinv = np.linalg.inv(P)
    return pyvantor.lagsys([P @ np.diag(a) @ Pinv, P @ np.diag(b) @ Pinv], [0.0, 1.0])


@pytest.mark.parametrize("seed", range(12))
def test_similarity_built_systems_with_repeated_roots(seed):
    rng = np.random.default_rng(seed)
    n = 3 + seed % 2
    a = rng.uniform(-2, 1, n)
    b = rng.uniform(-3, 3, n)
    a[1], b[1] = a[0], b[0]                 # every root of the first equation is a double root
    r = -1.0
    sys = similar_system(rng, a, b)
    exact = np.concatenate([lambert_roots(ai, bi, 1.0, r) for ai, bi in zip(a, b)])
    values, counts = expected_multiset(exact)
    assert vantor.count_roots(sys, r) == exact.size
    cert = vantor.certify(sys, r)
    assert cert.complete, str(cert)
    index = match(cert.roots, values, 1e-6)
    assert_allclose(cert.multiplicity, counts[index])
    assert sorted(index) == list(range(values.size))
    assert 2 in cert.multiplicity or not np.any(counts == 2)


@pytest.mark.parametrize("h", [0.5, 1.0, 3.0])
def test_defective_double_root(h):
    # Delta = [[lambda + 1, -exp(-lambda h)], [0, lambda + 1]]: det = (lambda + 1)^2.
    sys = pyvantor.lagsys([-np.eye(2), np.array([[0.0, 1.0], [0.0, 0.0]])], [0.0, h])
    res = vantor.distinct_roots(sys, -3.0)
    assert res.multiplicity.tolist() == [2]
    assert abs(res.roots[0] + 1.0) < 1e-7
    assert vantor.count_roots(sys, -3.0) == 2
    assert vantor.certify(sys, -3.0).complete
    sa = vantor.spectral_abscissa(sys)
    assert sa.multiplicity == 2 and abs(sa.abscissa + 1.0) < 1e-7


def test_roots_beyond_the_degree_cap_are_reported_missing():
    # x' = -60 x(t - 2): B * tau = 240 at r = 0, far beyond what the capped degree resolves.
    a, b, h, r = 0.0, -60.0, 2.0, -0.5
    exact = lambert_roots(a, b, h, r)
    cert = vantor.certify(scalar(a, b, h), r)
    assert cert.count == exact.size
    assert not cert.complete
    assert cert.missing == exact.size - cert.multiplicity.sum() > 0
    found = match(cert.roots, exact, 1e-10)
    lost = np.delete(exact, found)
    low, high = cert.missing_modulus
    assert np.all((np.abs(lost) > low) & (np.abs(lost) <= high))
    assert "NOT complete" in str(cert) and f"{cert.missing} missing" in str(cert)


def test_nearly_singular_values_of_a_non_normal_system_are_surplus():
    # det Delta = (lambda + 1)(lambda + 2), but Delta is nearly singular along curves where
    # exp(-50 lambda) is huge: roots() returns many such values right of -2.5.
    sys = pyvantor.lagsys([np.diag([-1.0, -2.0]), np.array([[0.0, 1.0], [0.0, 0.0]])], [0.0, 50.0])
    assert len(pyvantor.roots(sys, -2.5)) > 20
    cert = vantor.certify(sys, -2.5)
    assert cert.count == 2
    assert not cert.complete
    assert cert.surplus == cert.surplus_values.size > 20
    assert set(np.round(cert.roots, 6)) <= {-1.0, -2.0}
    assert "listed values are no roots" in str(cert)
    assert vantor.is_stable(sys) and not vantor.is_stable(sys, margin=1.5)


@pytest.mark.parametrize("r, expected", [(0.0, 2), (-1e-9, 2), (1e-3, 0), (-0.3, 2)])
def test_roots_on_the_line_count_as_right_of_it(r, expected):
    # x' = -x(t - pi/2) has the roots +-i (and the rest left of -1).
    sys = scalar(0.0, -1.0, np.pi / 2)
    assert vantor.count_roots(sys, r) == expected
    assert not vantor.is_stable(sys)
    assert vantor.is_stable(sys, margin=-1e-3)


def test_delay_free_systems():
    A = np.array([[-1.0, 5.0], [0.0, -3.0]])
    sys = pyvantor.lagsys([A], [0.0])
    assert vantor.count_roots(sys, -2.0) == 1
    assert vantor.spectral_abscissa(sys).abscissa == pytest.approx(-1.0, abs=1e-15)
    res = vantor.distinct_roots(sys, -10.0)
    assert_allclose(res.roots, [-1.0, -3.0], atol=1e-15)


def lagsys_of(A, h):
    return pyvantor.lagsys([np.asarray(Ak, dtype=float) for Ak in A], list(h))


good = lagsys_of([[[0.0]], [[-1.0]]], [0.0, 1.0])


@pytest.mark.parametrize("call, error, message", [
    (lambda: vantor.count_roots("sys", 0.0), TypeError, "sys must be a pyvantor.lagsys or a vantor.DelaySystem, got str"),
    (lambda: vantor.count_roots(good, float("nan")), ValueError, "r must be finite, got nan"),
    (lambda: vantor.count_roots(good, "0"), TypeError, "r must be a real number, got '0'"),
    (lambda: vantor.count_roots(good, 1j), TypeError, "r must be a real number"),
    (lambda: vantor.certify(good, -np.inf), ValueError, "r must be finite, got -inf"),
    (lambda: vantor.distinct_roots(good, 0.0, tol=0.0), ValueError, "tol must be in"),
    (lambda: vantor.is_stable(good, margin=None), TypeError, "margin must be a real number"),
    (lambda: vantor.count_roots(lagsys_of([[[np.nan]]], [0.0]), 0.0), ValueError,
     r"sys.A\(0\) has a non-finite entry"),
    (lambda: vantor.count_roots(lagsys_of([[[1.0]], [[1.0]]], [0.0, -1.0]), 0.0), ValueError,
     r"sys.hA\(\)\[1\] = -1.0"),
    (lambda: vantor.count_roots(lagsys_of([np.eye(2), np.eye(3)], [0.0, 1.0]), 0.0), ValueError,
     r"sys.A\(1\) has shape \(3, 3\), expected \(2, 2\)"),
    (lambda: vantor.spectral_abscissa(pyvantor.lagsys([], [])), ValueError, "sys has no matrices"),
    (lambda: vantor.count_roots(lagsys_of([[[1.0]], [[1.0]]], [0.0, 1.0]), -1e6), ValueError,
     "overflows; raise r"),
])
def test_bad_input_is_refused_naming_the_argument(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_importing_vantor_leaves_the_module_as_it_is():
    assert {name for name in dir(pyvantor) if not name.startswith("_")} == {"lagsys", "roots"}
    assert set(vantor.__all__) <= set(dir(vantor))
    import importlib.resources

    assert importlib.resources.files("vantor").joinpath("py.typed").is_file()



def test_spectral_abscissa_completes_a_list_that_loses_roots(monkeypatch):
    import importlib

    region = importlib.import_module("vantor.region")
    full = region._seeds

    # x' = -x(t - 1) beside x' = -x/2: the pair -0.318 -+ 1.337i and the root -0.5 right of r.
    sys = pyvantor.lagsys([np.diag([0.0, -0.5]), np.diag([-1.0, 0.0])], [0.0, 1.0])
    exact = lambert_roots(0.0, -1.0, 1.0, -5.0).real.max()
    for lose in (slice(None, -1), slice(1, None), slice(0, 0)):
        monkeypatch.setattr(region, "_seeds", lambda *args, lose=lose: full(*args)[lose])
        res = vantor.spectral_abscissa(sys)
        assert res.abscissa == pytest.approx(exact, abs=1e-14)


def test_vantor_reports_the_installed_distributions_version():
    import importlib.metadata

    assert vantor.__version__ == importlib.metadata.version("pyvantor")
    # The extension module keeps exactly its own members: its version is the distribution's.
    assert not hasattr(pyvantor, "__version__")
