"""Delay systems assembled from control models."""

from __future__ import annotations

import math
from typing import Any, Optional, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

import pyvantor

from ._system import check_real


def _matrix(value: Optional[ArrayLike], name: str) -> NDArray[np.float64]:
    """A finite real 2-D array; TypeError / ValueError naming `name`."""
    if value is None:
        raise TypeError(f"{name} is required")
    array = np.asarray(value)
    if array.dtype == object or np.iscomplexobj(array) or not (
            np.issubdtype(array.dtype, np.number) or array.dtype == np.bool_):
        raise TypeError(f"{name} must be a real array, got dtype {array.dtype}")
    if array.ndim != 2 and array.ndim != 0:
        # A 1-D array could be a row or a column: the caller says which.
        raise ValueError(f"{name} must be a 2-D array (a number for 1 x 1), got shape {array.shape}")
    array = np.atleast_2d(array.astype(np.float64))
    if not np.all(np.isfinite(array)):
        raise ValueError(f"{name} has a non-finite entry")
    return array


def _is_state_space(value: Any) -> bool:
    return all(hasattr(value, attr) for attr in ("A", "B", "C", "D", "dt"))


def feedback_system(
    A: Any,
    B: Optional[ArrayLike] = None,
    C: Optional[ArrayLike] = None,
    K: Union[ArrayLike, float] = 1.0,
    delay: float = 0.0,
    *,
    D: Optional[ArrayLike] = None,
    input_delay: float = 0.0,
    output_delay: float = 0.0,
) -> pyvantor.lagsys:
    """The closed loop of a plant under delayed static output feedback.

    Plant ``x' = A x + B u``, ``y = C x``; control ``u(t) = -K y(t - delay)``. The loop is the
    retarded system ``x'(t) = A x(t) - B K C x(t - delay)``, returned as
    ``pyvantor.lagsys([A, -B K C], [0, delay])``. Delays at the plant's input and output add up:
    the loop's delay is ``delay + input_delay + output_delay``.

    Parameters
    ----------
    A : array_like (n, n) or control.StateSpace
        The state matrix, or a continuous-time python-control ``StateSpace`` (then `B` and `C`
        must be omitted; its feedthrough ``D`` must be zero).
    B : array_like (n, m)
        The input matrix.
    C : array_like (p, n)
        The output matrix.
    K : array_like (m, p) or float, optional
        The feedback gain; a number means that number times the identity (needs m == p).
        Default 1.
    delay : float, optional
        The loop's delay (>= 0). Default 0.
    D : array_like (p, m), optional
        The feedthrough; only zero is accepted.
    input_delay, output_delay : float, optional
        Delays at the plant's input and output, added to `delay`.

    Returns
    -------
    pyvantor.lagsys

    Raises
    ------
    TypeError
        A matrix that is not a real array; `B` or `C` given with a ``StateSpace``.
    ValueError
        Shapes that do not fit, non-finite entries, negative or non-finite delays, a nonzero
        feedthrough (the loop ``u = -K (C x + D u)(t - delay)`` would be of neutral type, not
        retarded), a discrete-time ``StateSpace``.

    Examples
    --------
    >>> import vantor
    >>> sys = vantor.feedback_system([[0.0, 1.0], [0.0, -1.0]], [[0.0], [1.0]], [[1.0, 0.0]],
    ...                              K=0.5, delay=0.3)
    >>> sys.A(1)
    array([[ 0. ,  0. ],
           [-0.5,  0. ]])
    """
    if _is_state_space(A):
        if B is not None or C is not None:
            raise TypeError("B and C must be omitted when A is a StateSpace")
        if getattr(A, "dt", 0) not in (0, None):
            raise ValueError(f"A must be a continuous-time StateSpace, got dt = {A.dt!r}")
        if D is not None:
            raise TypeError("D must be omitted when A is a StateSpace (its own D is used)")
        A, B, C, D = A.A, A.B, A.C, A.D
    Am = _matrix(A, "A")
    Bm = _matrix(B, "B")
    Cm = _matrix(C, "C")
    n = Am.shape[0]
    if Am.shape != (n, n) or n == 0:
        raise ValueError(f"A must be square and non-empty, got shape {Am.shape}")
    if Bm.shape[0] != n:
        raise ValueError(f"B must have {n} rows (the order of A), got shape {Bm.shape}")
    if Cm.shape[1] != n:
        raise ValueError(f"C must have {n} columns (the order of A), got shape {Cm.shape}")
    m, p = Bm.shape[1], Cm.shape[0]
    if D is not None:
        Dm = _matrix(D, "D")
        if Dm.size and Dm.shape != (p, m):
            raise ValueError(f"D must have shape ({p}, {m}), got {Dm.shape}")
        if np.any(Dm != 0.0):
            raise ValueError(
                "D must be zero: with a feedthrough the delayed loop is of neutral type "
                "(u depends on u(t - delay)), not retarded")
    if np.ndim(K) == 0:
        # A 0-d array is a number too.
        gain = check_real(K.item() if isinstance(K, np.ndarray) else K, "K")
        if m != p:
            raise ValueError(f"a scalar K needs as many inputs as outputs, got {m} and {p}")
        Km = gain * np.eye(m)
    else:
        Km = _matrix(K, "K")
        if Km.shape != (m, p):
            raise ValueError(f"K must have shape ({m}, {p}) (inputs x outputs), got {Km.shape}")
    total = 0.0
    for name, value in (("delay", delay), ("input_delay", input_delay), ("output_delay", output_delay)):
        h = check_real(value, name)
        if h < 0.0:
            raise ValueError(f"{name} must be >= 0, got {h!r}")
        total += h
    if not math.isfinite(total):
        raise ValueError(f"the total delay overflows: {total!r}")
    # 0 - BKC rather than -BKC: no negative zeros in the delayed matrix.
    return pyvantor.lagsys([Am, 0.0 - Bm @ Km @ Cm], [0.0, total])
