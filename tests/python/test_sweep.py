"""Sweeps: serial, process-pool and Dask runs agree bit for bit; failures, dead workers, progress,
saving and loading."""

import concurrent.futures
import importlib
import math
import os
import sys

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import pyvantor
import vantor
from reference import lambert_roots

AXES = {"a": np.linspace(-2.0, 1.0, 9), "b": np.linspace(-2.5, 1.5, 9)}


def scalar_build(a, b):
    """x' = a x + b x(t - 1)."""
    return pyvantor.lagsys([np.array([[a]]), np.array([[b]])], [0.0, 1.0])


def two_delay_build(a, b):
    """A 2x2 system with delays 0, 0.5 and 1.3 whose coupling grows with a and b."""
    A0 = np.array([[a, 1.0], [-0.5, -1.0]])
    A1 = np.array([[b, 0.2], [0.1, -0.3]])
    A2 = np.array([[0.1, -0.2 * b], [0.3, 0.2]])
    return pyvantor.lagsys([A0, A1, A2], [0.0, 0.5, 1.3])


class FailAt:
    """scalar_build, raising at one point."""

    def __init__(self, a, b):
        self.at = (a, b)

    def __call__(self, a, b):
        if (a, b) == self.at:
            raise ValueError(f"no model at a={a}, b={b}")
        return scalar_build(a, b)


class KillOnce:
    """two_delay_build, killing its own worker process the first time it sees one point (a marker
    file tells the later attempts that it already did)."""

    def __init__(self, marker, a, b):
        self.marker, self.at = str(marker), (a, b)
        self.parent = os.getpid()          # never this process, which computes the first points

    def __call__(self, a, b):
        if (a, b) == self.at and os.getpid() != self.parent and not os.path.exists(self.marker):
            open(self.marker, "w").close()
            os._exit(1)
        return two_delay_build(a, b)


class KillAlways:
    """two_delay_build, killing its worker process at one point every time (never this process)."""

    def __init__(self, a, b):
        self.at = (a, b)
        self.parent = os.getpid()

    def __call__(self, a, b):
        if (a, b) == self.at and os.getpid() != self.parent:
            os._exit(1)
        return two_delay_build(a, b)


class ExitAt:
    """scalar_build, calling sys.exit (or raising KeyboardInterrupt) at one point."""

    def __init__(self, a, b, error=SystemExit):
        self.at, self.error = (a, b), error

    def __call__(self, a, b):
        if (a, b) == self.at:
            raise self.error(3)
        return scalar_build(a, b)


def local_build_factory():
    def build(a, b):
        return scalar_build(a, b)
    return build


class NotASystem:
    def __call__(self, a, b):
        return [[a]]


def sweep_on(executor, build):
    """sweep(build, AXES) in this process ("serial") or on a 2-process pool ("pool")."""
    if executor == "pool":
        with concurrent.futures.ProcessPoolExecutor(2) as pool:
            return vantor.sweep(build, AXES, executor=pool, progress=False)
    return vantor.sweep(build, AXES, progress=False)


@pytest.fixture(scope="module")
def serial():
    return vantor.sweep(two_delay_build, AXES, progress=False)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    import dask

    config = vantor.dask_worker_config()
    assert "MALLOC_TRIM_THRESHOLD_" not in config["distributed.nanny.pre-spawn-environ"]
    with dask.config.set(config):
        cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                           host="127.0.0.1", dashboard_address=None)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def test_serial_result_matches_the_direct_calls(serial):
    assert serial.values.shape == (9, 9) and serial.quantity == "abscissa" and not serial.failures
    for i, j in [(0, 0), (4, 7), (8, 8)]:
        sys = two_delay_build(AXES["a"][i], AXES["b"][j])
        assert serial.values[i, j] == vantor.spectral_abscissa(sys).abscissa
    assert serial.point((2, 3)) == {"a": AXES["a"][2], "b": AXES["b"][3]}


def test_process_pool_gives_the_serial_result_bit_for_bit(serial):
    with concurrent.futures.ProcessPoolExecutor(2) as pool:
        result = vantor.sweep(two_delay_build, AXES, executor=pool, progress=False)
    assert_array_equal(result.values, serial.values)
    assert not result.failures


def test_dask_cluster_gives_the_serial_result_bit_for_bit(serial, dask_client):
    result = vantor.sweep(two_delay_build, AXES, executor=dask_client, progress=False)
    assert_array_equal(result.values, serial.values)
    assert not result.failures


@pytest.mark.parametrize("i, j", [(3, 5), (0, 0)])
@pytest.mark.parametrize("executor", ["serial", "pool"])
def test_a_failing_point_is_recorded_and_the_sweep_goes_on(executor, i, j):
    result = sweep_on(executor, FailAt(AXES["a"][i], AXES["b"][j]))
    assert list(result.failures) == [(i, j)]
    assert result.failures[(i, j)] == f"ValueError: no model at a={AXES['a'][i]}, b={AXES['b'][j]}"
    assert math.isnan(result.values[i, j])
    expected = vantor.sweep(scalar_build, AXES, progress=False).values
    mask = np.ones(expected.shape, dtype=bool)
    mask[i, j] = False
    assert_array_equal(result.values[mask], expected[mask])


