"""Hostile input from Python: every case either works or raises one of the allowed exceptions,
and the interpreter survives. Risky cases run in a subprocess, so a crash fails the test."""

import gc
import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import pyvantor

ALLOWED = (TypeError, ValueError, IndexError, MemoryError, OverflowError)
ALLOWED_NAMES = {e.__name__ for e in ALLOWED}


def outcome(f):
    try:
        f()
    except ALLOWED as e:
        return type(e).__name__
    return "ok"


@pytest.mark.parametrize("dtype", [np.float32, np.float16, np.int8, np.int32, np.int64, np.uint8, bool])
def test_real_dtypes_are_converted(dtype):
    matrix = (np.arange(4) % 2).reshape(2, 2).astype(dtype)
    sys_ = pyvantor.lagsys([matrix], [0.0])
    np.testing.assert_array_equal(sys_.A(0), matrix.astype(np.float64))
    assert sys_.A(0).dtype == np.float64


@pytest.mark.parametrize("dtype", [np.complex64, np.complex128, object, np.longdouble, "U3", "datetime64[s]"])
def test_other_dtypes_are_refused(dtype):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        pyvantor.lagsys([np.ones((2, 2), dtype=dtype)], [0.0])


@pytest.mark.parametrize(
    "matrix",
    [np.zeros((0, 0)), np.zeros((0, 3)), np.zeros((3, 0)), np.eye(4)[::2, ::2], np.eye(4)[:, 1:3].T,
     np.asfortranarray(np.eye(3))[::-1]],
    ids=["0x0", "0x3", "3x0", "strided", "transposed-slice", "reversed"],
)
def test_layouts_and_empty_shapes(matrix):
    sys_ = pyvantor.lagsys([matrix], [0.0])
    np.testing.assert_array_equal(sys_.A(0), matrix)
    assert outcome(lambda: pyvantor.roots(sys_, -1.0)) in {"ok", "ValueError"}


@pytest.mark.parametrize(
    "matrices, delays",
    [
        ([np.full((2, 2), np.nan)], [0.0]),
        ([np.full((2, 2), np.inf)], [0.0]),
        ([np.eye(2), -np.eye(2)], [0.0, np.nan]),
        ([np.eye(2), -np.eye(2)], [0.0, -np.inf]),
        ([np.eye(2), -np.eye(2)], [-0.5, 1.0]),
        ([np.eye(2), -np.eye(3)], [0.0, 1.0]),
        ([np.zeros((2, 3)), np.zeros((2, 3))], [0.0, 1.0]),
        ([np.zeros((2, 3))], [0.0]),
    ],
    ids=["nan-entry", "inf-entry", "nan-delay", "minus-inf-delay", "negative-delay", "mismatched",
         "non-square", "single-non-square"],
)
def test_bad_systems_construct_but_roots_refuses(matrices, delays):
    sys_ = pyvantor.lagsys(matrices, delays)
    with pytest.raises(ValueError):
        pyvantor.roots(sys_, 0.0)


@pytest.mark.parametrize("r", [float("nan"), float("-inf")])
def test_meaningless_bounds(lambert, r):
    with pytest.raises(ValueError, match="bound r"):
        pyvantor.roots(lambert, r)


def test_infinite_bound_has_no_roots(lambert):
    assert pyvantor.roots(lambert, float("inf")) == []


class RaisingFloat:
    def __float__(self):
        raise RuntimeError("no float")


class WrongFloat:
    def __float__(self):
        return "1.0"


class RaisingIndex:
    def __index__(self):
        raise RuntimeError("no index")


class HugeIndex:
    def __index__(self):
        return 2**70


class ShortSequence:
    """Claims five items but has two."""

    def __len__(self):
        return 5

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return 0.5 * i


class RaisingSequence:
    def __len__(self):
        return 2

    def __getitem__(self, i):
        raise ValueError("no items")


class HugeLength:
    def __len__(self):
        return 2**62

    def __getitem__(self, i):
        return 1.0


@pytest.mark.parametrize(
    "call",
    [
        lambda: pyvantor.lagsys([np.eye(1)], [RaisingFloat()]),
        lambda: pyvantor.lagsys([np.eye(1)], [WrongFloat()]),
        lambda: pyvantor.lagsys([np.eye(1)], RaisingSequence()),
        lambda: pyvantor.lagsys([np.eye(1)], HugeLength()),
        lambda: pyvantor.lagsys(RaisingSequence(), [0.0]),
        lambda: pyvantor.lagsys([np.eye(1)], [0.0]).A(RaisingIndex()),
        lambda: pyvantor.lagsys([np.eye(1)], [0.0]).A(HugeIndex()),
        lambda: pyvantor.roots(pyvantor.lagsys([np.eye(1)], [0.0]), RaisingFloat()),
        lambda: pyvantor.roots(pyvantor.lagsys([np.eye(1)], [0.0]), "0"),
        lambda: pyvantor.roots(np.eye(1), 0.0),
    ],
    ids=["raising-float", "wrong-float", "raising-seq", "huge-len", "raising-matrix-seq",
         "raising-index", "huge-index", "raising-bound", "str-bound", "not-a-system"],
)
def test_misbehaving_objects_are_refused(call):
    with pytest.raises(TypeError):
        call()


