"""vantor.plot draws what it is given and refuses results it cannot draw."""

import numpy as np
import pytest

import pyvantor
import vantor

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

from vantor import plot  # noqa: E402


def build(a, b):
    return pyvantor.lagsys([np.array([[a]]), np.array([[b]])], [0.0, 1.0])


@pytest.fixture(autouse=True)
def close_figures():
    yield
    plt.close("all")


def test_spectrum_marks_multiple_roots():
    sys = pyvantor.lagsys([-np.eye(2), np.array([[0.0, 1.0], [0.0, 0.0]])], [0.0, 1.0])
    ax = plot.spectrum(vantor.distinct_roots(sys, -3.0), -3.0)
    x, y = ax.lines[-1].get_data()
    assert np.allclose(x, [-1.0], atol=1e-7) and [t.get_text() for t in ax.texts] == ["×2"]


@pytest.mark.parametrize("analysis", [
    lambda sys: vantor.all_roots(sys, -3.0),
    lambda sys: vantor.certify(sys, -3.0),
    lambda sys: vantor.rightmost_roots(sys, 1),
])
def test_spectrum_draws_every_result_with_roots(analysis):
    sys = pyvantor.lagsys([-np.eye(2), np.array([[0.0, 1.0], [0.0, 0.0]])], [0.0, 1.0])
    ax = plot.spectrum(analysis(sys))
    x, _ = ax.lines[-1].get_data()
    assert np.allclose(x, [-1.0], atol=1e-7) and [t.get_text() for t in ax.texts] == ["×2"]


def test_chart_draws_the_map_the_zero_contour_and_overlays():
    result = vantor.sweep(build, {"a": np.linspace(-2, 1.5, 8), "b": np.linspace(-2, 1, 7)},
                          progress=False)
    ax = plot.chart(result, overlay=[([0, 1], [0, -1], "line")])
    mesh = ax.collections[0]
    assert mesh.get_array().shape == (7 * 8,) or mesh.get_array().shape == (7, 8)
    assert len(ax.collections) >= 2                       # the zero contour
    assert ax.get_xlabel() == "a" and ax.get_ylabel() == "b"
    assert ax.get_legend().get_texts()[0].get_text() == "line"


def test_locus_colours_the_roots_by_the_parameter():
    def build_h(h):
        return build(0.0, -1.0).__class__([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, h])

    result = vantor.locus(build_h, [1.0, 2.0], -1.0, name="h", progress=False)
    ax = plot.locus(result)
    points = ax.collections[0]
    assert len(points.get_offsets()) == sum(z.size for z in result.values)
    assert set(points.get_array()) == {1.0, 2.0}


@pytest.mark.parametrize("draw, quantity, axes", [
    (plot.chart, "roots", {"a": [0.0, 1.0], "b": [0.0]}),
    (plot.chart, "abscissa", {"a": [0.0, 1.0]}),
    (plot.locus, "abscissa", {"a": [0.0, 1.0]}),
])
def test_results_of_the_wrong_kind_are_refused(draw, quantity, axes):
    def one(a, b=-0.5):
        return build(a, b)

    result = vantor.sweep(one, axes, quantity=quantity, r=-1.0, progress=False)
    with pytest.raises(ValueError, match="needs a sweep"):
        draw(result)


def test_singular_values_draw_the_exact_gain_and_the_peak():
    sys = build(-2.0, -1.0)                       # G(s) = 1 / (s + 2 + exp(-s))
    hinf = vantor.hinf_norm(sys, [[1.0]], [[1.0]])
    w = np.logspace(-1, 1, 50)
    ax = plot.singular_values(sys, [[1.0]], [[1.0]], omega=w, hinf=hinf)
    x, y = ax.lines[0].get_data()
    np.testing.assert_allclose(y, 1.0 / np.abs(1j * w + 2.0 + np.exp(-1j * w)), rtol=1e-12)
    assert ax.lines[1].get_data()[1][0] == hinf.norm
    with pytest.raises(ValueError, match="positive frequencies"):
        plot.singular_values(sys, [[1.0]], [[1.0]], omega=[0.0, 1.0])


def test_pseudospectra_draw_contours_and_the_roots_in_the_box():
    from reference import lambert_roots

    sys = build(-1.0, -2.0)
    ax = plot.pseudospectra(sys, [0.1, 0.3], (-2.0, 1.0, 0.0, 8.0), points=40)
    x, y = ax.lines[0].get_data()
    expected = [z for z in lambert_roots(-1.0, -2.0, 1.0, -2.0) if 0.0 <= z.imag <= 8.0 and z.real <= 1.0]
    assert len(x) == len(expected)
    for z in expected:
        assert np.min(np.abs(x + 1j * y - z)) < 1e-8
    assert len(ax.collections) >= 1               # the contour set
    with pytest.raises(ValueError, match="levels"):
        plot.pseudospectra(sys, [0.0], (-2.0, 1.0, 0.0, 8.0))
    with pytest.raises(ValueError, match="box"):
        plot.pseudospectra(sys, [0.1], (1.0, -2.0, 0.0, 8.0))
