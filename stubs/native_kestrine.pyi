"""Native acceleration kernels for Quorvex kestrine.

Conventions shared by the three functions:

- Pixels are (x, y) with x along image columns and y along image rows.
- A camera maps a point X to Xc = R @ X + t; intrinsics K (fx, fy, cx, cy, no
  skew) and radial distortion k1, k2 (first two columns of ``dist``).
- Positions ending in ``_sfm`` are in the frame and length unit of the camera
  poses (``t``); ``_world`` is the same numbers times ``scale``, with no
  rotation or offset.
- DIC grids: node (row j, column i) of camera c lies at pixel
  (i * step, j * step) of its reference image, step = subset_spacing + 1.
- Arrays of the exact dtype are read in place through their strides; float
  arrays of another dtype are converted by numpy, bool arrays by truth value
  (any non-zero value is true). Index arguments (``point_indices``,
  ``cam_indices``, ``faces``) accept bool, integer and real values, but every
  value that is read must convert unchanged (an integer in range or a whole
  number in range); otherwise ValueError names the argument, the position and
  the value. Every result array is new and C-contiguous.
- A wrong number of dimensions raises ValueError; a missing or unconvertible
  argument raises TypeError. Arrays too small for what the call reads, camera
  indices outside the camera arrays or DIC stacks, face indices outside the
  point arrays and a negative ``subset_spacing`` raise ValueError naming the
  argument, before anything is computed. Rejected points and faces are never errors: they
  are reported through the result's validity flags.
"""

from typing import SupportsFloat, SupportsIndex, TypedDict, type_check_only

import numpy as np
from numpy.typing import ArrayLike, NDArray

_Int = SupportsIndex
_Float = SupportsFloat | SupportsIndex

@type_check_only
class TracksResult(TypedDict):
    """One row per distinct point id (track), in ascending signed id order (T rows)."""

    point_indices: NDArray[np.int64]
    """(T,) the track's point id."""
    points_ref_sfm: NDArray[np.float64]
    """(T, 3) reference position, pose units; 0.0 when the track is not valid."""
    points_def_sfm: NDArray[np.float64]
    """(T, 3) deformed position, pose units; 0.0 when not valid."""
    displacement_sfm: NDArray[np.float64]
    """(T, 3) deformed minus reference, pose units; 0.0 when not valid."""
    points_ref_world: NDArray[np.float64]
    """(T, 3) ``points_ref_sfm`` times ``scale``."""
    points_def_world: NDArray[np.float64]
    """(T, 3) ``points_def_sfm`` times ``scale``."""
    displacement_world: NDArray[np.float64]
    """(T, 3) ``displacement_sfm`` times ``scale``."""
    num_views: NDArray[np.int32]
    """(T,) observations of the track whose DIC sample was usable."""
    mean_corrcoef: NDArray[np.float64]
    """(T,) mean sampled correlation over those views; 0.0 without views."""
    reprojection_error_ref: NDArray[np.float64]
    """(T,) mean pixel distance of the reprojected reference point; +inf when not triangulated."""
    reprojection_error_def: NDArray[np.float64]
    """(T,) the same for the deformed point; +inf when not triangulated."""
    valid: NDArray[np.bool_]
    """(T,) enough views, both states triangulated and both errors within the threshold."""

