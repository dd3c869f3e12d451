"""Synthetic calibrated scenes with a known answer, shared by the reconstruction tests.

A flat specimen in the plane z = 0 is seen by cameras on a circle around it. Every
DIC grid node is traced back onto the specimen, moved by a known affine deformation
and projected again, so the DIC fields are the exact image motion at the nodes.
"""

from __future__ import annotations

import dataclasses

import numpy as np
import pytest


# The result arrays of each function in the order of its returned dict:
# key -> (dtype, extents after the row count).
_POINT = (np.float64, (3,))
_PIXEL = (np.float64, (2,))
_SCALAR = (np.float64, ())
_MATRIX = (np.float64, (3, 3))
RESULTS = {
    "reconstruct_tracks": {
        "point_indices": (np.int64, ()), "points_ref_sfm": _POINT, "points_def_sfm": _POINT,
        "displacement_sfm": _POINT, "points_ref_world": _POINT, "points_def_world": _POINT,
        "displacement_world": _POINT, "num_views": (np.int32, ()), "mean_corrcoef": _SCALAR,
        "reprojection_error_ref": _SCALAR, "reprojection_error_def": _SCALAR,
        "valid": (np.bool_, ()),
    },
    "reconstruct_pair_surface_points": {
        "point_indices": (np.int64, ()), "uv_ref_a": _PIXEL, "uv_ref_b": _PIXEL,
        "uv_def_a": _PIXEL, "uv_def_b": _PIXEL, "points_ref_sfm": _POINT,
        "points_def_sfm": _POINT, "points_ref_world": _POINT, "points_def_world": _POINT,
        "displacement_sfm": _POINT, "displacement_world": _POINT,
        "displacement_norm_world": _SCALAR, "corr_a": _SCALAR, "corr_b": _SCALAR,
        "corr_comb": _SCALAR, "reprojection_error_ref": _SCALAR,
        "reprojection_error_def": _SCALAR, "valid_points": (np.bool_, ()),
    },
    "compute_surface_deformation": {
        "Fmat": _MATRIX, "Cmat": _MATRIX, "J": _SCALAR, "Emat": _MATRIX, "emat": _MATRIX,
        **{key: _SCALAR for key in ("Emgn", "emgn", "Epc1", "Epc2", "epc1", "epc2", "EShearMax",
                                     "eShearMax", "Eeq", "eeq", "Area")},
        "d3": _POINT, "Lambda1": _SCALAR, "Lambda2": _SCALAR,
        "valid_strain_faces": (np.bool_, ()),
    },
}


def check_layout(result: dict, function: str, rows: int) -> None:
    """Keys in order; new, C-contiguous, writeable arrays of the right dtype and shape."""
    layout = RESULTS[function]
    assert list(result) == list(layout)
    for key, (dtype, tail) in layout.items():
        array = result[key]
        assert type(array) is np.ndarray and array.dtype == dtype, key
        assert array.shape == (rows,) + tail, (key, array.shape, rows)
        assert array.flags.c_contiguous and array.flags.owndata and array.flags.writeable, key


def rotation_looking_at(center: np.ndarray, target: np.ndarray) -> np.ndarray:
    """World-to-camera rotation whose z axis points from center to target."""
    z = target - center
    z = z / np.linalg.norm(z)
    up = np.array([0.0, 1.0, 0.0]) if abs(z[1]) < 0.9 else np.array([1.0, 0.0, 0.0])
    x = np.cross(up, z)
    x /= np.linalg.norm(x)
    y = np.cross(z, x)
    return np.stack([x, y, z])


def undistort(xd: np.ndarray, yd: np.ndarray, k1: float, k2: float, iterations: int = 60):
    x, y = xd.copy(), yd.copy()
    for _ in range(iterations):
        r2 = x * x + y * y
        s = 1.0 + k1 * r2 + k2 * r2 * r2
        x, y = xd / s, yd / s
    return x, y


def project(X: np.ndarray, K, dist, R, t) -> np.ndarray:
    Xc = X @ R.T + t
    x, y = Xc[:, 0] / Xc[:, 2], Xc[:, 1] / Xc[:, 2]
    r2 = x * x + y * y
    s = 1.0 + dist[0] * r2 + dist[1] * r2 * r2
    x, y = x * s, y * s
    return np.stack([K[0, 0] * x + K[0, 2], K[1, 1] * y + K[1, 2]], axis=1)


