import gc
import warnings

import numpy as np
import pytest

import pyvantor

RANGE_TEXT = "vector::_M_range_check: __n (which is {}) >= this->size() (which is {})"


def test_module_surface():
    assert pyvantor.__doc__ == "vantor python bindings"
    public = [name for name in dir(pyvantor) if not name.startswith("_")]
    assert sorted(public) == ["lagsys", "roots"]
    assert pyvantor.lagsys.__init__.__doc__.strip().endswith("hA")


@pytest.mark.parametrize(
    "member, signature",
    [
        (
            pyvantor.lagsys.__init__,
            "def __init__(self, arg0: collections.abc.Sequence[numpy.ndarray[dtype=float64, "
            "shape=(*, *), order='F']], arg1: collections.abc.Sequence[float], /) -> None",
        ),
        (pyvantor.lagsys.mA.fget, "def (self) -> int"),
        (pyvantor.lagsys.n.fget, "def (self) -> int"),
        (
            pyvantor.lagsys.A,
            "def A(self, arg: int, /) -> numpy.ndarray[dtype=float64, shape=(*, *), order='F']",
        ),
        (pyvantor.lagsys.hA, "def hA(self) -> numpy.ndarray[dtype=float64]"),
        (pyvantor.roots, "def roots(arg0: pyvantor.lagsys, arg1: float, /) -> list[complex]"),
    ],
)
def test_signatures(member, signature):
    overloads = member.__nb_signature__
    assert len(overloads) == 1
    assert overloads[0][0] == signature


def test_docstrings():
    assert pyvantor.lagsys.__init__.__nb_signature__[0][1] == "hA"
    for member in (pyvantor.lagsys.A, pyvantor.lagsys.hA, pyvantor.roots):
        assert member.__nb_signature__[0][1] is None


def test_empty_system():
    sys = pyvantor.lagsys([], [])
    assert sys.mA == 0 and sys.n == 0
    delays = sys.hA()
    assert delays.dtype == np.float64 and delays.shape == (0,)
    with pytest.raises(IndexError, match=r"^" + RANGE_TEXT.format(0, 0).replace("(", r"\(").replace(")", r"\)") + "$"):
        sys.A(0)


def test_reads_back(pair):
    assert pair.mA == 2 and pair.n == 2
    np.testing.assert_array_equal(pair.A(1), [[0.3, -0.4], [0.1, 0.25]])
    np.testing.assert_array_equal(pair.hA(), [0.0, 0.8])
    with pytest.raises(IndexError) as err:
        pair.A(2)
    assert str(err.value) == RANGE_TEXT.format(2, 2)


def test_order_from_first_matrix():
    sys = pyvantor.lagsys([np.zeros((2, 3)), np.zeros((4, 4))], [0.0, 1.0])
    assert sys.n == 2 and sys.mA == 2


@pytest.mark.parametrize(
    "matrix",
    [
        np.arange(6.0).reshape(2, 3),  # C order
        np.asfortranarray(np.arange(6.0).reshape(2, 3)),
        np.arange(6, dtype=np.float32).reshape(2, 3),
        np.arange(6, dtype=np.int64).reshape(2, 3),
        np.arange(12.0).reshape(2, 6)[:, ::2],  # non-contiguous
    ],
    ids=["c-order", "f-order", "float32", "int64", "strided"],
)
def test_matrices_are_copied_as_float64_column_major(matrix):
    sys = pyvantor.lagsys([matrix], [0.0])
    stored = sys.A(0)
    assert stored.dtype == np.float64 and stored.flags.f_contiguous
    np.testing.assert_array_equal(stored, matrix)
    assert not np.shares_memory(stored, matrix)


@pytest.mark.parametrize(
    "matrices",
    [
        [np.zeros((2, 2), dtype=complex)],
        [[[1.0, 0.0], [0.0, 1.0]]],
        [np.zeros(3)],
        [np.zeros((2, 2, 2))],
        "ab",
        b"ab",
        np.zeros((2, 2)),  # a sequence of 1-D rows
        None,
    ],
    ids=["complex", "nested-list", "1d", "3d", "str", "bytes", "2d-as-sequence", "none"],
)
def test_refused_matrices(matrices):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pyvantor.lagsys(matrices, [0.0])


def test_sequences_of_matrices():
    stack = np.arange(8.0).reshape(2, 2, 2)
    sys = pyvantor.lagsys(stack, [0.0, 1.0])
    assert sys.mA == 2
    np.testing.assert_array_equal(sys.A(1), stack[1])
    sys = pyvantor.lagsys((np.eye(2), np.eye(2)), (0.0, 1.0))
    assert sys.mA == 2


@pytest.mark.parametrize(
    "delays, expected",
    [([0, 1], [0.0, 1.0]), (np.array([0.0, 2.5]), [0.0, 2.5]), ((np.float32(0.5), 1), [0.5, 1.0])],
)
def test_delay_conversions(delays, expected):
    sys = pyvantor.lagsys([np.eye(1), np.eye(1)], delays)
    np.testing.assert_array_equal(sys.hA(), expected)


