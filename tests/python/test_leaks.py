"""Repeated calls, successful and failing, leak neither memory nor references.

Each case runs one batch of calls to bring every allocator to its working size, then
a measured batch of the same size. Over the measured batch:
- the reference count of every argument object is exactly what it was;
- the objects the garbage collector tracks and the blocks in use by Python's
  small-object allocator grow by less than one per four calls (interpreter caches add
  up to about two hundred blocks per batch in the TypeError cases; any object leaked per call
  adds one per call);
- the bytes in use by malloc, where numpy data and every C++ container live, grow by
  at most MALLOC_SLACK (a few hundred bytes were seen), so 8 bytes lost per call fail;
- the resident set grows by at most RSS_SLACK. It is the coarsest measure: freed heap
  pages stay resident and a small leak is served from them, so it catches only large
  leaks (one result array per call), outside malloc and pymalloc included.
A result must also die with its last reference.

Under AddressSanitizer freed blocks sit in its quarantine and its allocator replaces
malloc's, so the resident set and malloc's figures say nothing there; that run keeps
the reference and Python allocator checks.
"""

from __future__ import annotations

import ctypes
import gc
import os
import sys
import weakref

import numpy as np
import pytest

import native_kestrine as nk
from conftest import make_scene

CALLS = 2000
RSS_SLACK = 256 * 1024
MALLOC_SLACK = 16 * 1024

with open("/proc/self/maps") as _maps:
    UNDER_ASAN = "libasan" in _maps.read()


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def _malloc_in_use():
    """Bytes handed out by glibc's malloc, heap and mmapped chunks; None elsewhere."""
    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except AttributeError:
        return None
    mallinfo2.restype = _MallInfo2

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd
    return in_use


MALLOC_IN_USE = None if UNDER_ASAN else _malloc_in_use()

SCENE = make_scene(n_cams=3, n_points=30)