@dataclasses.dataclass
class Scene:
    K: np.ndarray
    dist: np.ndarray
    R: np.ndarray
    t: np.ndarray
    point_indices: np.ndarray
    cam_indices: np.ndarray
    uv: np.ndarray
    dic_u: np.ndarray
    dic_v: np.ndarray
    dic_corrcoef: np.ndarray
    dic_valid: np.ndarray
    reduced_height: int
    reduced_width: int
    subset_spacing: int
    X_ref: np.ndarray  # true reference point of each point id, row = id
    X_def: np.ndarray

    def tracks_args(self, **overrides):
        args = dict(
            K=self.K, dist=self.dist, R=self.R, t=self.t,
            point_indices=self.point_indices, cam_indices=self.cam_indices, uv=self.uv,
            dic_u=self.dic_u, dic_v=self.dic_v, dic_corrcoef=self.dic_corrcoef,
            dic_valid=self.dic_valid, reduced_height=self.reduced_height,
            reduced_width=self.reduced_width, subset_spacing=self.subset_spacing,
            min_views=2, min_corrcoef=0.5, max_reprojection_error_px=0.01, scale=1.0,
        )
        args.update(overrides)
        return args

    def pair_args(self, cam_a=0, cam_b=1, **overrides):
        args = self.tracks_args()
        del args["min_views"]
        args.update(cam_a=cam_a, cam_b=cam_b)
        args.update(overrides)
        return args


def deform(X: np.ndarray) -> np.ndarray:
    """A 1 % stretch along x with contraction along y, a small shear and a translation."""
    A = np.array([[1.01, 0.002, 0.0], [0.001, 0.997, 0.0], [0.0, 0.0, 1.0]])
    return X @ A.T + np.array([0.03, -0.02, 0.01])


def make_scene(n_cams: int = 4, distortion: bool = True, n_points: int = 40, seed: int = 3,
               subset_spacing: int = 1, width: int = 640, height: int = 480) -> Scene:
    rng = np.random.default_rng(seed)
    K = np.zeros((n_cams, 3, 3))
    dist = np.zeros((n_cams, 2))
    R = np.zeros((n_cams, 3, 3))
    t = np.zeros((n_cams, 3))
    for c in range(n_cams):
        angle = 2 * np.pi * c / n_cams + 0.3
        center = np.array([1.2 * np.cos(angle), 1.2 * np.sin(angle), 4.0])
        R[c] = rotation_looking_at(center, np.zeros(3))
        t[c] = -R[c] @ center
        K[c] = [[900.0 + 10 * c, 0.0, width / 2 + 3], [0.0, 905.0 - 5 * c, height / 2 - 2], [0, 0, 1]]
        if distortion:
            dist[c] = [-0.06 + 0.01 * c, 0.02]
    step = subset_spacing + 1
    rh, rw = height // step, width // step
    gy, gx = np.mgrid[0:rh, 0:rw].astype(float) * step
    dic_u = np.zeros((n_cams, rh, rw))
    dic_v = np.zeros((n_cams, rh, rw))
    for c in range(n_cams):
        xd = (gx.ravel() - K[c, 0, 2]) / K[c, 0, 0]
        yd = (gy.ravel() - K[c, 1, 2]) / K[c, 1, 1]
        xn, yn = undistort(xd, yd, *dist[c])
        rays = np.stack([xn, yn, np.ones_like(xn)], axis=1) @ R[c]  # world directions
        origin = -R[c].T @ t[c]
        lam = -origin[2] / rays[:, 2]
        X = origin + lam[:, None] * rays
        moved = project(deform(X), K[c], dist[c], R[c], t[c])
        dic_u[c] = (moved[:, 0] - gx.ravel()).reshape(rh, rw)
        dic_v[c] = (moved[:, 1] - gy.ravel()).reshape(rh, rw)
    dic_corrcoef = 0.95 + 0.04 * rng.random((n_cams, rh, rw))
    dic_valid = np.ones((n_cams, rh, rw), dtype=bool)

    X_ref = np.column_stack([rng.uniform(-0.4, 0.4, n_points), rng.uniform(-0.3, 0.3, n_points),
                             np.zeros(n_points)])
    ids, cams, uvs = [], [], []
    for c in range(n_cams):
        ids.append(np.arange(n_points))
        cams.append(np.full(n_points, c))
        uvs.append(project(X_ref, K[c], dist[c], R[c], t[c]))
    order = rng.permutation(n_points * n_cams)
    return Scene(
        K=K, dist=dist, R=R, t=t,
        point_indices=np.concatenate(ids).astype(np.int64)[order],
        cam_indices=np.concatenate(cams).astype(np.int32)[order],
        uv=np.concatenate(uvs)[order],
        dic_u=dic_u, dic_v=dic_v, dic_corrcoef=dic_corrcoef, dic_valid=dic_valid,
        reduced_height=rh, reduced_width=rw, subset_spacing=subset_spacing,
        X_ref=X_ref, X_def=deform(X_ref),
    )


@pytest.fixture(scope="session")
def scene() -> Scene:
    return make_scene()


def snapshot(args: dict) -> dict:
    """Copies of every array argument, to prove a call left them untouched."""
    return {k: np.array(v, copy=True) for k, v in args.items() if isinstance(v, np.ndarray)}


def assert_unchanged(args: dict, before: dict) -> None:
    for key, saved in before.items():
        assert args[key].tobytes() == saved.tobytes(), f"{key} was modified"
