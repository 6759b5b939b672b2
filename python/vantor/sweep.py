"""Parameter sweeps: one analysis at every point of a grid, serial, on a process pool or on a Dask
cluster, with the results in grid order."""

from __future__ import annotations

import collections
import concurrent.futures
import ctypes
import ctypes.util
import json
import math
import pickle
import sys
import time
import zipfile
from dataclasses import dataclass, field
from itertools import product
from typing import Any, Callable, Iterable, Iterator, Mapping, Optional, Sequence, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

import pyvantor

from ._executor import is_dask_client
from ._system import check_real, check_system, normalized
from .certify import count_right_of
from .spectrum import analyse
from .stability import spectral_abscissa

QUANTITIES = ("abscissa", "count", "roots")
# Batches of points aim at this many seconds of work each (0.2 to 1 s: long enough to hide the
# cost of a task, short enough to balance the load and move the progress bar).
BATCH_SECONDS = 0.5
# The first points are computed in this process until this much time has passed, to size batches.
_PROBE_SECONDS = 0.2
_PROBE_POINTS = 16

Build = Callable[..., pyvantor.lagsys]
Point = dict[str, float]
Outcome = tuple[Any, Optional[str]]


def _seed_c_rand() -> Callable[[], None]:
    """A function that reseeds the C library's rand(): Eigen's real QZ draws its exceptional shifts
    from it, so reseeding before each point makes a point's result independent of what ran before
    it in the same process (serial runs and every worker agree bit for bit)."""
    try:
        libc = ctypes.CDLL(ctypes.util.find_library("c") or None)
        srand = libc.srand
    except (OSError, AttributeError):
        return lambda: None
    srand.argtypes = [ctypes.c_uint]
    srand.restype = None
    return lambda: srand(1)


_reseed = _seed_c_rand()


def _reason(err: BaseException) -> str:
    return f"{type(err).__name__}: {err}"


def _quantity(sys_: pyvantor.lagsys, quantity: str, r: float) -> Any:
    if quantity == "abscissa":
        return spectral_abscissa(sys_).abscissa
    data = normalized(check_system(sys_))
    if quantity == "count":
        return float(count_right_of(data, r / data.unit)[0])
    return analyse(data, r / data.unit).roots * data.unit


def evaluate(build: Build, point: Point, quantity: str, r: float) -> Outcome:
    """The quantity at one point, or NaN and the reason when build or the analysis raised."""
    _reseed()
    try:
        sys_ = build(**point)
        if not isinstance(sys_, pyvantor.lagsys):
            raise TypeError(f"build returned {type(sys_).__name__}, expected pyvantor.lagsys")
        return _quantity(sys_, quantity, r), None
    # A failing point is recorded and the sweep goes on; SystemExit (a build that calls sys.exit)
    # too, which would otherwise end a worker or escape the pool. KeyboardInterrupt stops the sweep.
    except (Exception, SystemExit) as err:  # noqa: BLE001
        return math.nan, _reason(err)


def _evaluate_first(build: Build, point: Point, quantity: str, r: float) -> Outcome:
    """evaluate() at the grid's first point, except that a build returning something other than
    a lagsys raises TypeError at once: it would fail at every point."""
    _reseed()
    try:
        sys_ = build(**point)
    except (Exception, SystemExit) as err:  # noqa: BLE001 - recorded like any other point's failure
        return math.nan, _reason(err)
    if not isinstance(sys_, pyvantor.lagsys):
        raise TypeError(f"build must return a pyvantor.lagsys, got {type(sys_).__name__} at {point}")
    try:
        return _quantity(sys_, quantity, r), None
    except Exception as err:  # noqa: BLE001
        return math.nan, _reason(err)


def evaluate_batch(build: Build, points: Sequence[Point], quantity: str, r: float) -> list[Outcome]:
    """evaluate() at each point: the task sent to a worker."""
    return [evaluate(build, p, quantity, r) for p in points]


