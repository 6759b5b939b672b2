from numpy.typing import NDArray
import numpy as np

def log_derivatives(
    matrices: NDArray[np.float64], delays: NDArray[np.float64], lam: NDArray[np.complex128]
) -> tuple[NDArray[np.float64], NDArray[np.complex128], NDArray[np.uint8]]: ...

def modulus_bound(
    matrices: NDArray[np.float64], norms: NDArray[np.float64], delays: NDArray[np.float64], r: float
) -> float: ...

def permutation_parity(perm: NDArray[np.int64]) -> int: ...

def low_rank_log_derivatives(
    T: NDArray[np.complex128], U: NDArray[np.complex128], V: NDArray[np.complex128],
    delays: NDArray[np.float64], lam: NDArray[np.complex128]
) -> tuple[NDArray[np.float64], NDArray[np.complex128], NDArray[np.uint8]]: ...

def compact_arnoldi(
    matrices: NDArray[np.float64], rows: NDArray[np.complex128], R: NDArray[np.complex128],
    r: NDArray[np.complex128], sigma: complex, start: NDArray[np.float64], steps: int
) -> tuple[NDArray[np.complex128], NDArray[np.complex128], NDArray[np.complex128], bool]: ...
