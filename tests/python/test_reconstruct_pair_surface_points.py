"""reconstruct_pair_surface_points: ground truth, row selection, thresholds, and agreement
with reconstruct_tracks on the same two views."""

from __future__ import annotations

import numpy as np
import pytest

import native_kestrine as nk
from conftest import RESULTS, assert_unchanged, make_scene, snapshot
from conftest import check_layout as check_layout_of

KEYS = RESULTS["reconstruct_pair_surface_points"]


def check_layout(result: dict, rows: int) -> None:
    check_layout_of(result, "reconstruct_pair_surface_points", rows)


def pair(scene, **overrides):
    return nk.reconstruct_pair_surface_points(**scene.pair_args(**overrides))


@pytest.mark.parametrize("distortion", [False, True])
@pytest.mark.parametrize("cams", [(0, 1), (3, 1)])
def test_known_scene_is_reconstructed(distortion, cams):
    scene = make_scene(distortion=distortion)
    args = scene.pair_args(cam_a=cams[0], cam_b=cams[1], scale=-2.0)
    before = snapshot(args)
    result = nk.reconstruct_pair_surface_points(**args)
    assert_unchanged(args, before)
    n = len(scene.X_ref)
    check_layout(result, n)
    np.testing.assert_array_equal(result["point_indices"], np.arange(n))
    assert result["valid_points"].all()
    np.testing.assert_allclose(result["points_ref_sfm"], scene.X_ref, atol=1e-6, rtol=0)
    np.testing.assert_allclose(result["displacement_sfm"], scene.X_def - scene.X_ref, atol=1e-6, rtol=0)
    np.testing.assert_array_equal(result["points_ref_world"], result["points_ref_sfm"] * -2.0)
    d = result["points_def_sfm"] - result["points_ref_sfm"]
    np.testing.assert_array_equal(result["displacement_sfm"], d)
    np.testing.assert_array_equal(result["displacement_world"], d * -2.0)
    np.testing.assert_array_equal(result["displacement_norm_world"],
                                  np.sqrt(((d[:, 0] * -2.0) ** 2 + (d[:, 1] * -2.0) ** 2) + (d[:, 2] * -2.0) ** 2))
    for cam, side in zip(cams, "ab"):
        rows = [np.flatnonzero((scene.point_indices == p) & (scene.cam_indices == cam))[0] for p in range(n)]
        np.testing.assert_array_equal(result[f"uv_ref_{side}"], scene.uv[rows])
    np.testing.assert_array_equal(result["corr_comb"], np.minimum(result["corr_a"], result["corr_b"]))


def test_empty_and_degenerate_selections(scene):
    empty = pair(scene, point_indices=np.zeros(0, np.int64), cam_indices=np.zeros(0, np.int32),
                 uv=np.zeros((0, 2)), dic_u=0.0, dic_valid=[True])
    check_layout(empty, 0)
    check_layout(pair(scene, cam_a=2, cam_b=2), 0)
    # Only one camera of the pair is observed: the stacks are never examined.
    only_a = scene.cam_indices != 1
    check_layout(pair(scene, point_indices=scene.point_indices[only_a], cam_indices=scene.cam_indices[only_a],
                      uv=scene.uv[only_a], dic_v=np.zeros(2)), 0)


def test_agrees_bit_for_bit_with_tracks_on_the_same_two_views(scene):
    n = len(scene.X_ref)
    rows = []
    for p in range(n):
        for cam in (0, 2):  # camera a's row first
            rows.append(np.flatnonzero((scene.point_indices == p) & (scene.cam_indices == cam))[0])
    args = scene.tracks_args(point_indices=scene.point_indices[rows], cam_indices=scene.cam_indices[rows],
                             uv=scene.uv[rows], max_reprojection_error_px=np.inf)
    tracks = nk.reconstruct_tracks(**args)
    del args["min_views"]
    pair_result = nk.reconstruct_pair_surface_points(**args, cam_a=0, cam_b=2)
    assert tracks["valid"].all() and len(pair_result["point_indices"]) == n
    for key in ("points_ref_sfm", "points_def_sfm", "displacement_sfm", "points_ref_world",
                "reprojection_error_ref", "reprojection_error_def"):
        assert pair_result[key].tobytes() == tracks[key].tobytes(), key


def test_highest_row_wins_without_fallback(scene):
    ids = np.array([4, 9, 4, 4, 9, 4, 9, 4], np.int64)
    cams = np.array([0, 0, 1, 0, 1, 2, 2, 0], np.int32)
    source = {(c, p): np.flatnonzero((scene.point_indices == p) & (scene.cam_indices == c))[0]
              for c in range(3) for p in (4, 9)}
    uv = np.array([scene.uv[source[(c, p)]] for p, c in zip(ids, cams)])
    uv[3] += 40.0  # row 3 (camera a, point 4) is wrong; row 7 (same) is right
    base = dict(point_indices=ids, cam_indices=cams, uv=uv)
    result = pair(scene, **base)
    np.testing.assert_array_equal(result["point_indices"], [4, 9])
    np.testing.assert_array_equal(result["uv_ref_a"][0], uv[7])
    np.testing.assert_allclose(result["points_ref_sfm"][0], scene.X_ref[4], atol=1e-6)
    # Row 7 off the grid: point 4 disappears, row 3 is not used instead.
    uv_bad = uv.copy()
    uv_bad[7] = [-100.0, -100.0]
    np.testing.assert_array_equal(pair(scene, **{**base, "uv": uv_bad})["point_indices"], [9])
    # Observations in camera 2 never matter.
    uv_other = uv.copy()
    uv_other[[5, 6]] = np.nan
    other = pair(scene, **{**base, "uv": uv_other})
    assert other["points_ref_sfm"].tobytes() == result["points_ref_sfm"].tobytes()