def test_a_dead_pool_worker_loses_no_point(serial, tmp_path):
    build = KillOnce(tmp_path / "killed", AXES["a"][6], AXES["b"][2])
    pool = concurrent.futures.ProcessPoolExecutor(2)
    try:
        result = vantor.sweep(build, AXES, executor=pool, progress=False)
    finally:
        pool.shutdown()
    assert (tmp_path / "killed").exists()       # the worker did die
    assert not result.failures
    assert_array_equal(result.values, serial.values)


# Flat indices past the first 16 points, which this process computes itself to size the batches.
@pytest.mark.parametrize("killer", [(6, 2), (8, 8), (2, 0)])
def test_a_point_that_always_kills_its_worker_is_the_only_failure(serial, killer):
    i, j = killer
    pool = concurrent.futures.ProcessPoolExecutor(2)
    try:
        result = vantor.sweep(KillAlways(AXES["a"][i], AXES["b"][j]), AXES, executor=pool,
                              progress=False)
    finally:
        pool.shutdown()
    assert result.failures == {(i, j): "the worker process died while computing this point"}
    mask = np.ones(serial.values.shape, dtype=bool)
    mask[i, j] = False
    assert_array_equal(result.values[mask], serial.values[mask])
    assert math.isnan(result.values[i, j])


@pytest.mark.parametrize("executor", ["serial", "pool"])
def test_system_exit_in_build_fails_only_its_point(executor):
    i, j = 7, 4
    result = sweep_on(executor, ExitAt(AXES["a"][i], AXES["b"][j]))
    assert result.failures == {(i, j): "SystemExit: 3"}
    assert np.isfinite(np.delete(result.values.ravel(), i * AXES["b"].size + j)).all()


def test_keyboard_interrupt_in_build_stops_the_sweep():
    with pytest.raises(KeyboardInterrupt):
        vantor.sweep(ExitAt(AXES["a"][2], AXES["b"][3], KeyboardInterrupt), AXES, progress=False)


@pytest.mark.parametrize("make_build", [lambda: (lambda a, b: scalar_build(a, b)),
                                        local_build_factory])
def test_an_unpicklable_build_is_refused_before_any_work_on_a_pool(make_build):
    calls = []

    build = make_build()

    def counting(a, b):
        calls.append((a, b))
        return build(a, b)

    for candidate in (build, counting):
        with concurrent.futures.ProcessPoolExecutor(2) as pool:
            with pytest.raises(TypeError, match="build must be picklable.*module-level function"):
                vantor.sweep(candidate, AXES, executor=pool, progress=False)
    assert calls == []
    # Serial runs need no pickling.
    assert not vantor.sweep(build, {"a": [0.0], "b": [-1.0, 0.5]}, progress=False).failures


def test_a_dead_dask_worker_loses_no_point(serial, dask_client, tmp_path):
    build = KillOnce(tmp_path / "killed", AXES["a"][6], AXES["b"][2])
    result = vantor.sweep(build, AXES, executor=dask_client, progress=False)
    assert (tmp_path / "killed").exists()
    assert not result.failures
    assert_array_equal(result.values, serial.values)


def test_progress_bar_writes_only_when_enabled(capfd):
    axes = {"a": [-1.0, 0.0, 0.5], "b": [-0.5, 0.5]}
    vantor.sweep(scalar_build, axes, progress=True)
    out, err = capfd.readouterr()
    assert out == "" and "6/6" in err
    vantor.sweep(scalar_build, axes, progress=False)
    assert capfd.readouterr() == ("", "")
    # The default: no bar when the output is neither a terminal nor a notebook (as under pytest).
    vantor.sweep(scalar_build, axes)
    assert capfd.readouterr() == ("", "")


@pytest.mark.parametrize("tty", [True, False])
def test_default_progress_needs_tqdm_and_a_terminal(monkeypatch, tty):
    sweep_module = importlib.import_module("vantor.sweep")     # the attribute is the function
    monkeypatch.setattr(sweep_module.sys.stderr, "isatty", lambda: tty, raising=False)
    assert sweep_module.show_progress(None) is tty
    for name in ("tqdm", "tqdm.auto"):                              # tqdm not installed
        monkeypatch.setitem(sys.modules, name, None)
    assert sweep_module.show_progress(None) is False
    result = vantor.sweep(scalar_build, {"a": [0.0], "b": [-1.0]})   # the base install works
    assert not result.failures
    with pytest.raises(ImportError, match="needs tqdm.*progress=False"):
        vantor.sweep(scalar_build, {"a": [0.0], "b": [-1.0]}, progress=True)