@type_check_only
class PairResult(TypedDict):
    """One row per point reconstructed from cameras a and b, ascending point id (n rows).

    Points seen by only one of the cameras, with an unusable DIC sample in
    either, or whose triangulation fails are left out. Rows that miss a
    threshold stay, with ``valid_points`` false.
    """

    point_indices: NDArray[np.int64]
    """(n,) point id."""
    uv_ref_a: NDArray[np.float64]
    """(n, 2) reference pixel (x, y) in camera a."""
    uv_ref_b: NDArray[np.float64]
    """(n, 2) reference pixel in camera b."""
    uv_def_a: NDArray[np.float64]
    """(n, 2) deformed pixel in camera a: reference pixel plus the sampled DIC displacement."""
    uv_def_b: NDArray[np.float64]
    """(n, 2) deformed pixel in camera b."""
    points_ref_sfm: NDArray[np.float64]
    """(n, 3) reference position, pose units."""
    points_def_sfm: NDArray[np.float64]
    """(n, 3) deformed position, pose units."""
    points_ref_world: NDArray[np.float64]
    """(n, 3) reference position times ``scale``."""
    points_def_world: NDArray[np.float64]
    """(n, 3) deformed position times ``scale``."""
    displacement_sfm: NDArray[np.float64]
    """(n, 3) deformed minus reference, pose units."""
    displacement_world: NDArray[np.float64]
    """(n, 3) ``displacement_sfm`` times ``scale``."""
    displacement_norm_world: NDArray[np.float64]
    """(n,) Euclidean length of ``displacement_world``, world units."""
    corr_a: NDArray[np.float64]
    """(n,) sampled correlation in camera a."""
    corr_b: NDArray[np.float64]
    """(n,) sampled correlation in camera b."""
    corr_comb: NDArray[np.float64]
    """(n,) the smaller of ``corr_a`` and ``corr_b``."""
    reprojection_error_ref: NDArray[np.float64]
    """(n,) mean over both cameras of the reference point's reprojection distance, pixels."""
    reprojection_error_def: NDArray[np.float64]
    """(n,) the same for the deformed point, pixels."""
    valid_points: NDArray[np.bool_]
    """(n,) ``corr_comb`` >= min_corrcoef and both errors <= max_reprojection_error_px."""

@type_check_only
class SurfaceDeformationResult(TypedDict):
    """One row per face (M rows). Faces masked out or unusable hold NaN in every float array."""

    Fmat: NDArray[np.float64]
    """(M, 3, 3) deformation gradient of the face's membrane map (no stretch along the normal)."""
    Cmat: NDArray[np.float64]
    """(M, 3, 3) right Cauchy-Green tensor F^T F."""
    J: NDArray[np.float64]
    """(M,) det F: deformed over reference area."""
    Emat: NDArray[np.float64]
    """(M, 3, 3) Green-Lagrange strain (C - I) / 2."""
    emat: NDArray[np.float64]
    """(M, 3, 3) Euler-Almansi strain (I - (F F^T)^-1) / 2."""
    Emgn: NDArray[np.float64]
    """(M,) Frobenius norm of ``Emat``."""
    emgn: NDArray[np.float64]
    """(M,) Frobenius norm of ``emat``."""
    Epc1: NDArray[np.float64]
    """(M,) minor in-plane principal Green-Lagrange strain."""
    Epc2: NDArray[np.float64]
    """(M,) major in-plane principal Green-Lagrange strain."""
    epc1: NDArray[np.float64]
    """(M,) minor in-plane principal Euler-Almansi strain."""
    epc2: NDArray[np.float64]
    """(M,) major in-plane principal Euler-Almansi strain."""
    EShearMax: NDArray[np.float64]
    """(M,) (Epc2 - Epc1) / 2."""
    eShearMax: NDArray[np.float64]
    """(M,) (epc2 - epc1) / 2."""
    Eeq: NDArray[np.float64]
    """(M,) equivalent strain sqrt(2/3 dev(E):dev(E))."""
    eeq: NDArray[np.float64]
    """(M,) the same for ``emat``."""
    Area: NDArray[np.float64]
    """(M,) reference area, squared input length units."""
    d3: NDArray[np.float64]
    """(M, 3) unit normal of the deformed face (right-handed in vertex order)."""
    Lambda1: NDArray[np.float64]
    """(M,) minor in-plane principal stretch."""
    Lambda2: NDArray[np.float64]
    """(M,) major in-plane principal stretch."""
    valid_strain_faces: NDArray[np.bool_]
    """(M,) the face was processed completely."""