def test_negative_unsorted_ids(scene):
    mapping = {3: -7, 1: 12, 2: -1}
    keep = np.isin(scene.point_indices, list(mapping))
    ids = np.array([mapping[p] for p in scene.point_indices[keep]], np.int64)
    result = pair(scene, point_indices=ids, cam_indices=scene.cam_indices[keep], uv=scene.uv[keep])
    np.testing.assert_array_equal(result["point_indices"], [-7, -1, 12])


def test_thresholds_are_inclusive_and_nan_fails(scene):
    base = pair(scene, max_reprojection_error_px=np.inf, min_corrcoef=0.0)
    worst = max(base["reprojection_error_ref"].max(), base["reprojection_error_def"].max())
    assert base["valid_points"].all()
    assert pair(scene, max_reprojection_error_px=worst, min_corrcoef=0.0)["valid_points"].all()
    tighter = pair(scene, max_reprojection_error_px=np.nextafter(worst, 0), min_corrcoef=0.0)
    assert not tighter["valid_points"].all() and len(tighter["point_indices"]) == len(base["point_indices"])
    # A correlation threshold equal to a point's combined correlation still passes it.
    # (A zero field interpolates to exactly zero.)
    flat = np.zeros_like(scene.dic_corrcoef)
    at = pair(scene, dic_corrcoef=flat, min_corrcoef=0.0, max_reprojection_error_px=np.inf)
    assert at["valid_points"].all() and (at["corr_comb"] == 0.0).all()
    nan_err = pair(scene, max_reprojection_error_px=np.nan)
    assert len(nan_err["point_indices"]) == len(base["point_indices"]) and not nan_err["valid_points"].any()
    # NaN threshold: the sampler falls back to nearest nodes; every row produced is flagged.
    nan_corr = pair(scene, min_corrcoef=np.nan, max_reprojection_error_px=np.inf)
    assert len(nan_corr["point_indices"]) > 0 and not nan_corr["valid_points"].any()


def test_combined_correlation_tie_and_nan(scene):
    corr = np.zeros_like(scene.dic_corrcoef)
    corr[0] = -0.0
    tie = pair(scene, dic_corrcoef=corr, min_corrcoef=-1.0, max_reprojection_error_px=np.inf)
    assert np.signbit(tie["corr_comb"]).all()  # the tie keeps corr_a (-0.0)
    corr = scene.dic_corrcoef.copy()
    corr[1] = np.nan  # camera b: every cell fails bilinear, nearest nodes pass
    nan_b = pair(scene, dic_corrcoef=corr, max_reprojection_error_px=np.inf)
    assert np.isnan(nan_b["corr_b"]).all()
    np.testing.assert_array_equal(nan_b["corr_comb"], nan_b["corr_a"])
    assert nan_b["valid_points"].all()
    nan_a = pair(scene, cam_a=1, cam_b=0, dic_corrcoef=corr, max_reprojection_error_px=np.inf)
    assert np.isnan(nan_a["corr_comb"]).all() and not nan_a["valid_points"].any()


@pytest.mark.parametrize("scale", [0.0, -3.0])
def test_zero_and_negative_scale(scene, scale):
    result = pair(scene, scale=scale)
    np.testing.assert_array_equal(result["points_def_world"], result["points_def_sfm"] * scale)
    assert (result["displacement_norm_world"] >= 0).all()
    if scale == 0.0:
        assert (result["displacement_norm_world"] == 0).all()


def test_zero_displacement_keeps_points(scene):
    zero = np.zeros_like(scene.dic_u)
    result = pair(scene, dic_u=zero, dic_v=zero)
    np.testing.assert_array_equal(result["uv_def_a"], result["uv_ref_a"])
    assert result["points_def_sfm"].tobytes() == result["points_ref_sfm"].tobytes()
    assert (result["displacement_sfm"] == 0).all()


def test_dimension_errors_follow_view_order(scene):
    with pytest.raises(ValueError, match="^array has incorrect number of dimensions: 2; expected 3$"):
        pair(scene, R=np.zeros((3, 3)), point_indices=np.zeros((1, 1), np.int64))
    with pytest.raises(ValueError, match="^array has incorrect number of dimensions: 2; expected 3$"):
        pair(scene, dic_corrcoef=np.zeros((3, 3)))
