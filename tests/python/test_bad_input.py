"""Caller mistakes in the reconstruction functions: a ValueError naming the argument,
raised before anything is computed, never a crash or an out-of-bounds read."""

from __future__ import annotations

import numpy as np
import pytest

import native_kestrine as nk
from conftest import assert_unchanged, snapshot

FUNCTIONS = ["tracks", "pair"]


def call(scene, which, **overrides):
    if which == "tracks":
        return nk.reconstruct_tracks(**scene.tracks_args(**overrides))
    return nk.reconstruct_pair_surface_points(**scene.pair_args(**overrides))


def grow(array, axis, by=-1):
    """The array with `by` entries added (or removed) along an axis."""
    if by < 0:
        return np.take(array, np.arange(array.shape[axis] + by), axis=axis)
    pad = [(0, 0)] * array.ndim
    pad[axis] = (0, by)
    return np.pad(array, pad)


@pytest.mark.parametrize("which", FUNCTIONS)
@pytest.mark.parametrize("name,make,pattern", [
    ("short cam_indices", lambda s: {"cam_indices": s.cam_indices[:-1]}, r"^cam_indices has"),
    ("short uv", lambda s: {"uv": s.uv[:-3]}, r"^uv has \d+ rows"),
    ("one uv column", lambda s: {"uv": s.uv[:, :1]}, r"^uv has 1 columns"),
    ("K too small", lambda s: {"K": s.K[:, :1, :]}, r"^K has shape"),
    ("K narrow", lambda s: {"K": s.K[:, :, :2]}, r"^K has shape"),
    ("R too small", lambda s: {"R": s.R[:, :2, :]}, r"^R has shape"),
    ("t too small", lambda s: {"t": s.t[:, :2]}, r"^t has 2 columns"),
    ("negative spacing", lambda s: {"subset_spacing": -1}, r"^subset_spacing = -1"),
])
def test_table_and_camera_shapes(scene, which, name, make, pattern):
    with pytest.raises(ValueError, match=pattern):
        call(scene, which, **make(scene))


@pytest.mark.parametrize("which", FUNCTIONS)
@pytest.mark.parametrize("array", ["K", "dist", "R", "t"])
def test_camera_index_outside_a_camera_array(scene, which, array):
    short = grow(getattr(scene, array), 0, by=-(scene.K.shape[0] - 1))  # one camera left
    pattern = (r"^cam_indices\[\d+\] = \d+ is outside " if which == "tracks" else r"^cam_b = 1 is outside ") + array
    with pytest.raises(ValueError, match=pattern):
        call(scene, which, **{array: short})


def test_negative_camera_index(scene):
    cams = scene.cam_indices.copy()
    cams[5] = -3
    with pytest.raises(ValueError, match=r"^cam_indices\[5\] = -3 is negative"):
        call(scene, "tracks", cam_indices=cams)
    cams[5] = 2**31 - 1
    with pytest.raises(ValueError, match=r"^cam_indices\[5\] = 2147483647 is outside K"):
        call(scene, "tracks", cam_indices=cams)


def test_pair_checks_only_cameras_that_observations_carry(scene):
    # Camera 99 carries no observation: never read, never checked; nothing is complete.
    result = call(scene, "pair", cam_a=0, cam_b=99)
    assert len(result["point_indices"]) == 0
    result = call(scene, "pair", cam_a=-1, cam_b=99, K=np.zeros((0, 3, 3)))
    assert len(result["point_indices"]) == 0
    cams = scene.cam_indices.copy()
    cams[cams == 3] = -1
    with pytest.raises(ValueError, match=r"^cam_b = -1 is negative"):
        call(scene, "pair", cam_a=0, cam_b=-1, cam_indices=cams)


@pytest.mark.parametrize("which", FUNCTIONS)
@pytest.mark.parametrize("stack", ["dic_u", "dic_v", "dic_corrcoef", "dic_valid"])
@pytest.mark.parametrize("axis,pattern", [(0, "cameras but camera"), (1, "grid rows"), (2, "grid columns")])
def test_dic_stack_extents(scene, which, stack, axis, pattern):
    by = -(scene.K.shape[0] - 1) if axis == 0 else -1
    short = grow(getattr(scene, stack), axis, by=by)
    with pytest.raises(ValueError, match=f"^{stack} (holds|has) .*{pattern}"):
        call(scene, which, **{stack: short})