def test_count_and_roots_quantities_match_lambert_w():
    axes = {"a": [-1.0, 0.3], "b": [-2.0, 0.5]}
    counts = vantor.sweep(scalar_build, axes, quantity="count", r=-0.5, progress=False)
    roots = vantor.sweep(scalar_build, axes, quantity="roots", r=-0.5, progress=False)
    assert counts.r == roots.r == -0.5
    for i, a in enumerate(axes["a"]):
        for j, b in enumerate(axes["b"]):
            exact = lambert_roots(a, b, 1.0, -0.5)
            assert counts.values[i, j] == exact.size
            assert_allclose(np.sort_complex(roots.values[i, j]), np.sort_complex(exact), atol=1e-12)


def test_locus_follows_the_roots_as_the_delay_grows():
    delays = [0.5, 1.0, 2.0]
    result = vantor.locus(lambda h: scalar_build(0.0, -1.0).__class__(
        [np.zeros((1, 1)), -np.ones((1, 1))], [0.0, h]), delays, -1.0, name="h", progress=False)
    assert list(result.axes) == ["h"]
    for k, h in enumerate(delays):
        assert_allclose(np.sort_complex(result.values[k]), np.sort_complex(lambert_roots(0.0, -1.0, h, -1.0)),
                        atol=1e-12)


@pytest.mark.parametrize("quantity, suffix", [("abscissa", ".npz"), ("roots", ".npz"),
                                              ("count", ".nc")])
def test_save_and_load_round_trip(tmp_path, quantity, suffix):
    if suffix == ".nc":
        pytest.importorskip("xarray")
    build = FailAt(AXES["a"][0], AXES["b"][1])
    axes = {"a": AXES["a"][:3], "b": AXES["b"][:4]}
    result = vantor.sweep(build, axes, quantity=quantity, r=-1.0, progress=False)
    path = tmp_path / f"result{suffix}"
    result.save(str(path))
    loaded = vantor.load_sweep(str(path))
    assert loaded.quantity == quantity and loaded.r == result.r
    assert list(loaded.axes) == ["a", "b"]
    for name in axes:
        assert_array_equal(loaded.axes[name], axes[name])
    assert loaded.failures == result.failures and (0, 1) in loaded.failures
    if quantity == "roots":
        for got, want in zip(loaded.values.ravel(), result.values.ravel()):
            if isinstance(want, np.ndarray):
                assert_array_equal(got, want)
            else:
                assert math.isnan(got)
    else:
        assert_array_equal(loaded.values, result.values)


def _foreign_npz(path):
    np.savez(path, values=np.zeros(3))


def _truncated_npz(path):
    vantor.sweep(scalar_build, {"a": AXES["a"][:2], "b": AXES["b"][:2]}, progress=False).save(str(path))
    path.write_bytes(path.read_bytes()[:200])


@pytest.mark.parametrize("name, write", [
    ("foreign.npz", _foreign_npz),
    ("truncated.npz", _truncated_npz),
    ("text.npz", lambda path: path.write_text("not a sweep\n")),
    ("array.npy", lambda path: np.save(path, np.arange(3.0))),
])
def test_loading_a_file_that_is_not_a_sweep_names_it(tmp_path, name, write):
    path = tmp_path / name
    write(path)
    with pytest.raises(ValueError, match=f"{name} is not a sweep"):
        vantor.load_sweep(str(path))


def test_to_xarray_labels_the_axes():
    xarray = pytest.importorskip("xarray")
    result = vantor.sweep(scalar_build, {"a": [-1.0, 0.0], "b": [0.5]}, progress=False)
    array = result.to_xarray()
    assert isinstance(array, xarray.DataArray) and array.dims == ("a", "b")
    assert array.sel(a=0.0, b=0.5).item() == result.values[1, 0]


@pytest.mark.parametrize("kwargs, error, message", [
    (dict(build=1), TypeError, "build must be callable"),
    (dict(axes=[1, 2]), TypeError, "axes must be a non-empty mapping"),
    (dict(axes={}), TypeError, "axes must be a non-empty mapping"),
    (dict(axes={"a b": [1.0]}), ValueError, "'a b' is not a valid parameter name"),
    (dict(axes={"a": [[1.0]], "b": [1.0]}), ValueError, r"axes\['a'\] must be a non-empty 1-D array"),
    (dict(axes={"a": [np.nan], "b": [1.0]}), ValueError, r"axes\['a'\] has a non-finite value"),
    (dict(axes={"a": ["x"], "b": [1.0]}), TypeError, r"axes\['a'\] must be real numbers"),
    (dict(quantity="poles"), ValueError, "quantity must be one of"),
    (dict(r=float("nan")), ValueError, "r must be finite"),
    (dict(executor="pool"), TypeError, "executor must be None"),
    (dict(build=NotASystem()), TypeError, "build must return a pyvantor.lagsys, got list"),
])
def test_bad_arguments_are_refused(kwargs, error, message):
    arguments = dict(build=scalar_build, axes={"a": [0.0], "b": [1.0]}, progress=False)
    arguments.update(kwargs)
    with pytest.raises(error, match=message):
        vantor.sweep(**arguments)
