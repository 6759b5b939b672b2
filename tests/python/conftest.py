import numpy as np
import pytest

import pyvantor


@pytest.fixture
def lambert():
    """lambda + exp(-lambda) = 0 as x'(t) = 0 x(t) - x(t - 1)."""
    return pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, 1.0])


@pytest.fixture
def pair():
    """A 2x2 system with two terms."""
    A0 = np.array([[-1.0, 0.5], [0.2, -2.0]], order="F")
    A1 = np.array([[0.3, -0.4], [0.1, 0.25]], order="F")
    return pyvantor.lagsys([A0, A1], [0.0, 0.8])
