"""reconstruct_tracks: ground truth, row contents of rejected tracks, argument handling."""

from __future__ import annotations

import numpy as np
import pytest

import native_kestrine as nk
from conftest import RESULTS, assert_unchanged, make_scene, snapshot
from conftest import check_layout as check_layout_of

KEYS = RESULTS["reconstruct_tracks"]


def check_layout(result: dict, rows: int) -> None:
    check_layout_of(result, "reconstruct_tracks", rows)


@pytest.mark.parametrize("n_cams", [2, 4])
@pytest.mark.parametrize("distortion", [False, True])
def test_known_scene_is_reconstructed(n_cams, distortion):
    scene = make_scene(n_cams=n_cams, distortion=distortion)
    args = scene.tracks_args(scale=2.5)
    before = snapshot(args)
    result = nk.reconstruct_tracks(**args)
    assert_unchanged(args, before)
    check_layout(result, len(scene.X_ref))
    np.testing.assert_array_equal(result["point_indices"], np.arange(len(scene.X_ref)))
    assert result["valid"].all()
    assert (result["num_views"] == n_cams).all()
    np.testing.assert_allclose(result["points_ref_sfm"], scene.X_ref, rtol=0, atol=1e-6)
    np.testing.assert_allclose(result["points_def_sfm"], scene.X_def, rtol=0, atol=1e-6)
    np.testing.assert_allclose(result["displacement_sfm"], scene.X_def - scene.X_ref, rtol=0, atol=1e-6)
    for key in ("points_ref", "points_def", "displacement"):
        np.testing.assert_array_equal(result[f"{key}_world"], result[f"{key}_sfm"] * 2.5)
    assert (result["reprojection_error_ref"] < 1e-6).all()
    assert (result["mean_corrcoef"] > 0.95).all()


def test_empty_table_never_examines_dic_stacks(scene):
    args = scene.tracks_args(point_indices=np.zeros(0, np.int64), cam_indices=np.zeros(0, np.int32),
                             uv=np.zeros((0, 2)), dic_u=np.zeros(3), dic_v=1.0, dic_corrcoef=[[1.0]],
                             dic_valid=np.zeros((1, 1, 1, 1), bool))
    check_layout(nk.reconstruct_tracks(**args), 0)


def test_unsorted_negative_ids_come_out_ascending(scene):
    rows = {5: 0, -2: 1, 3: 2}
    src = scene.point_indices
    # Borrow three real points' observations and relabel them.
    pick = np.concatenate([np.flatnonzero(src == p) for p in rows.values()])
    relabel = {v: k for k, v in rows.items()}
    ids = np.array([relabel[p] for p in src[pick]], np.int64)
    args = scene.tracks_args(point_indices=ids, cam_indices=scene.cam_indices[pick], uv=scene.uv[pick])
    result = nk.reconstruct_tracks(**args)
    np.testing.assert_array_equal(result["point_indices"], [-2, 3, 5])
    np.testing.assert_allclose(result["points_ref_sfm"], scene.X_ref[[1, 2, 0]], atol=1e-6)


def small_case(scene, cams, pixels_from=0, **overrides):
    """One track (id 7) observed by the given cameras at point `pixels_from`'s pixels."""
    mask = scene.point_indices == pixels_from
    rows = [np.flatnonzero(mask & (scene.cam_indices == c))[0] for c in cams]
    args = scene.tracks_args(point_indices=np.full(len(rows), 7, np.int64),
                             cam_indices=scene.cam_indices[rows], uv=scene.uv[rows])
    args.update(overrides)
    return args


def test_single_view_track_fails_even_with_min_views_one(scene):
    result = nk.reconstruct_tracks(**small_case(scene, [2], min_views=1))
    assert result["num_views"][0] == 1 and not result["valid"][0]
    assert result["mean_corrcoef"][0] > 0.9
    assert np.isinf(result["reprojection_error_ref"][0]) and np.isinf(result["reprojection_error_def"][0])
    assert (result["points_ref_sfm"] == 0).all()


def test_track_without_valid_samples(scene):
    result = nk.reconstruct_tracks(**small_case(scene, [0, 1, 2], min_corrcoef=2.0, min_views=-5))
    assert result["num_views"][0] == 0 and result["mean_corrcoef"][0] == 0.0
    assert not result["valid"][0] and np.isinf(result["reprojection_error_ref"][0])


def test_same_camera_twice_counts_twice(scene):
    result = nk.reconstruct_tracks(**small_case(scene, [0, 0, 1]))
    assert result["num_views"][0] == 3 and result["valid"][0]


def test_deformed_triangulation_failure(scene):
    dic_u = scene.dic_u.copy()
    dic_u[:] = np.nan  # valid nodes with NaN motion: the deformed rays are NaN
    result = nk.reconstruct_tracks(**small_case(scene, [0, 1, 2], dic_u=dic_u))
    assert result["num_views"][0] == 3 and not result["valid"][0]
    assert np.isinf(result["reprojection_error_ref"][0])
    assert (result["points_ref_sfm"] == 0).all() and (result["displacement_world"] == 0).all()