def test_sequence_protocol_follows_getitem():
    # A sequence is read until __getitem__ stops, whatever __len__ claimed.
    assert outcome(lambda: pyvantor.lagsys([np.eye(1)] * 2, ShortSequence())) in {"ok", "TypeError"}


def test_subclass_with_overrides(lambert):
    class Odd(pyvantor.lagsys):
        def hA(self):
            return "not delays"

        @property
        def n(self):
            return -7

    sys_ = Odd([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    # roots reads the stored system, not the Python overrides.
    np.testing.assert_allclose(pyvantor.roots(sys_, -1.0), pyvantor.roots(lambert, -1.0))


def test_views_outlive_the_object_and_writes_between_calls():
    sys_ = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    A1, h = sys_.A(1), sys_.hA()
    first = pyvantor.roots(sys_, -1.0)
    h[1] = 2.0
    A1[0, 0] = -0.5
    second = pyvantor.roots(sys_, -1.0)
    assert first != second
    for lam in second:
        assert abs(lam + 0.5 * np.exp(-2.0 * lam)) < 1e-9
    del sys_
    gc.collect()
    assert A1[0, 0] == -0.5 and h[1] == 2.0
    A1[0, 0] = 3.0  # the storage is still owned through the view


def test_nan_written_through_a_view_is_refused():
    sys_ = pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])
    sys_.A(0)[0, 0] = np.nan
    with pytest.raises(ValueError, match="non-finite"):
        pyvantor.roots(sys_, -1.0)
    sys_.A(0)[0, 0] = 0.0
    sys_.hA()[1] = -1.0
    with pytest.raises(ValueError, match="hA"):
        pyvantor.roots(sys_, -1.0)


# Cases that could take the interpreter down if handled unsafely: each runs in a fresh process.
RISKY = {
    "huge-broadcast-matrix": "pyvantor.lagsys([np.broadcast_to(0.0, (100000, 100000))], [0.0])",
    "huge-stack": "pyvantor.lagsys(np.broadcast_to(np.eye(2), (2 * 10**5, 2, 2)), [0.0])",
    "many-delays-few-matrices": "pyvantor.roots(pyvantor.lagsys([np.eye(1)] * 3, [0.0]), 0.0)",
    "no-delays": "pyvantor.roots(pyvantor.lagsys([np.eye(2)], []), 0.0)",
    "no-matrices": "pyvantor.roots(pyvantor.lagsys([], [1.0, 2.0]), 0.0)",
    "empty-order": "print(pyvantor.roots(pyvantor.lagsys([np.zeros((0, 0))] * 2, [0.0, 1.0]), -1.0))",
    "huge-entries": "pyvantor.roots(pyvantor.lagsys([np.full((2, 2), 1e300), np.eye(2)], [0.0, 1.0]), 0.0)",
    "tiny-entries": "pyvantor.roots(pyvantor.lagsys([np.full((2, 2), 1e-300), np.eye(2)], [0.0, 1e-300]), 0.0)",
    "huge-delay": "pyvantor.roots(pyvantor.lagsys([np.zeros((1, 1)), -np.eye(1)], [0.0, 1e300]), -1.0)",
    "far-left-bound": "pyvantor.roots(pyvantor.lagsys([np.zeros((1, 1)), -np.eye(1)], [0.0, 1.0]), -1e300)",
    "huge-grid": "pyvantor.roots(pyvantor.lagsys([np.eye(1)] * 5, [0.0, 1e-300, 1e300, 1.0, 2.0]), 0.0)",
    "view-of-dead-object": textwrap.dedent("""
        v = pyvantor.lagsys([np.eye(300)], [0.0]).A(0)
        import gc; gc.collect()
        junk = [np.ones(300 * 300) for _ in range(20)]
        assert v[5, 5] == 1.0 and v[5, 6] == 0.0
        v[:] = 7.0
    """),
    "reinit-and-use": textwrap.dedent("""
        import warnings; warnings.simplefilter("ignore")
        s = pyvantor.lagsys([np.eye(2)], [0.0])
        try:
            s.__init__([np.eye(3)], [0.0])
        except TypeError:
            pass
        assert s.n == 2
        pyvantor.roots(s, -5.0)
    """),
    "uninitialised-instance": textwrap.dedent("""
        import warnings; warnings.simplefilter("ignore")
        s = pyvantor.lagsys.__new__(pyvantor.lagsys)
        for f in (lambda: s.n, lambda: s.mA, lambda: s.A(0), lambda: s.hA(), lambda: pyvantor.roots(s, 0.0)):
            try:
                f()
            except TypeError:
                pass
            else:
                raise AssertionError("an uninitialised instance was used")
    """),
}


@pytest.mark.parametrize("name", sorted(RISKY))
def test_risky_case_survives(name):
    program = textwrap.dedent("""
        import json, sys
        import numpy as np
        import pyvantor
        try:
        {body}
        except ({allowed}) as e:
            print(json.dumps(type(e).__name__))
        else:
            print(json.dumps("ok"))
    """).format(body=textwrap.indent(RISKY[name].strip(), " " * 4), allowed=", ".join(sorted(ALLOWED_NAMES)))
    done = subprocess.run([sys.executable, "-c", program], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, f"exit {done.returncode}\n{done.stderr[-2000:]}"
    assert json.loads(done.stdout.strip().splitlines()[-1]) in ALLOWED_NAMES | {"ok"}