def reconstruct_tracks(
    K: ArrayLike,
    dist: ArrayLike,
    R: ArrayLike,
    t: ArrayLike,
    point_indices: ArrayLike,
    cam_indices: ArrayLike,
    uv: ArrayLike,
    dic_u: ArrayLike,
    dic_v: ArrayLike,
    dic_corrcoef: ArrayLike,
    dic_valid: ArrayLike,
    reduced_height: _Int,
    reduced_width: _Int,
    subset_spacing: _Int,
    min_views: _Int,
    min_corrcoef: _Float,
    max_reprojection_error_px: _Float,
    scale: _Float,
    *,
    workers: _Int = 1,
) -> TracksResult:
    """Reconstruct every tracked point in the reference and the deformed state from all its views.

    Each observation's DIC displacement is sampled at its reference pixel
    (bilinear when the four surrounding nodes are valid and reach
    ``min_corrcoef``, else the nearest node); the point is triangulated (linear
    DLT on undistorted rays) in both states from the same views and checked
    by its mean reprojection error in each state.

    Args:
        K: float64 (C, 3, 3) intrinsic matrices, pixels.
        dist: float64 (C, D) radial distortion; columns 0 and 1 are k1, k2 (absent columns count as 0).
        R: float64 (C, 3, 3) world-to-camera rotations.
        t: float64 (C, 3) world-to-camera translations, pose units.
        point_indices: int64 (M,) point id of each observation; any values, unsorted. Other
            dtypes must hold whole numbers within the signed 64-bit range (no NaN).
        cam_indices: int32 (M,) camera of each observation. Other dtypes must hold whole numbers
            within the 32-bit range; entries past M are never read.
        uv: float64 (M, 2) reference pixel (x, y) of each observation.
        dic_u: float64 (C, rows, cols) DIC displacement along x, pixels.
        dic_v: float64 (C, rows, cols) DIC displacement along y, pixels.
        dic_corrcoef: float64 (C, rows, cols) DIC correlation coefficient.
        dic_valid: bool (C, rows, cols) DIC node usable; any non-zero value is true.
        reduced_height: grid rows used.
        reduced_width: grid columns used.
        subset_spacing: grid step minus one, pixels (>= 0).
        min_views: fewest usable views a track needs (at least 2 are needed in any case).
        min_corrcoef: correlation threshold of the DIC sampling.
        max_reprojection_error_px: inclusive bound on both mean reprojection errors, pixels.
        scale: world units per pose unit.
        workers: threads for this call: 1 (default) computes on the calling thread and holds
            the interpreter lock throughout; N > 1 uses at most N threads and -1 as many as the
            CPUs this process may run on, with the lock released while they compute. The
            results are the same bits for every value; 0 and values below -1 raise ValueError.

    Returns:
        A dict with one row per track; see ``TracksResult``. A rejected track
        has zero positions; its errors are +inf when it was not triangulated.
    """

def reconstruct_pair_surface_points(
    K: ArrayLike,
    dist: ArrayLike,
    R: ArrayLike,
    t: ArrayLike,
    point_indices: ArrayLike,
    cam_indices: ArrayLike,
    uv: ArrayLike,
    dic_u: ArrayLike,
    dic_v: ArrayLike,
    dic_corrcoef: ArrayLike,
    dic_valid: ArrayLike,
    reduced_height: _Int,
    reduced_width: _Int,
    subset_spacing: _Int,
    cam_a: _Int,
    cam_b: _Int,
    min_corrcoef: _Float,
    max_reprojection_error_px: _Float,
    scale: _Float,
    *,
    workers: _Int = 1,
) -> PairResult:
    """Reconstruct the points that cameras ``cam_a`` and ``cam_b`` both see, in both states.

    Only observations in the two cameras are used, the last one per camera
    and point id. Arguments as for ``reconstruct_tracks`` (without
    ``min_views``); ``min_corrcoef`` also bounds ``corr_comb`` in the
    validity flag. ``cam_a == cam_b`` gives an empty result. ``workers`` as for
    ``reconstruct_tracks``.

    Returns:
        A dict with one row per reconstructed point; see ``PairResult``.
    """

def compute_surface_deformation(
    faces: ArrayLike,
    points_ref: ArrayLike,
    points_def: ArrayLike,
    valid_faces: ArrayLike,
    *,
    workers: _Int = 1,
) -> SurfaceDeformationResult:
    """Membrane kinematics and strain measures of every triangle of a mesh known in two states.

    Args:
        faces: int32 (M, 3) vertex indices per face (rows of the point arrays). Other dtypes must
            hold whole numbers within the 32-bit range in the faces that are read; rows masked
            out by ``valid_faces`` and columns past 3 are never read, so they may hold anything
            (-1, NaN).
        points_ref: float64 (N, 3) reference vertex positions.
        points_def: float64 (N, 3) deformed vertex positions, same rows.
        valid_faces: bool (M,) faces to process; any non-zero value is true.
        workers: threads for this call, as for ``reconstruct_tracks``.

    Returns:
        A dict with one row per face; see ``SurfaceDeformationResult``. Masked
        out, non-finite and degenerate faces hold NaN and
        ``valid_strain_faces`` false.
    """