def rss() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def mesh(M: int = 200):
    rng = np.random.default_rng(11)
    points_ref = rng.uniform(-1.0, 1.0, (M // 2 + 3, 3))
    points_def = points_ref * 1.01 + 0.02 * rng.standard_normal(points_ref.shape)
    faces = np.stack([rng.choice(len(points_ref), 3, replace=False) for _ in range(M)])
    return dict(faces=faces.astype(np.int32), points_ref=points_ref, points_def=points_def,
                valid_faces=rng.random(M) < 0.9)


def tiny(**scalars):
    """Small arguments for calls that fail in conversion: pybind11 puts the repr of
    every argument into its TypeError. Some need converting, so temporaries exist
    when the last scalar is refused."""
    args = dict(K=np.zeros((1, 3, 3), np.float32), dist=[[0.0, 0.0]], R=np.zeros((1, 3, 3)),
                t=np.zeros((1, 3)), point_indices=np.zeros(2, np.int64),
                cam_indices=np.zeros(2, np.int64), uv=np.zeros((2, 2)),
                dic_u=np.zeros((1, 2, 2), np.float32), dic_v=np.zeros((1, 2, 2)),
                dic_corrcoef=np.zeros((1, 2, 2)), dic_valid=np.zeros((1, 2, 2), np.uint8),
                reduced_height=2, reduced_width=2, subset_spacing=0)
    args.update(scalars)
    return dict(args, min_corrcoef=0.5, max_reprojection_error_px=1.0, scale=1.0)


def cases():
    """name: (function, arguments, exception the call must raise or None)."""
    tracks, pair, surface = nk.reconstruct_tracks, nk.reconstruct_pair_surface_points, \
        nk.compute_surface_deformation
    # Arguments numpy has to convert become temporaries owned by the call.
    converted = dict(dic_u=SCENE.dic_u.astype(np.float32), uv=SCENE.uv.tolist(),
                     cam_indices=SCENE.cam_indices.astype(np.int64), scale=float("2.5"))
    short_stack = SCENE.dic_v[:, :-1]
    cams = SCENE.cam_indices.copy()
    cams[-1] = 7
    faces = mesh()
    bad_faces = dict(faces, faces=faces["faces"].copy())
    bad_faces["faces"][-1, 2] = 10**6
    bad_faces["valid_faces"] = np.ones(len(bad_faces["faces"]), bool)
    return {
        "tracks": (tracks, SCENE.tracks_args(), None),
        "tracks converted": (tracks, SCENE.tracks_args(**converted), None),
        "tracks dimensions": (tracks, SCENE.tracks_args(K=SCENE.K[0]), ValueError),
        "tracks camera index": (tracks, SCENE.tracks_args(cam_indices=cams), ValueError),
        "tracks short stack": (tracks, SCENE.tracks_args(dic_v=short_stack), ValueError),
        "tracks type": (tracks, tiny(min_views=2.0), TypeError),
        "pair": (pair, SCENE.pair_args(), None),
        "pair converted": (pair, SCENE.pair_args(**converted), None),
        "pair short stack": (pair, SCENE.pair_args(dic_v=short_stack), ValueError),
        "pair type": (pair, tiny(cam_a=0, cam_b=None), TypeError),
        "surface": (surface, faces, None),
        "surface converted": (surface, dict(faces, faces=faces["faces"].tolist(),
                                            points_ref=faces["points_ref"].astype(np.float32)), None),
        "surface index": (surface, bad_faces, ValueError),
        "surface type": (surface, dict(mesh(4), points_def="points"), TypeError),
    }


CASES = cases()


def call(function, args, error):
    if error is None:
        return function(**args)
    with pytest.raises(error):
        function(**args)
    return None


def watched(args):
    """Argument objects whose reference count a leak would change (small ints and
    interned objects are shared with the rest of the interpreter)."""
    return [v for v in args.values() if isinstance(v, (np.ndarray, list, float, str))]


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_leak_nothing(name):
    function, args, error = CASES[name]
    objects = watched(args)
    before = {k: np.array(v, copy=True) for k, v in args.items() if isinstance(v, np.ndarray)}
    # A first batch brings the allocators to their working size; only the second is measured.
    for _ in range(CALLS):
        call(function, args, error)
    gc.collect()
    refcounts = [sys.getrefcount(v) for v in objects]
    tracked = len(gc.get_objects())
    blocks = sys.getallocatedblocks()
    malloc = MALLOC_IN_USE() if MALLOC_IN_USE else 0
    resident = rss()

    for _ in range(CALLS):
        call(function, args, error)

    gc.collect()
    assert [sys.getrefcount(v) for v in objects] == refcounts
    assert len(gc.get_objects()) - tracked < CALLS // 4
    assert sys.getallocatedblocks() - blocks < CALLS // 4
    if MALLOC_IN_USE:
        grown = MALLOC_IN_USE() - malloc
        assert grown <= MALLOC_SLACK, f"malloc holds {grown} more bytes after {CALLS} calls"
    if not UNDER_ASAN:
        grown = rss() - resident
        assert grown <= RSS_SLACK, f"resident set grew by {grown} bytes over {CALLS} calls"
    for key, saved in before.items():
        assert args[key].tobytes() == saved.tobytes(), f"{key} was modified"


@pytest.mark.parametrize("name", [name for name, case in CASES.items() if case[2] is None])
def test_results_die_with_their_last_reference(name):
    function, args, _ = CASES[name]
    result = function(**args)
    refs = [weakref.ref(array) for array in result.values()]
    assert [sys.getrefcount(result[key]) for key in result] == [2] * len(result)  # dict, argument
    del result
    assert all(ref() is None for ref in refs)


def mapped() -> int:
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")


def test_large_results_free_their_memory_array_by_array():
    """Results of 4 MiB and more share one huge-page mapping. Each array still owns
    its memory: one kept array keeps its bytes while the others give theirs back, it
    can be resized, and the mapping goes when the last array does."""
    args = mesh(12000)
    expected = {k: v.copy() for k, v in nk.compute_surface_deformation(**args).items()}
    assert sum(v.nbytes for v in expected.values()) >= 4 << 20

    kept, virtual, resident = [], mapped(), rss()
    for _ in range(20):
        result = nk.compute_surface_deformation(**args)
        kept.append(result["Epc1"])
        del result
    # Twenty calls return 85 MB; what stays is the kept arrays and a page or two of each call.
    if not UNDER_ASAN:
        assert rss() - resident < 20 * (8 << 10) + 20 * expected["Epc1"].nbytes + RSS_SLACK
    for array in kept:
        assert array.flags.owndata and array.tobytes() == expected["Epc1"].tobytes()
    n = len(kept[0])
    kept[0].resize(3 * n, refcheck=False)
    assert kept[0][:n].tobytes() == expected["Epc1"].tobytes() and not kept[0][n:].any()
    kept[1].resize(n // 3, refcheck=False)
    assert kept[1].tobytes() == expected["Epc1"][: n // 3].tobytes()
    del kept, array
    if not UNDER_ASAN:
        assert mapped() - virtual < 4 << 20