@pytest.mark.parametrize("which", FUNCTIONS)
def test_larger_stacks_and_columns_are_fine(scene, which):
    expected = call(scene, which)
    bigger = {
        "dic_u": grow(scene.dic_u, 2, 3), "dic_v": grow(scene.dic_v, 1, 2),
        "dic_corrcoef": grow(scene.dic_corrcoef, 0, 1), "dic_valid": scene.dic_valid,
        "uv": np.column_stack([scene.uv, np.full(len(scene.uv), np.nan)]),
        "dist": np.column_stack([scene.dist, np.full((len(scene.dist), 3), 9.0)]),
    }
    result = call(scene, which, **bigger)
    key = "points_ref_sfm"
    np.testing.assert_array_equal(result[key], expected[key])


@pytest.mark.parametrize("which", FUNCTIONS)
@pytest.mark.parametrize("spacing", [0, 2**31 - 1])
def test_extreme_grid_steps(scene, which, spacing):
    """A step of 1 px puts the grid's last node at pixel (width - 1, height - 1), so a
    pixel is sampled exactly when it rounds to a node inside; a step of 2**31 px puts
    every pixel of the image in the first cell, next to node (0, 0)."""
    result = call(scene, which, subset_spacing=spacing)
    px, py = scene.uv[:, 0], scene.uv[:, 1]
    if spacing == 0:
        sampled = (np.floor(px + 0.5) < scene.reduced_width) & (np.floor(py + 0.5) < scene.reduced_height)
        corr_at_node = None
    else:
        sampled = np.ones(len(px), bool)
        corr_at_node = scene.dic_corrcoef[:, 0, 0]
    if which == "tracks":
        ids = result["point_indices"]
        views = np.array([sampled[scene.point_indices == i].sum() for i in ids])
        np.testing.assert_array_equal(result["num_views"], views)
        if corr_at_node is not None:
            expected = [corr_at_node[scene.cam_indices[scene.point_indices == i]].mean() for i in ids]
            np.testing.assert_allclose(result["mean_corrcoef"], expected, atol=1e-5)
    else:
        def sampled_in(cam):
            rows = scene.cam_indices == cam
            return set(scene.point_indices[rows][sampled[rows]])
        both = sorted(sampled_in(0) & sampled_in(1))
        np.testing.assert_array_equal(result["point_indices"], both)
        if corr_at_node is not None:
            np.testing.assert_allclose(result["corr_a"], corr_at_node[0], atol=1e-5)
            np.testing.assert_allclose(result["corr_b"], corr_at_node[1], atol=1e-5)


@pytest.mark.parametrize("which", FUNCTIONS)
@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf, 1e300, -1e300, 2147483647.0 * 2, -2147483648.0 * 2])
def test_hostile_pixels_give_invalid_samples(scene, which, value):
    uv = scene.uv.copy()
    uv[:, 0] = value
    args = scene.tracks_args(uv=uv) if which == "tracks" else scene.pair_args(uv=uv)
    before = snapshot(args)
    result = call(scene, which, uv=uv)
    assert_unchanged(args, before)
    if which == "tracks":
        assert (result["num_views"] == 0).all() and not result["valid"].any()
    else:
        assert len(result["point_indices"]) == 0


@pytest.mark.parametrize("which", FUNCTIONS)
def test_nan_distortion_does_not_switch_the_lens_off(scene, which):
    dist = scene.dist.copy()
    dist[:, 0] = np.nan
    result = call(scene, which, dist=dist)
    if which == "tracks":
        assert not result["valid"].any()
        assert (result["num_views"] > 0).all()
    else:
        assert len(result["point_indices"]) == 0


def test_non_boolean_bytes_in_dic_valid_count_as_true(scene):
    expected = call(scene, "tracks")
    bytes_ = scene.dic_valid.view(np.uint8) * 77
    result = call(scene, "tracks", dic_valid=bytes_.view(bool))
    np.testing.assert_array_equal(result["points_ref_sfm"], expected["points_ref_sfm"])