def test_reprojection_gate_is_inclusive_and_nan_fails(scene):
    # Perturb one pixel so the errors are clearly non-zero.
    args = small_case(scene, [0, 1, 2], max_reprojection_error_px=np.inf)
    args["uv"] = args["uv"] + [[0.5, 0.0], [0.0, 0.0], [0.0, 0.0]]
    free = nk.reconstruct_tracks(**args)
    err = max(free["reprojection_error_ref"][0], free["reprojection_error_def"][0])
    assert free["valid"][0] and err > 0.01
    exact = nk.reconstruct_tracks(**{**args, "max_reprojection_error_px": err})
    assert exact["valid"][0]
    below = nk.reconstruct_tracks(**{**args, "max_reprojection_error_px": np.nextafter(err, 0), "scale": -1.0})
    assert not below["valid"][0]
    # Rejected by the gate: computed errors kept, points zeroed (-0.0 in world with negative scale).
    assert below["reprojection_error_ref"][0] == free["reprojection_error_ref"][0]
    assert (below["points_ref_sfm"] == 0).all()
    assert np.signbit(below["points_ref_world"]).all()
    nan = nk.reconstruct_tracks(**{**args, "max_reprojection_error_px": np.nan})
    assert not nan["valid"][0] and np.isfinite(nan["reprojection_error_ref"][0])


def test_min_views_gate(scene):
    assert not nk.reconstruct_tracks(**small_case(scene, [0, 1], min_views=3))["valid"][0]
    assert nk.reconstruct_tracks(**small_case(scene, [0, 1, 2], min_views=3))["valid"][0]


@pytest.mark.parametrize("variant", ["reversed", "transposed", "sliced"])
def test_strided_inputs_read_in_place(scene, variant):
    args = scene.tracks_args()
    expected = nk.reconstruct_tracks(**args)
    strided = dict(args)
    if variant == "reversed":
        strided["uv"] = args["uv"][::-1][::-1]
        strided["K"] = np.ascontiguousarray(args["K"][::-1])[::-1]
        strided["dic_u"] = np.ascontiguousarray(args["dic_u"][:, ::-1])[:, ::-1]
    elif variant == "transposed":
        strided["uv"] = np.ascontiguousarray(args["uv"].T).T
        strided["R"] = np.ascontiguousarray(args["R"].transpose(2, 1, 0)).transpose(2, 1, 0)
        strided["dic_v"] = np.asfortranarray(args["dic_v"])
    else:
        wide = np.zeros((len(args["uv"]), 5))
        wide[:, 1:3] = args["uv"]
        strided["uv"] = wide[:, 1:3]
        ids = np.zeros(2 * len(args["point_indices"]), np.int64)
        ids[::2] = args["point_indices"]
        strided["point_indices"] = ids[::2]
        valid = np.zeros(args["dic_valid"].shape + (2,), bool)
        valid[..., 0] = args["dic_valid"]
        strided["dic_valid"] = valid[..., 0]
    assert not all(a.flags.c_contiguous for a in strided.values() if isinstance(a, np.ndarray))
    result = nk.reconstruct_tracks(**strided)
    for key in KEYS:
        np.testing.assert_array_equal(result[key], expected[key], err_msg=key)


def test_argument_conversion(scene):
    base = scene.tracks_args()
    expected = nk.reconstruct_tracks(**base)
    converted = nk.reconstruct_tracks(**{
        **base,
        "cam_indices": base["cam_indices"].astype(float),  # whole numbers convert exactly
        "uv": base["uv"].tolist(),
        "reduced_height": np.int64(base["reduced_height"]),
        "scale": 1,
    })
    for key in KEYS:
        np.testing.assert_array_equal(converted[key], expected[key], err_msg=key)
    positional = nk.reconstruct_tracks(*base.values())
    np.testing.assert_array_equal(positional["points_ref_sfm"], expected["points_ref_sfm"])
    shuffled = dict(reversed(list(base.items())))
    np.testing.assert_array_equal(nk.reconstruct_tracks(**shuffled)["valid"], expected["valid"])


@pytest.mark.parametrize("change", [
    {"reduced_height": 2.0}, {"reduced_height": 2**31}, {"min_views": "2"}, {"scale": "x"},
    {"K": "not an array"}, {"unexpected": 1},
])
def test_unconvertible_arguments_raise_type_error(scene, change):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        nk.reconstruct_tracks(**{**scene.tracks_args(), **change})


def test_missing_argument_raises_type_error(scene):
    args = scene.tracks_args()
    del args["scale"]
    with pytest.raises(TypeError):
        nk.reconstruct_tracks(**args)


@pytest.mark.parametrize("key,value,dims,expected", [
    ("K", np.zeros((2, 3)), 2, 3), ("dist", np.zeros(2), 1, 2), ("R", np.zeros((2, 3)), 2, 3),
    ("t", np.zeros((2, 3, 1)), 3, 2), ("point_indices", np.zeros((2, 1), np.int64), 2, 1),
    ("cam_indices", np.zeros((2, 1), np.int32), 2, 1), ("uv", np.zeros(4), 1, 2),
    ("dic_u", np.zeros((2, 3)), 2, 3), ("dic_valid", np.zeros((2, 3, 4, 1), bool), 4, 3),
])
def test_dimension_errors(scene, key, value, dims, expected):
    message = f"^array has incorrect number of dimensions: {dims}; expected {expected}$"
    with pytest.raises(ValueError, match=message):
        nk.reconstruct_tracks(**scene.tracks_args(**{key: value}))


def test_first_dimension_error_in_view_order_wins(scene):
    with pytest.raises(ValueError, match="dimensions: 2; expected 3"):
        nk.reconstruct_tracks(**scene.tracks_args(uv=np.zeros(3), K=np.zeros((1, 1))))