@dataclass
class SweepResult:
    """The outcome of `sweep`.

    Attributes
    ----------
    values : ndarray
        One entry per grid point, shaped like the grid (one dimension per axis, in the order the
        axes were given): floats for "abscissa" and "count" (NaN where a point failed); for "roots"
        an object array of complex arrays (NaN where a point failed).
    axes : dict of str to ndarray
        The axes, in order.
    quantity : str
        "abscissa", "count" or "roots".
    r : float or None
        The bound of "count" and "roots"; None for "abscissa".
    failures : dict of tuple to str
        Grid index of each failed point and its reason (the exception's type and text).
    """

    values: NDArray[Any]
    axes: dict[str, NDArray[np.float64]]
    quantity: str
    r: Optional[float]
    failures: dict[tuple[int, ...], str] = field(default_factory=dict)

    @property
    def shape(self) -> tuple[int, ...]:
        return tuple(a.size for a in self.axes.values())

    def point(self, index: Sequence[int]) -> Point:
        """The parameter values at a grid index."""
        return {name: float(axis[i]) for (name, axis), i in zip(self.axes.items(), index)}

    def to_xarray(self) -> Any:
        """The values as an ``xarray.DataArray`` with the axes as labelled coordinates (needs
        xarray, the ``[sweep]`` extra)."""
        try:
            import xarray
        except ImportError as err:
            raise ImportError("to_xarray needs xarray: pip install 'pyvantor[sweep]'") from err
        attrs: dict[str, Any] = {"quantity": self.quantity}
        if self.r is not None:
            attrs["r"] = self.r
        return xarray.DataArray(self.values, coords=dict(self.axes), dims=list(self.axes),
                                name=self.quantity, attrs=attrs)

    def save(self, path: str) -> None:
        """Save to one file: ``.npz`` (NumPy), or ``.nc`` (netCDF, through xarray; not for the
        ragged "roots")."""
        path = str(path)
        if path.endswith(".nc"):
            if self.quantity == "roots":
                raise ValueError("the ragged roots of a sweep cannot be saved as netCDF; use .npz")
            array = self.to_xarray()
            # netCDF attributes hold numbers and plain strings: the failures as one JSON text.
            array.attrs["failures"] = json.dumps(
                {str(np.ravel_multi_index(i, self.shape)): reason for i, reason in self.failures.items()})
            array.to_netcdf(path)
            return
        if not path.endswith(".npz"):
            raise ValueError(f"path must end in .npz or .nc, got {path!r}")
        payload: dict[str, Any] = {
            "quantity": np.array(self.quantity),
            "r": np.array(np.nan if self.r is None else self.r),
            "axis_names": np.array(list(self.axes)),
            "failure_index": np.array([np.ravel_multi_index(i, self.shape) for i in self.failures],
                                      dtype=np.int64),
            "failure_reason": np.array(list(self.failures.values()), dtype=str),
        }
        for k, axis in enumerate(self.axes.values()):
            payload[f"axis_{k}"] = axis
        if self.quantity == "roots":
            flat = self.values.ravel()
            failed = np.array([not isinstance(v, np.ndarray) for v in flat])
            sizes = np.array([0 if f else v.size for v, f in zip(flat, failed)], dtype=np.int64)
            payload["roots"] = (np.concatenate([v for v, f in zip(flat, failed) if not f])
                                if sizes.sum() else np.empty(0, dtype=np.complex128))
            payload["sizes"] = sizes
            payload["failed"] = failed
        else:
            payload["values"] = self.values
        np.savez(path, **payload)

    @classmethod
    def load(cls, path: str) -> "SweepResult":
        """A result saved with `save`."""
        path = str(path)
        if path.endswith(".nc"):
            try:
                import xarray
            except ImportError as err:
                raise ImportError("loading netCDF needs xarray: pip install 'pyvantor[sweep]'") from err
            with xarray.open_dataarray(path) as array:
                array = array.load()
            axes = {str(d): np.asarray(array.coords[d].values, dtype=np.float64) for d in array.dims}
            shape = tuple(a.size for a in axes.values())
            failures = {tuple(int(x) for x in np.unravel_index(int(i), shape)): str(reason)
                        for i, reason in json.loads(array.attrs.get("failures", "{}")).items()}
            r = array.attrs.get("r")
            return cls(np.asarray(array.values), axes, str(array.attrs["quantity"]),
                       None if r is None else float(r), failures)
        try:
            loaded = np.load(path, allow_pickle=False)
        except FileNotFoundError:
            raise
        except (OSError, ValueError, EOFError, zipfile.BadZipFile) as err:
            raise ValueError(f"{path} is not a sweep saved by SweepResult.save: {err}") from None
        if not isinstance(loaded, np.lib.npyio.NpzFile):
            raise ValueError(f"{path} is not a sweep saved by SweepResult.save: it holds one array, "
                             f"not an .npz archive")
        with loaded as data:
            try:
                return cls._from_npz(data)
            except (KeyError, ValueError, TypeError, IndexError, EOFError, zipfile.BadZipFile) as err:
                raise ValueError(f"{path} is not a sweep saved by SweepResult.save: {err}") from None

    @classmethod
    def _from_npz(cls, data: Any) -> "SweepResult":
        names = [str(n) for n in data["axis_names"]]
        axes = {name: data[f"axis_{k}"] for k, name in enumerate(names)}
        shape = tuple(a.size for a in axes.values())
        quantity = str(data["quantity"])
        r_value = float(data["r"])
        failures = {tuple(int(x) for x in np.unravel_index(int(i), shape)): str(reason)
                    for i, reason in zip(data["failure_index"], data["failure_reason"])}
        if quantity == "roots":
            flat = np.empty(int(np.prod(shape)), dtype=object)
            offsets = np.concatenate(([0], np.cumsum(data["sizes"])))
            roots = data["roots"]
            for i, failed in enumerate(data["failed"]):
                flat[i] = math.nan if failed else roots[offsets[i]:offsets[i + 1]].copy()
            values = flat.reshape(shape)
        else:
            values = data["values"]
        return cls(values, axes, quantity, None if math.isnan(r_value) else r_value, failures)


