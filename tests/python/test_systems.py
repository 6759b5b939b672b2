"""feedback_system against hand-assembled systems and python-control's closed loops."""

import numpy as np
import pytest
from numpy.testing import assert_allclose, assert_array_equal

import pyvantor
import vantor

control = pytest.importorskip("control")

A = np.array([[0.0, 1.0, 0.0], [0.0, 0.0, 1.0], [-2.0, -3.0, -1.5]])
B = np.array([[0.0, 1.0], [0.0, 0.0], [1.0, 0.5]])
C = np.array([[1.0, 0.0, 0.0], [0.0, 1.0, 1.0]])
K = np.array([[0.4, -0.1], [0.2, 0.3]])


def assert_same_system(sys, matrices, delays):
    assert sys.mA == len(matrices)
    for k, Ak in enumerate(matrices):
        assert_allclose(sys.A(k), Ak, rtol=0, atol=1e-15)
    assert_array_equal(sys.hA(), delays)


@pytest.mark.parametrize("use_state_space", [False, True])
def test_matches_the_hand_assembled_loop(use_state_space):
    if use_state_space:
        sys = vantor.feedback_system(control.ss(A, B, C, 0), K=K, delay=0.2, input_delay=0.3,
                                     output_delay=0.1)
    else:
        sys = vantor.feedback_system(A, B, C, K, 0.6)
    assert_same_system(sys, [A, -B @ K @ C], [0.0, 0.6])


def test_scalar_gain_is_a_multiple_of_the_identity():
    sys = vantor.feedback_system(A[:2, :2], B[:2, :], C[:, :2], 2.5, 1.0)
    assert_same_system(sys, [A[:2, :2], -2.5 * B[:2, :] @ C[:, :2]], [0.0, 1.0])


@pytest.mark.parametrize("gain", [np.array(2.5), np.float64(2.5), np.array([[2.5, 0.0], [0.0, 2.5]])])
def test_a_zero_dimensional_gain_is_a_number(gain):
    sys = vantor.feedback_system(A[:2, :2], B[:2, :], C[:, :2], gain, 1.0)
    assert_same_system(sys, [A[:2, :2], -2.5 * B[:2, :] @ C[:, :2]], [0.0, 1.0])


def test_without_delay_the_roots_are_python_controls_closed_loop_poles():
    plant = control.ss(A, B, C, 0)
    closed = control.feedback(plant, control.ss([], [], [], K))
    res = vantor.distinct_roots(vantor.feedback_system(plant, K=K, delay=0.0), -50.0)
    assert_allclose(np.sort_complex(res.roots), np.sort_complex(closed.poles()), atol=1e-12)


def test_pade_poles_approach_the_exact_rightmost_root():
    plant = control.tf([1.0], [1.0, 1.0, 0.0])          # 1 / (s (s + 1))
    gain, delay = 0.6, 0.8
    exact = vantor.spectral_abscissa(vantor.feedback_system(control.ss(plant), K=gain, delay=delay))
    errors = []
    for order in (1, 3, 5):
        num, den = control.pade(delay, order)
        loop = control.feedback(plant * control.tf(num, den) * gain, 1)
        poles = loop.poles()
        errors.append(np.abs(poles - exact.root).min())
    assert errors[0] > errors[1] > errors[2]
    assert errors[2] < 1e-4


def siso():
    return control.ss([[0.0, 1.0], [-1.0, -1.0]], [[0.0], [1.0]], [[1.0, 0.0]], 0)


@pytest.mark.parametrize("call, error, message", [
    (lambda: vantor.feedback_system(control.ss([[-1.0]], [[1.0]], [[1.0]], [[0.5]]), K=1.0),
     ValueError, "D must be zero"),
    (lambda: vantor.feedback_system(A, B, C, K, 0.1, D=np.ones((2, 2))), ValueError, "D must be zero"),
    (lambda: vantor.feedback_system(siso(), np.eye(2), K=1.0), TypeError, "B and C must be omitted"),
    (lambda: vantor.feedback_system(control.ss([[0.5]], [[1.0]], [[1.0]], 0, dt=0.1), K=1.0),
     ValueError, "continuous-time"),
    (lambda: vantor.feedback_system(A, B, C, K, -0.1), ValueError, "delay must be >= 0, got -0.1"),
    (lambda: vantor.feedback_system(A, B, C, K, float("nan")), ValueError, "delay must be finite"),
    (lambda: vantor.feedback_system(A, B, C, K, 0.1, output_delay=-1), ValueError, "output_delay"),
    (lambda: vantor.feedback_system(A, B, C, K.T[:, :1], 0.1), ValueError, r"K must have shape \(2, 2\)"),
    (lambda: vantor.feedback_system(A, B[:2], C, K, 0.1), ValueError, "B must have 3 rows"),
    (lambda: vantor.feedback_system(A, B, C[:, :2], K, 0.1), ValueError, "C must have 3 columns"),
    (lambda: vantor.feedback_system(A[:2], B, C, K, 0.1), ValueError, "A must be square"),
    (lambda: vantor.feedback_system(A, B, C[:1], 1.0, 0.1), ValueError, "scalar K needs as many inputs"),
    (lambda: vantor.feedback_system(A * 1j, B, C, K, 0.1), TypeError, "A must be a real array"),
    (lambda: vantor.feedback_system(A, None, C, K, 0.1), TypeError, "B is required"),
    (lambda: vantor.feedback_system(A, B, np.full_like(C, np.inf), K, 0.1), ValueError, "C has a non-finite entry"),
    (lambda: vantor.feedback_system(A, B, C, K, "0.1"), TypeError, "delay must be a real number"),
    (lambda: vantor.feedback_system([[0.0, 1.0], [-1.0, -1.0]], [[0.0], [1.0]], [1.0, 0.0], 1.0),
     ValueError, r"C must be a 2-D array .* shape \(2,\)"),
    (lambda: vantor.feedback_system([[0.0, 1.0], [-1.0, -1.0]], [0.0, 1.0], [[1.0, 0.0]], 1.0),
     ValueError, r"B must be a 2-D array"),
    (lambda: vantor.feedback_system(A, B, C, np.array([0.4, 0.3]), 0.1), ValueError, "K must be a 2-D array"),
    (lambda: vantor.feedback_system(A, B, C, np.array(1j), 0.1), TypeError, "K must be a real number"),
])
def test_bad_input_is_refused(call, error, message):
    with pytest.raises(error, match=message):
        call()
