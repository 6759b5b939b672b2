"""Running independent tasks serially, on a concurrent.futures executor or on a Dask client."""

from __future__ import annotations

from typing import Any, Callable, Optional, Sequence, TypeVar

T = TypeVar("T")
R = TypeVar("R")
S = TypeVar("S")


def is_dask_client(executor: object) -> bool:
    return type(executor).__module__.split(".")[0] == "distributed" and hasattr(executor, "map")


def check_executor(executor: object, name: str = "executor") -> None:
    """TypeError unless `executor` is None, a concurrent.futures executor or a Dask client: checked
    on entry, not when a batch first happens to be large enough to be split."""
    if executor is None or is_dask_client(executor):
        return
    if not (hasattr(executor, "map") and hasattr(executor, "submit")):
        raise TypeError(
            f"{name} must be a concurrent.futures executor or a Dask client, got {type(executor).__name__}")


def map_tasks(task: Callable[[T], R], items: Sequence[T], executor: Optional[Any] = None) -> list[R]:
    """[task(item) for item in items], in order. With one item, or without an executor, the tasks
    run in this process; otherwise they are submitted to `executor` (its ``map``; for a Dask
    client ``map`` then ``gather``, with one retry of a task whose worker died)."""
    if executor is None or len(items) <= 1:
        return [task(item) for item in items]
    if is_dask_client(executor):
        futures = executor.map(task, list(items), pure=False, retries=1)
        return list(executor.gather(futures))
    if not hasattr(executor, "map"):
        raise TypeError(
            f"executor must be a concurrent.futures executor or a Dask client, got {type(executor).__name__}")
    return list(executor.map(task, items))


def map_shared(task: Callable[[S, T], R], shared: S, items: Sequence[T],
               executor: Optional[Any] = None) -> list[R]:
    """[task(shared, item) for item in items], in order; `shared` (a large object) goes to each Dask
    worker once (scattered, broadcast) and with each task to a concurrent.futures executor."""
    if executor is None or len(items) <= 1:
        return [task(shared, item) for item in items]
    if is_dask_client(executor):
        handle = executor.scatter(shared, broadcast=True, hash=False)
        futures = executor.map(task, [handle] * len(items), list(items), pure=False, retries=1)
        return list(executor.gather(futures))
    if not hasattr(executor, "map"):
        raise TypeError(
            f"executor must be a concurrent.futures executor or a Dask client, got {type(executor).__name__}")
    return list(executor.map(task, [shared] * len(items), items))