def load_sweep(path: str) -> SweepResult:
    """A sweep result saved with ``SweepResult.save`` (``.npz`` or ``.nc``); ValueError naming the
    file when it is not one (never unpickles anything)."""
    return SweepResult.load(path)


def dask_worker_config() -> dict[str, Any]:
    """Dask settings for workers that run sweeps, to pass to ``dask.config.set`` before starting a
    ``LocalCluster`` (needs Dask, the ``[sweep]`` extra).

    Two of Dask's defaults cost this workload: the statistical profiler samples the task thread's
    stack every 10 ms and competes for its interpreter lock, and ``MALLOC_TRIM_THRESHOLD_`` in the
    workers' environment fixes glibc's mmap threshold, so that the analyses' mid-sized temporaries
    cost a page-fault round trip each. Measured on 2 cores, one 36-point batch: 0.58-0.63 s on a
    default worker, 0.50-0.54 s with these settings, 0.54 s in a plain process.

    Examples
    --------
    >>> import dask, vantor
    >>> with dask.config.set(vantor.dask_worker_config()):      # doctest: +SKIP
    ...     cluster = LocalCluster(n_workers=2, threads_per_worker=1)
    """
    try:
        import dask
        import distributed  # noqa: F401 - loads Dask's distributed defaults
    except ImportError as err:
        raise ImportError("dask_worker_config needs Dask: pip install 'pyvantor[sweep]'") from err
    environ = dict(dask.config.get("distributed.nanny.pre-spawn-environ"))
    environ.pop("MALLOC_TRIM_THRESHOLD_", None)
    return {
        "distributed.worker.profile.enabled": False,
        "distributed.admin.system-monitor.interval": "2s",
        "distributed.nanny.pre-spawn-environ": environ,
    }


def _check_axes(axes: object) -> dict[str, NDArray[np.float64]]:
    if not isinstance(axes, Mapping) or not axes:
        raise TypeError(f"axes must be a non-empty mapping of names to 1-D arrays, got {axes!r}")
    checked: dict[str, NDArray[np.float64]] = {}
    for name, values in axes.items():
        if not isinstance(name, str) or not name.isidentifier():
            raise ValueError(f"axes: {name!r} is not a valid parameter name")
        try:
            array = np.asarray(values, dtype=np.float64)
        except (TypeError, ValueError) as err:
            raise TypeError(f"axes[{name!r}] must be real numbers: {err}") from None
        if array.ndim != 1 or array.size == 0:
            raise ValueError(f"axes[{name!r}] must be a non-empty 1-D array, got shape {array.shape}")
        if not np.all(np.isfinite(array)):
            raise ValueError(f"axes[{name!r}] has a non-finite value")
        checked[name] = array
    return checked


