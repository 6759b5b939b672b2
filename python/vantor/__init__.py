"""Stability analysis of linear retarded time-delay systems, on top of `pyvantor`.

- `distinct_roots`: the distinct roots right of a bound, with multiplicities, polished.
- `count_roots`: the number of roots right of a bound, by the argument principle.
- `certify`: the roots found checked against that count.
- `roots_in_box`, `all_roots`: every root in a rectangle or right of a bound, proven complete.
- `spectral_abscissa`, `is_stable`: the rightmost root and the stability verdict.
- `feedback_system`: the closed loop of a plant under delayed output feedback.
- `delay_margin`, `stability_intervals`: exact delay margins and stability switches.
- `eigenvectors`, `root_derivative`: null vectors, condition numbers and derivatives of roots.
- `minimize_abscissa`, `stabilize`, `minimize_hinf`: parameters and feedback gains that minimize the
  abscissa or the H-infinity norm of a loop.
- `DelaySystem`, `rightmost_roots`: large sparse systems and their certified rightmost roots.
- `sweep`, `locus`: an analysis over a parameter grid, serial, on a process pool or a Dask cluster.
- `frequency_response`, `hinf_norm`, `stability_radius`, `pseudospectral_abscissa`: the exact
  frequency response, the proven H-infinity norm and complex stability radius, pseudospectra.
- `vantor.plot`: pictures of spectra, stability charts and root loci (matplotlib).
"""

from importlib.metadata import PackageNotFoundError, version as _version

try:
    __version__ = _version("pyvantor")
except PackageNotFoundError:  # a source tree on sys.path without the installed distribution
    __version__ = "0+unknown"

from .certify import Certificate, certify, count_roots
from .design import minimize_abscissa, minimize_hinf, stabilize
from .frequency import (HinfNorm, PseudospectralAbscissa, StabilityRadius, frequency_response, hinf_norm,
                        pseudospectral_abscissa, stability_radius)
from .large import DelaySystem, RightmostRoots, rightmost_roots
from .margin import Crossing, DelayMargin, StabilityIntervals, delay_margin, stability_intervals
from .sensitivity import Eigenvectors, eigenvectors, root_derivative
from .region import IncompleteRoots, RootsInBox, all_roots, roots_in_box
from .spectrum import DistinctRoots, distinct_roots
from .stability import SpectralAbscissa, is_stable, spectral_abscissa
from . import plot
from .sweep import SweepResult, dask_worker_config, load_sweep, locus, sweep
from .systems import feedback_system

__all__ = [
    "Certificate",
    "Crossing",
    "DelayMargin",
    "DelaySystem",
    "Eigenvectors",
    "HinfNorm",
    "StabilityIntervals",
    "DistinctRoots",
    "IncompleteRoots",
    "PseudospectralAbscissa",
    "RightmostRoots",
    "RootsInBox",
    "SpectralAbscissa",
    "StabilityRadius",
    "SweepResult",
    "all_roots",
    "certify",
    "count_roots",
    "dask_worker_config",
    "delay_margin",
    "distinct_roots",
    "eigenvectors",
    "feedback_system",
    "frequency_response",
    "hinf_norm",
    "is_stable",
    "load_sweep",
    "locus",
    "minimize_abscissa",
    "minimize_hinf",
    "pseudospectral_abscissa",
    "rightmost_roots",
    "root_derivative",
    "roots_in_box",
    "spectral_abscissa",
    "stability_intervals",
    "stability_radius",
    "stabilize",
    "sweep",
]
