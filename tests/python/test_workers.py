"""The `workers` keyword: the same bits for every thread count, the interpreter
lock released while threads compute, and nothing that outlives a call."""

from __future__ import annotations

import multiprocessing
import threading

import numpy as np
import pytest

import native_kestrine as nk
from conftest import make_scene

WORKERS = (1, 2, 3, -1)


def surface_args(M: int, seed: int = 5) -> dict:
    rng = np.random.default_rng(seed)
    points_ref = rng.uniform(-1.0, 1.0, (M // 2 + 3, 3))
    points_def = points_ref * 1.01 + 0.02 * rng.standard_normal(points_ref.shape)
    faces = rng.integers(0, len(points_ref), (M, 3)).astype(np.int32)
    return dict(faces=faces, points_ref=points_ref, points_def=points_def,
                valid_faces=rng.random(M) < 0.9)


def scene_args(function: str, n_points: int) -> dict:
    scene = make_scene(n_points=max(n_points, 1), seed=7)
    if n_points == 0:
        scene.point_indices, scene.cam_indices, scene.uv = \
            scene.point_indices[:0], scene.cam_indices[:0], scene.uv[:0]
    if function == "reconstruct_tracks":
        return scene.tracks_args(max_reprojection_error_px=0.5)
    return scene.pair_args(cam_a=1, cam_b=3, max_reprojection_error_px=0.5)


def arguments(function: str, size: int) -> dict:
    if function == "compute_surface_deformation":
        return surface_args(size)
    return scene_args(function, size)


@pytest.mark.parametrize("size", [0, 1, 7, 10007])
@pytest.mark.parametrize("function", ["reconstruct_tracks", "reconstruct_pair_surface_points",
                                      "compute_surface_deformation"])
def test_every_worker_count_gives_the_same_bits(function, size):
    call = getattr(nk, function)
    args = arguments(function, size)
    expected = call(**args)
    assert size < 10 or expected[next(iter(expected))].shape[0] > 1000
    for workers in WORKERS[1:]:
        result = call(**args, workers=workers)
        assert list(result) == list(expected)
        for key, value in expected.items():
            assert result[key].dtype == value.dtype and result[key].shape == value.shape, key
            assert result[key].tobytes() == value.tobytes(), (key, workers)


@pytest.mark.parametrize("workers", [0, -2, -1000])
def test_meaningless_worker_counts_are_refused(workers):
    with pytest.raises(ValueError, match=rf"^workers = {workers} "):
        nk.compute_surface_deformation(**surface_args(10), workers=workers)
    with pytest.raises(ValueError, match=r"^workers"):
        nk.reconstruct_tracks(**scene_args("reconstruct_tracks", 3), workers=workers)


def test_workers_is_keyword_only():
    args = list(surface_args(4).values())
    with pytest.raises(TypeError):
        nk.compute_surface_deformation(*args, 2)
    with pytest.raises(TypeError):
        nk.compute_surface_deformation(*args, workers=2.0)


def test_other_python_threads_run_during_a_threaded_call():
    args = surface_args(400_000)
    progress = {"during": 0}
    started, finished = threading.Event(), threading.Event()

    def compute():
        started.set()
        for _ in range(3):
            nk.compute_surface_deformation(**args, workers=2)
        finished.set()

    worker = threading.Thread(target=compute)
    worker.start()
    started.wait()
    while not finished.is_set():
        progress["during"] += 1
    worker.join()
    # With the lock held for the whole call this loop could only run between
    # calls; released, it spins throughout.
    assert progress["during"] > 10_000


def _threaded_call_in_child(_):
    result = nk.compute_surface_deformation(**surface_args(9000), workers=2)
    return result["Epc1"].tobytes()


def test_fork_after_a_threaded_call_works():
    expected = nk.compute_surface_deformation(**surface_args(9000), workers=2)["Epc1"].tobytes()
    with multiprocessing.get_context("fork").Pool(2) as pool:
        assert pool.map(_threaded_call_in_child, range(2)) == [expected, expected]


def test_hostile_writer_during_threaded_calls_never_reads_out_of_bounds():
    """Another thread scribbles over the inputs while threaded calls run. The
    numbers may be wrong, but every call must return normally (the sanitizer
    run turns any out-of-bounds access into a crash)."""
    surface = surface_args(20000)
    scene = make_scene(n_points=3000, seed=9)
    tracks = scene.tracks_args()
    pair = scene.pair_args()
    tracks["cam_indices"] = tracks["cam_indices"].copy()
    pair["cam_indices"] = tracks["cam_indices"]
    stop = threading.Event()
    rng = np.random.default_rng(1)

    def scribble():
        hostile = np.array([-1, 2**31 - 1, -(2**31), 7, 1_000_000], np.int32)
        while not stop.is_set():
            i = rng.integers(0, len(surface["faces"]), 64)
            surface["faces"][i, rng.integers(0, 3)] = rng.choice(hostile, 64)
            surface["valid_faces"][i] = True
            j = rng.integers(0, len(tracks["cam_indices"]), 64)
            tracks["cam_indices"][j] = rng.choice(hostile, 64)
            tracks["uv"][j] = rng.choice([np.nan, np.inf, -1e300, 1e9], (64, 2))

    writer = threading.Thread(target=scribble)
    writer.start()
    try:
        for _ in range(5):
            for function, args in ((nk.compute_surface_deformation, surface),
                                   (nk.reconstruct_tracks, tracks),
                                   (nk.reconstruct_pair_surface_points, pair)):
                try:
                    function(**args, workers=2)
                except ValueError:
                    pass  # a check at the boundary caught a value the writer had just put in
    finally:
        stop.set()
        writer.join()
