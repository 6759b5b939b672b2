"""The example scripts run headless and produce what they claim."""

import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from scipy.optimize import brentq

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
ENV = {**os.environ, "MPLBACKEND": "Agg"}

pytest.importorskip("matplotlib")


def run(script, *args, cwd):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)], cwd=cwd,
                          env=ENV, capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stderr
    return done.stdout


def assert_picture(path):
    """A real PNG with content: not one flat colour."""
    import matplotlib.image

    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    assert path.stat().st_size > 10_000
    pixels = matplotlib.image.imread(path)
    assert pixels.shape[0] > 200 and pixels.shape[1] > 200
    assert pixels[..., :3].std() > 0.05


def test_quickstart(tmp_path):
    out = run("quickstart.py", cwd=tmp_path)
    found = [complex(f"{re_}{im}j") for re_, im in re.findall(r"([+-]\d+\.\d+) ([+-]\d+\.\d+)j", out)]
    np.testing.assert_allclose(found, [-0.3181315052 - 1.3372357014j, -0.3181315052 + 1.3372357014j], atol=1e-9)
    assert "asymptotically stable" in out and "not" not in out


def test_roots_plot_picture(tmp_path):
    out = run("roots_plot.py", tmp_path / "roots_plot.png", cwd=tmp_path)
    assert re.search(r"\d+ roots right of -1.5", out)
    assert_picture(tmp_path / "roots_plot.png")


def test_stability_chart_picture(tmp_path):
    out = run("stability_chart.py", tmp_path / "chart.png", 25, cwd=tmp_path)
    assert "25x25 grid" in out
    assert_picture(tmp_path / "chart.png")


def exactly_stable(a, b):
    """x' = a x + b x(t - 1) is asymptotically stable iff a < 1, a + b < 0 and b > -w / sin w,
    where w in (0, pi) solves w cot w = a."""
    if a >= 1 or a + b >= 0:
        return False
    w = brentq(lambda w: w / np.tan(w) - a, 1e-12, np.pi - 1e-12)
    return b > -w / np.sin(w)


@pytest.fixture(scope="module")
def chart_module():
    sys.path.insert(0, str(EXAMPLES))
    import stability_chart

    yield stability_chart
    sys.path.remove(str(EXAMPLES))


def test_stability_chart_agrees_with_the_exact_boundary(chart_module):
    result = chart_module.chart(25, progress=False)
    assert not result.failures
    ba, bb = chart_module.boundary(4000)
    checked = 0
    for i, a in enumerate(result.axes["a"]):
        for j, b in enumerate(result.axes["b"]):
            if np.min(np.hypot(ba - a, bb - b)) < 0.1:
                continue
            checked += 1
            assert (result.values[i, j] < 0) == exactly_stable(a, b), (a, b)
    assert checked > 400


def test_feedback_pade_picture(tmp_path):
    pytest.importorskip("control")
    out = run("feedback_pade.py", tmp_path / "pade.png", cwd=tmp_path)
    assert "-0.113011+0.908778j" in out and "stable" in out
    # The error at the rightmost root falls with the Padé order, and order 5 is still far off
    # at the third root.
    errors = {int(k): [float(e) for e in v.split(", ")]
              for k, v in re.findall(r"Padé order (\d): errors (.*)", out)}
    assert errors[1][0] > errors[3][0] > errors[5][0]
    assert errors[5][2] > 1.0
    assert_picture(tmp_path / "pade.png")


def test_hinf_pade_against_the_exact_gain(tmp_path):
    # The exact norms against |T(i w)| = |P / (1 + K exp(-i w h) P)| on a fine grid; the slow
    # loop's Pade error falls below 1e-8 by order 5, the resonant loop's stays above 10% at order 8.
    pytest.importorskip("control")
    out = run("hinf_pade.py", tmp_path / "hinf.png", cwd=tmp_path)
    exact = {name: float(v) for name, v in re.findall(r"(\w+) loop, exact: \|\|T\|\|inf = (\S+)", out)}
    w = np.linspace(0.0, 40.0, 400_001)
    s = 1j * w
    slow = 2.0 / ((s + 1.0) * (s + 2.0) * (s + 0.5))
    resonant = 400.0 / (s * s + 2.0 * s + 400.0)
    for name, P, K in (("slow", slow, 1.2), ("resonant", resonant, 0.05)):
        grid = np.abs(P / (1.0 + K * np.exp(-0.8 * s) * P)).max()
        assert grid <= exact[name] * (1.0 + 1e-8) and exact[name] == pytest.approx(grid, rel=1e-6)
    tables = out.split("resonant loop")
    errors = [[abs(float(e)) for e in re.findall(r"^\s+\d\s+\S+\s+(\S+)$", part, re.M)] for part in tables]
    assert errors[0][4] < 1e-8 and errors[1][7] > 0.1
    assert_picture(tmp_path / "hinf.png")


def test_feedback_chart_on_a_local_dask_cluster(tmp_path):
    pytest.importorskip("distributed")
    pytest.importorskip("control")
    out = run("feedback_chart.py", tmp_path / "fchart.png", 15, cwd=tmp_path)
    assert "15x15 grid on a local Dask cluster" in out and ", 0 failed;" in out
    assert "delay margin at K = 1.2: 1.5497" in out
    assert_picture(tmp_path / "fchart.png")


def test_feedback_chart_agrees_with_the_exact_delay_margin():
    pytest.importorskip("control")
    sys.path.insert(0, str(EXAMPLES))
    try:
        import feedback_chart
    finally:
        sys.path.remove(str(EXAMPLES))
    loop = feedback_chart.Loop()
    rng = np.random.default_rng(5)
    checked = 0
    while checked < 25:
        gain, delay = rng.uniform(*feedback_chart.GAINS), rng.uniform(*feedback_chart.DELAYS)
        margin = feedback_chart.delay_margin(gain)
        if abs(delay - margin) < 0.1:
            continue
        checked += 1
        import vantor

        assert vantor.is_stable(loop(gain, delay)) == (delay < margin), (gain, delay)


def test_delay_locus_picture(tmp_path):
    out = run("delay_locus.py", tmp_path / "locus.png", 40, cwd=tmp_path)
    crossing = float(re.search(r"first unstable delay on the grid (\S+);", out).group(1))
    assert 1.5497 <= crossing < 1.5497 + 2.48 / 39
    assert_picture(tmp_path / "locus.png")


def test_delay_design(tmp_path):
    out = run("delay_design.py", tmp_path / "design.png", cwd=tmp_path)
    exact, classical = (float(h) for h in re.findall(r"h = (\d+\.\d+)", out)[:2])
    assert exact == pytest.approx(classical, rel=1e-10) and exact == pytest.approx(1.5497, abs=1e-4)
    assert len(re.findall(r"^  \[\d+\.\d+, \d+\.\d+\)$", out, re.M)) == 5
    abscissa = float(re.search(r"spectral abscissa of the loop (-?\d+\.\d+) \(certified: True\)", out)[1])
    assert abscissa < -1.0
    assert_picture(tmp_path / "design.png")


def test_large_reaction_diffusion(tmp_path):
    out = run("large_reaction_diffusion.py", tmp_path / "rd.png", 2000, cwd=tmp_path)
    assert re.search(r"n = 2000: 8 rightmost roots in [\d.]+ s, certified: True", out)
    residuals = [float(v) for v in re.findall(r"residual (\S+)", out)]
    assert len(residuals) == 8 and max(residuals) < 1e-10
    assert_picture(tmp_path / "rd.png")