def _interactive_output() -> bool:
    """Whether progress would be seen: stderr is a terminal, or this is a Jupyter kernel."""
    try:
        if sys.stderr is not None and sys.stderr.isatty():
            return True
    except (AttributeError, ValueError):  # a replaced or closed stream
        pass
    shell = sys.modules.get("IPython")
    get_ipython = getattr(shell, "get_ipython", None)
    return get_ipython is not None and type(get_ipython()).__name__ == "ZMQInteractiveShell"


def _tqdm_available() -> bool:
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


def show_progress(progress: Optional[bool]) -> bool:
    """Whether a sweep shows a bar: None shows one when tqdm is installed and the output is a
    terminal or a notebook; True and False as given (True without tqdm raises ImportError)."""
    if progress is None:
        return _tqdm_available() and _interactive_output()
    return bool(progress)


class _Progress:
    """A tqdm bar on stderr, or nothing."""

    def __init__(self, total: int, enabled: bool, desc: str) -> None:
        self.bar: Any = None
        if enabled:
            try:
                from tqdm.auto import tqdm
            except ImportError as err:
                raise ImportError(
                    "the progress bar needs tqdm: pip install 'pyvantor[sweep]', or pass progress=False"
                ) from err
            self.bar = tqdm(total=total, file=sys.stderr, desc=desc, unit="pt", smoothing=0.1)

    def update(self, n: int) -> None:
        if self.bar is not None:
            self.bar.update(n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _check_picklable(build: Build) -> None:
    """A process pool sends `build` to its workers by pickle: refuse one that does not pickle
    before any work is sent, rather than fail at every point."""
    try:
        pickle.dumps(build)
    except Exception as err:  # noqa: BLE001 - PicklingError, AttributeError, TypeError
        raise TypeError(
            f"build must be picklable to run on a process pool: define it as a module-level function "
            f"(or an instance of a module-level class), not a lambda or a local function "
            f"({type(err).__name__}: {err})") from None


def _worker_count(executor: object) -> int:
    if is_dask_client(executor):
        try:
            workers = executor.scheduler_info()["workers"]  # type: ignore[attr-defined]
            return max(1, sum(int(w.get("nthreads", 1)) for w in workers.values()))
        except Exception:  # noqa: BLE001 - only sizes batches
            return 1
    return max(1, int(getattr(executor, "_max_workers", 1) or 1))


def _batches(indices: Sequence[int], size: int) -> Iterator[list[int]]:
    for start in range(0, len(indices), size):
        yield list(indices[start:start + size])


def sweep(
    build: Build,
    axes: Mapping[str, ArrayLike],
    quantity: str = "abscissa",
    r: float = 0.0,
    executor: Any = None,
    progress: Optional[bool] = None,
) -> SweepResult:
    """Compute one analysis at every point of a parameter grid.

    Parameters
    ----------
    build : callable
        ``build(**point)`` returns the ``pyvantor.lagsys`` at a point (``point`` maps each axis name
        to a value). A module-level function or any picklable callable, for pools and clusters.
    axes : mapping of str to 1-D array_like
        The parameters and their values; the grid is their product, in this order.
    quantity : {"abscissa", "count", "roots"}, optional
        "abscissa": the spectral abscissa (`spectral_abscissa`), the default; "count": the
        certified number of roots with ``Re(lambda) > r`` (`count_roots`); "roots": the distinct
        roots with ``Re(lambda) >= r`` (`distinct_roots`), ragged.
    r : float, optional
        The bound of "count" and "roots". Default 0.
    executor : None, concurrent.futures.Executor or dask.distributed.Client, optional
        None computes in this process. An executor (a ``ProcessPoolExecutor``) or a Dask client
        (local or connected to a remote scheduler) computes batches of points in parallel; a
        batch holds roughly half a second of work, measured on the first points. On a process
        pool, `build` must pickle (a module-level function). A process pool whose worker dies is
        replaced (the caller's pool stays broken; the new ones are shut down at the end) and the
        points of the batches it lost are computed again one by one, so that only a point that
        kills its worker is recorded as failed; on Dask, a batch whose workers died repeatedly
        (``KilledWorker``) is computed again point by point.
    progress : bool or None, optional
        A tqdm progress bar on stderr: True shows one (needs tqdm, else ImportError), False none;
        None, the default, shows one when tqdm is installed and stderr is a terminal or this runs
        in a notebook.

    Returns
    -------
    SweepResult
        The values in grid order, identical to a serial run bit for bit, and the failures: a point
        whose build or analysis raised (``SystemExit`` included) or whose worker died computing it
        holds NaN and its reason. ``KeyboardInterrupt`` stops the sweep.

    Raises
    ------
    TypeError, ValueError
        Bad `build`, `axes`, `quantity`, `r` or `executor`; a `build` that does not
        pickle for a process pool; a `build` whose first point does not return a
        ``pyvantor.lagsys``.
    ImportError
        ``progress=True`` without tqdm.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> def build(a, b):
    ...     return pyvantor.lagsys([np.array([[a]]), np.array([[b]])], [0.0, 1.0])
    >>> res = vantor.sweep(build, {"a": [-1.0, 0.0], "b": [-0.5, 0.5]}, progress=False)
    >>> np.round(res.values, 6)
    array([[-1.102659, -0.314923],
           [-0.794024,  0.351734]])
    """
    if not callable(build):
        raise TypeError(f"build must be callable, got {build!r}")
    grid = _check_axes(axes)
    if quantity not in QUANTITIES:
        raise ValueError(f"quantity must be one of {QUANTITIES}, got {quantity!r}")
    bound = check_real(r, "r")
    if executor is not None and not (isinstance(executor, concurrent.futures.Executor)
                                     or is_dask_client(executor)):
        raise TypeError(
            f"executor must be None, a concurrent.futures.Executor or a dask.distributed.Client, "
            f"got {type(executor).__name__}")
    if isinstance(executor, concurrent.futures.ProcessPoolExecutor):
        _check_picklable(build)
    enabled = show_progress(progress)
    names = list(grid)
    shape = tuple(a.size for a in grid.values())
    points: list[Point] = [dict(zip(names, (float(v) for v in values)))
                           for values in product(*(a.tolist() for a in grid.values()))]
    outcomes: list[Optional[Outcome]] = [None] * len(points)
    bar = _Progress(len(points), enabled, f"sweep {quantity}")
    try:
        outcomes[0] = _evaluate_first(build, points[0], quantity, bound)
        bar.update(1)
        if executor is None:
            for i in range(1, len(points)):
                outcomes[i] = evaluate(build, points[i], quantity, bound)
                bar.update(1)
        else:
            _run_parallel(build, points, quantity, bound, executor, outcomes, bar)
    finally:
        bar.close()
    return _assemble(outcomes, grid, shape, quantity, bound)


def _run_parallel(build: Build, points: list[Point], quantity: str, r: float, executor: Any,
                  outcomes: list[Optional[Outcome]], bar: _Progress) -> None:
    # The first points here, to measure their cost; the rest in batches of about BATCH_SECONDS.
    # The first point was computed already.
    start = time.perf_counter()
    done = 1
    while done < min(len(points), _PROBE_POINTS) and time.perf_counter() - start < _PROBE_SECONDS:
        outcomes[done] = evaluate(build, points[done], quantity, r)
        done += 1
        bar.update(1)
    cost = (time.perf_counter() - start) / max(done - 1, 1)
    rest = list(range(done, len(points)))
    if not rest:
        return
    workers = _worker_count(executor)
    size = max(1, min(int(BATCH_SECONDS / max(cost, 1e-9)),
                      math.ceil(len(rest) / (4 * workers))))
    batches = list(_batches(rest, size))
    if is_dask_client(executor):
        _run_dask(build, points, quantity, r, executor, batches, outcomes, bar)
    else:
        _run_pool(build, points, quantity, r, executor, batches, outcomes, bar)


def _store(batch: list[int], results: Iterable[Outcome], outcomes: list[Optional[Outcome]],
           bar: _Progress) -> None:
    for i, outcome in zip(batch, results):
        outcomes[i] = outcome
    bar.update(len(batch))


def _fail(batch: list[int], reason: str, outcomes: list[Optional[Outcome]], bar: _Progress) -> None:
    _store(batch, [(math.nan, reason)] * len(batch), outcomes, bar)


def _replacement(pool: concurrent.futures.Executor) -> Optional[concurrent.futures.Executor]:
    if isinstance(pool, concurrent.futures.ProcessPoolExecutor):
        return concurrent.futures.ProcessPoolExecutor(
            max_workers=getattr(pool, "_max_workers", None),
            mp_context=getattr(pool, "_mp_context", None))
    return None


_DIED = "the worker process died while computing this point"


def _renew(pool: concurrent.futures.Executor,
           template: concurrent.futures.Executor) -> concurrent.futures.Executor:
    """A new pool in place of a broken one."""
    pool.shutdown(wait=True)
    return _replacement(template) or pool


def _pool_outcome(future: "concurrent.futures.Future[Any]") -> Optional[Any]:
    """The future's result; None if its pool broke (a worker died); NaN and the reason if the task
    could not run at all (its result did not pickle, say)."""
    try:
        return future.result()
    except concurrent.futures.process.BrokenProcessPool:
        return None
    except Exception as err:  # noqa: BLE001
        return math.nan, _reason(err)


def _run_pool(build: Build, points: list[Point], quantity: str, r: float,
              executor: concurrent.futures.Executor, batches: list[list[int]],
              outcomes: list[Optional[Outcome]], bar: _Progress) -> None:
    futures: dict[concurrent.futures.Future[list[Outcome]], list[int]] = {}
    lost: list[int] = []
    for batch in batches:
        try:
            futures[executor.submit(evaluate_batch, build, [points[i] for i in batch], quantity, r)] = batch
        except concurrent.futures.process.BrokenProcessPool:
            lost.extend(batch)
    for future in concurrent.futures.as_completed(futures):
        batch = futures[future]
        results = _pool_outcome(future)
        if results is None:
            lost.extend(batch)
        elif isinstance(results, list):
            _store(batch, results, outcomes, bar)
        else:
            _fail(batch, results[1], outcomes, bar)
    if lost:
        _retry_points(build, points, quantity, r, executor, sorted(lost), outcomes, bar)


def _retry_points(build: Build, points: list[Point], quantity: str, r: float,
                  executor: concurrent.futures.Executor, lost: list[int],
                  outcomes: list[Optional[Outcome]], bar: _Progress) -> None:
    """Recompute, point by point on a new pool, the points whose worker died (with a dying worker
    the whole pool breaks, so its batch and every batch then running are lost). The points run
    `workers` at a time; when a worker dies again, the points then running are rerun one at a time,
    so that a point is recorded as failed only when its worker died computing it alone. The
    caller's pool stays broken; the pools made here are shut down at the end."""
    pool = _replacement(executor)
    if pool is None:
        _fail(lost, "the worker process died", outcomes, bar)
        return
    window = _worker_count(executor)
    queue = collections.deque(lost)
    try:
        while queue:
            running: dict[concurrent.futures.Future[Outcome], int] = {}
            suspects: list[int] = []
            while (queue or running) and not suspects:
                while queue and len(running) < window and not suspects:
                    i = queue.popleft()
                    try:
                        running[pool.submit(evaluate, build, points[i], quantity, r)] = i
                    except concurrent.futures.process.BrokenProcessPool:
                        suspects.append(i)
                if not running:
                    break
                done, _ = concurrent.futures.wait(running, return_when=concurrent.futures.FIRST_COMPLETED)
                for future in done:
                    i = running.pop(future)
                    outcome = _pool_outcome(future)
                    if outcome is None:
                        suspects.append(i)
                    else:
                        _store([i], [outcome], outcomes, bar)
            if not suspects:
                continue
            # The pool is broken: the points still running are lost with it.
            for future, i in running.items():
                outcome = _pool_outcome(future)
                if outcome is None:
                    suspects.append(i)
                else:
                    _store([i], [outcome], outcomes, bar)
            pool = _renew(pool, executor)
            for i in sorted(suspects):
                outcome = _pool_outcome(pool.submit(evaluate, build, points[i], quantity, r))
                if outcome is None:
                    outcome = (math.nan, _DIED)
                    pool = _renew(pool, executor)
                _store([i], [outcome], outcomes, bar)
    finally:
        pool.shutdown(wait=True)


def _run_dask(build: Build, points: list[Point], quantity: str, r: float, client: Any,
              batches: list[list[int]], outcomes: list[Optional[Outcome]], bar: _Progress) -> None:
    from distributed import as_completed

    futures = client.map(evaluate_batch, [build] * len(batches),
                         [[points[i] for i in b] for b in batches],
                         [quantity] * len(batches), [r] * len(batches),
                         pure=False, retries=1)
    index = {f.key: k for k, f in enumerate(futures)}
    lost: list[int] = []
    for future in as_completed(futures):  # type: ignore[no-untyped-call]
        batch = batches[index[future.key]]
        try:
            _store(batch, future.result(), outcomes, bar)
        except Exception as err:  # noqa: BLE001 - KilledWorker: workers died on it repeatedly
            if type(err).__name__ == "KilledWorker" and len(batch) > 1:
                lost.extend(batch)
            else:
                _fail(batch, _reason(err), outcomes, bar)
        future.release()
    if not lost:
        return
    # Point by point, so that only the points that kill their workers are recorded as failed.
    singles = client.map(evaluate, [build] * len(lost), [points[i] for i in lost],
                         [quantity] * len(lost), [r] * len(lost), pure=False, retries=1)
    for i, future in zip(lost, singles):
        try:
            _store([i], [future.result()], outcomes, bar)
        except Exception as err:  # noqa: BLE001
            _fail([i], _reason(err), outcomes, bar)
        future.release()


def _assemble(outcomes: list[Optional[Outcome]], axes: dict[str, NDArray[np.float64]],
              shape: tuple[int, ...], quantity: str, r: float) -> SweepResult:
    failures: dict[tuple[int, ...], str] = {}
    if quantity == "roots":
        values: NDArray[Any] = np.empty(len(outcomes), dtype=object)
    else:
        values = np.empty(len(outcomes), dtype=np.float64)
    for i, outcome in enumerate(outcomes):
        value, reason = outcome if outcome is not None else (math.nan, "not computed")
        values[i] = value
        if reason is not None:
            failures[tuple(int(x) for x in np.unravel_index(i, shape))] = reason
    return SweepResult(values.reshape(shape), axes, quantity, None if quantity == "abscissa" else r,
                       failures)


class _Positional:
    """build(value) as build(**{name: value}), picklable."""

    def __init__(self, build: Callable[[float], pyvantor.lagsys], name: str) -> None:
        self.build = build
        self.name = name

    def __call__(self, **point: float) -> pyvantor.lagsys:
        return self.build(point[self.name])


def locus(
    build: Callable[[float], pyvantor.lagsys],
    values: ArrayLike,
    r: float,
    *,
    name: str = "p",
    executor: Any = None,
    progress: Optional[bool] = None,
) -> SweepResult:
    """The distinct roots right of `r` for each value of one parameter (a delay, a gain).

    Parameters
    ----------
    build : callable
        ``build(value)`` returns the ``pyvantor.lagsys`` at a parameter value.
    values : 1-D array_like
        The parameter's values.
    r : float
        The bound: roots with ``Re(lambda) >= r``.
    name : str, optional
        The parameter's name (the result's axis). Default "p".
    executor, progress
        As for `sweep`.

    Returns
    -------
    SweepResult
        quantity "roots": ``values[i]`` holds the roots at ``axes[name][i]``.

    Examples
    --------
    >>> import numpy as np, pyvantor, vantor
    >>> def build(h):
    ...     return pyvantor.lagsys([np.zeros((1, 1)), -np.ones((1, 1))], [0.0, h])
    >>> res = vantor.locus(build, [0.5, 1.0, 2.0], -1.0, name="h", progress=False)
    >>> [z.size for z in res.values]      # x' = -x(t - h): no root right of -1 at h = 0.5
    [0, 2, 6]
    """
    if not callable(build):
        raise TypeError(f"build must be callable, got {build!r}")
    return sweep(_Positional(build, name), {name: values}, quantity="roots", r=r,
                 executor=executor, progress=progress)
