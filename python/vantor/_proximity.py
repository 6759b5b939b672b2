"""Neighbourhoods of points in the complex plane in O(N log N): single-linkage groups and nearest
neighbours from a KD-tree (the resolvers run these every round, over thousands of roots)."""

from __future__ import annotations

import numpy as np
import scipy.sparse
from numpy.typing import NDArray
from scipy.sparse.csgraph import connected_components
from scipy.spatial import cKDTree

from ._system import ComplexArray, FloatArray


def _tree(z: ComplexArray) -> cKDTree:
    return cKDTree(np.column_stack((z.real, z.imag)))


def linked_labels(z: ComplexArray, radius: FloatArray) -> NDArray[np.intp]:
    """A group label for each point: points i and j are linked when |z_i - z_j| <= max(radius_i,
    radius_j), and groups are the connected components of the links (single linkage)."""
    n = z.size
    if n == 0:
        return np.empty(0, dtype=np.intp)
    near = _tree(z).query_ball_point(np.column_stack((z.real, z.imag)), r=np.asarray(radius),
                                     return_sorted=False)
    lengths = np.fromiter((len(x) for x in near), dtype=np.intp, count=n)
    rows = np.repeat(np.arange(n, dtype=np.intp), lengths)
    cols = np.concatenate([np.asarray(x, dtype=np.intp) for x in near])
    graph = scipy.sparse.coo_matrix((np.ones(rows.size), (rows, cols)), shape=(n, n))
    return np.asarray(connected_components(graph, directed=False)[1], dtype=np.intp)


def groups_of(labels: NDArray[np.intp]) -> list[NDArray[np.intp]]:
    """The indices of each label's points, labels in increasing order."""
    order = np.argsort(labels, kind="stable")
    bounds = np.flatnonzero(np.diff(labels[order])) + 1
    return [np.asarray(part, dtype=np.intp) for part in np.split(order, bounds)] if labels.size else []


def nearest_other(z: ComplexArray) -> tuple[FloatArray, NDArray[np.intp]]:
    """The distance from each point to the nearest other point and that point's index (inf and -1
    for a lone point)."""
    if z.size < 2:
        return np.full(z.size, np.inf), np.full(z.size, -1, dtype=np.intp)
    found = _tree(z).query(np.column_stack((z.real, z.imag)), k=2)
    dist = np.asarray(found[0], dtype=np.float64)
    idx = np.asarray(found[1], dtype=np.intp)
    # A duplicate point may come back first instead of the point itself.
    own = idx[:, 0] == np.arange(z.size)
    other = np.where(own, idx[:, 1], idx[:, 0])
    d = np.where(own, dist[:, 1], dist[:, 0])
    return np.asarray(d, dtype=np.float64), np.asarray(other, dtype=np.intp)


def nearest_in(points: ComplexArray, z: ComplexArray) -> tuple[FloatArray, NDArray[np.intp]]:
    """For each z, the distance to the nearest of `points` (at least one) and its index."""
    found = _tree(points).query(np.column_stack((z.real, z.imag)), k=1)
    return np.asarray(found[0], dtype=np.float64), np.asarray(found[1], dtype=np.intp)