@pytest.mark.parametrize("delays", ["01", [0.0, "1"], [None], 3.0])
def test_refused_delays(delays):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pyvantor.lagsys([np.eye(1)], delays)


def test_input_changes_do_not_reach_the_object():
    A = np.eye(2)
    sys = pyvantor.lagsys([A], [0.0])
    A[0, 0] = 9.0
    assert sys.A(0)[0, 0] == 1.0


def test_writes_through_views_reach_the_object(pair):
    pair.A(0)[0, 0] = 5.0
    assert pair.A(0)[0, 0] == 5.0
    pair.hA()[1] = 0.25
    assert pair.hA()[1] == 0.25


def test_views_share_storage_and_keep_the_object_alive():
    sys = pyvantor.lagsys([np.eye(3)], [0.5])
    A, h = sys.A(0), sys.hA()
    assert A.flags.writeable and h.flags.writeable and not A.flags.owndata
    assert np.shares_memory(A, sys.A(0))
    del sys
    gc.collect()
    for _ in range(3):
        np.ones((3, 3)) * 7.0  # reuse freed memory, if any
    np.testing.assert_array_equal(A, np.eye(3))
    assert h[0] == 0.5


@pytest.mark.parametrize(
    "matrices, delays, length",
    [(2, [1.0], 1), (1, [0.0, 1.0], 1), (2, [], 0), (3, [0.0, 1.0, 2.0], 3)],
)
def test_delay_view_never_passes_the_stored_delays(matrices, delays, length):
    sys = pyvantor.lagsys([np.eye(1)] * matrices, delays)
    assert sys.mA == matrices
    np.testing.assert_array_equal(sys.hA(), delays[:length])


@pytest.mark.parametrize("k", [-1, 1.0, "0", None])
def test_refused_indices(pair, k):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pair.A(k)


def test_integer_like_indices(pair):
    np.testing.assert_array_equal(pair.A(np.int64(1)), pair.A(1))
    with pytest.raises(IndexError):
        pair.A(2**63)
    with pytest.raises(TypeError):
        pair.A(2**64)


@pytest.mark.parametrize("name", ["mA", "n"])
def test_properties_are_read_only(pair, name):
    with pytest.raises(AttributeError):
        setattr(pair, name, 3)


def test_reinitialisation_is_refused(pair):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        with pytest.raises(TypeError):
            pair.__init__([np.eye(3)], [0.0])
    assert any("already-initialized" in str(w.message) for w in caught)
    assert pair.n == 2 and pair.mA == 2


def test_keyword_and_count_errors():
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pyvantor.lagsys(A=[np.eye(1)], hA=[0.0])
    with pytest.raises(TypeError):
        pyvantor.lagsys([np.eye(1)])
    with pytest.raises(TypeError):
        pyvantor.lagsys([np.eye(1)], [0.0], [1.0])


def test_subclass():
    class Tagged(pyvantor.lagsys):
        pass

    sys = Tagged([np.eye(2)], [0.0])
    assert sys.n == 2
    assert isinstance(sys, pyvantor.lagsys)
    np.testing.assert_array_equal(sys.A(0), np.eye(2))


def test_instances_have_no_dict(pair):
    with pytest.raises(AttributeError):
        pair.tag = 1


def _busy_system(seed):
    rng = np.random.default_rng(seed)
    n = 8
    return pyvantor.lagsys([rng.normal(size=(n, n)) - 2.0 * np.eye(n), rng.normal(size=(n, n)) / n ** 0.5,
                            rng.normal(size=(n, n)) / n ** 0.5], [0.0, 1.0, 2.3])


def test_roots_lets_other_threads_run():
    # While one thread is inside roots, this one keeps running Python code at a good share of its
    # own pace (holding the GIL, roots would let it run only in rare slices: well under 1%).
    import threading
    import time

    def spin(until):
        count = 0
        while not until():
            count += 1
        return count

    began = time.perf_counter()
    alone = spin(lambda: time.perf_counter() - began > 0.05) / (time.perf_counter() - began)
    sys = _busy_system(0)
    thread = threading.Thread(target=pyvantor.roots, args=(sys, -1.5))
    began = time.perf_counter()
    thread.start()
    beside = spin(lambda: not thread.is_alive()) / (time.perf_counter() - began)
    thread.join()
    assert beside > 0.1 * alone


def test_threads_give_the_serial_roots():
    from concurrent.futures import ThreadPoolExecutor

    systems = [_busy_system(seed) for seed in range(4)]
    serial = [pyvantor.roots(s, -1.0) for s in systems]
    with ThreadPoolExecutor(2) as pool:
        threaded = list(pool.map(lambda s: pyvantor.roots(s, -1.0), systems))
    for a, b in zip(serial, threaded):
        np.testing.assert_array_equal(np.array(a), np.array(b))
