"""A synthetic multi-camera DIC measurement whose answer is known.

A cylindrical specimen patch is seen by an arc of calibrated cameras with
two-coefficient radial distortion. The specimen is stretched along its axis
with Poisson contraction in the other two directions and then moved rigidly.
Each camera's DIC result is what a perfect correlation would report on its
grid: the node's ray is cast onto the reference surface, that material point
is deformed and projected back into the same camera, and the displacement is
the deformed pixel minus the node pixel.

Lengths of the truth are in millimetres ("world"). The camera poses are given
in "pose units" of ``scale`` millimetres each, as a structure-from-motion
calibration would deliver them, so the module's ``_world`` results compare
directly with the truth.

Everything here is plain NumPy; the module is not used.
"""

from __future__ import annotations

import dataclasses
import math

import numpy as np

IMAGE_WIDTH = 1280
IMAGE_HEIGHT = 1024
RADIUS_MM = 40.0                 # cylinder radius; its axis is the world y axis
HALF_ANGLE = math.radians(40.0)  # the patch spans this far either side of +z
HEIGHT_MM = 60.0                 # patch extent along the axis
CAMERA_DISTANCE_MM = 380.0
FOCAL_PX = 4800.0
SCALE_MM_PER_UNIT = 12.5
# Surface points keep this distance from the patch edge so that their DIC
# neighbourhood lies on the specimen in every camera.
POINT_MARGIN_MM = 2.0
# A node or point seen more obliquely than this is not usable.
MAX_OBLIQUITY = math.radians(75.0)


@dataclasses.dataclass(frozen=True)
class SceneConfig:
    n_points: int = 2000
    n_cameras: int = 4
    noise_px: float = 0.0          # std. dev. of pixel noise on matches and DIC displacements
    stretch: float = 0.02          # axial engineering strain
    poisson: float = 0.3
    invalid_fraction: float = 0.005    # DIC nodes flagged invalid at random
    low_corr_fraction: float = 0.002   # DIC nodes whose correlation falls below 0.6
    subset_spacing: int = 2
    distortion: bool = True
    seed: int = 7
    # Pixel count per unit length of the images: 0.5 gives 640 x 512 pixels of
    # the same view, with focal length and principal point scaled alike.
    image_scale: float = 1.0


@dataclasses.dataclass
class Scene:
    config: SceneConfig
    # Cameras, poses in pose units.
    K: np.ndarray        # (C, 3, 3)
    dist: np.ndarray     # (C, 2) k1, k2
    R: np.ndarray        # (C, 3, 3) world to camera
    t: np.ndarray        # (C, 3)
    scale: float         # millimetres per pose unit
    image_width: int
    image_height: int
    # DIC stacks on each camera's grid.
    dic_u: np.ndarray
    dic_v: np.ndarray
    dic_corrcoef: np.ndarray
    dic_valid: np.ndarray
    reduced_height: int
    reduced_width: int
    subset_spacing: int
    # Observations: one row per sighting of a surface point in a camera.
    point_indices: np.ndarray   # int64
    cam_indices: np.ndarray     # int32
    uv: np.ndarray              # (M, 2) reference pixel x, y
    # Truth per surface point, sorted by id.
    ids: np.ndarray             # int64
    params: np.ndarray          # (P, 2) arc length and height on the cylinder, mm
    points_ref: np.ndarray      # (P, 3) mm
    points_def: np.ndarray      # (P, 3) mm
    # Rigid motion applied after the stretch: x = Q (Fs X) + c.
    Q: np.ndarray
    c: np.ndarray

    @property
    def n_cameras(self) -> int:
        return int(self.K.shape[0])

    def camera_kwargs(self) -> dict:
        return {"K": self.K, "dist": self.dist, "R": self.R, "t": self.t}

    def observation_kwargs(self) -> dict:
        return {"point_indices": self.point_indices, "cam_indices": self.cam_indices, "uv": self.uv}

    def dic_kwargs(self) -> dict:
        return {
            "dic_u": self.dic_u,
            "dic_v": self.dic_v,
            "dic_corrcoef": self.dic_corrcoef,
            "dic_valid": self.dic_valid,
            "reduced_height": self.reduced_height,
            "reduced_width": self.reduced_width,
            "subset_spacing": self.subset_spacing,
        }

    def truth(self, ids: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """Reference points, deformed points (mm) and surface parameters of the given ids."""
        rows = np.searchsorted(self.ids, ids)
        if np.any(rows >= self.ids.size) or np.any(self.ids[np.minimum(rows, self.ids.size - 1)] != ids):
            raise KeyError("unknown point id")
        return self.points_ref[rows], self.points_def[rows], self.params[rows]

    def stretch_matrix(self) -> np.ndarray:
        return stretch_matrix(self.config.stretch, self.config.poisson)

    def analytic_strains(self) -> dict[str, float]:
        """In-plane principal values of the tangent plane, which every face approximates."""
        eps, nu = self.config.stretch, self.config.poisson
        lam_axial, lam_hoop = 1.0 + eps, 1.0 - nu * eps
        lam1, lam2 = sorted((lam_axial, lam_hoop))
        return {
            "Epc1": 0.5 * (lam1 * lam1 - 1.0),
            "Epc2": 0.5 * (lam2 * lam2 - 1.0),
            "J": lam1 * lam2,
        }

    def surface_params(self, points_mm: np.ndarray) -> np.ndarray:
        """Arc length and height of points on (or near) the reference cylinder, mm."""
        return np.column_stack(
            (RADIUS_MM * np.arctan2(points_mm[:, 0], points_mm[:, 2]), points_mm[:, 1]))


def stretch_matrix(stretch: float, poisson: float) -> np.ndarray:
    """Uniaxial stretch along the cylinder axis (world y) with Poisson contraction."""
    hoop = 1.0 - poisson * stretch
    return np.diag([hoop, 1.0 + stretch, hoop])


def rotation(axis, angle: float) -> np.ndarray:
    """Rotation by ``angle`` radians about ``axis`` (Rodrigues)."""
    a = np.asarray(axis, dtype=float)
    a = a / np.linalg.norm(a)
    k = np.array([[0.0, -a[2], a[1]], [a[2], 0.0, -a[0]], [-a[1], a[0], 0.0]])
    return np.eye(3) + math.sin(angle) * k + (1.0 - math.cos(angle)) * (k @ k)


def project(X: np.ndarray, K: np.ndarray, dist: np.ndarray, R: np.ndarray, t: np.ndarray) -> np.ndarray:
    """Distorted pixels (N, 2) at which one camera sees the points X (N, 3), pose units."""
    Xc = X @ R.T + t
    x = Xc[:, 0] / Xc[:, 2]
    y = Xc[:, 1] / Xc[:, 2]
    r2 = x * x + y * y
    s = 1.0 + dist[0] * r2 + dist[1] * r2 * r2
    return np.column_stack((K[0, 0] * x * s + K[0, 2], K[1, 1] * y * s + K[1, 2]))


def undistort(px: np.ndarray, K: np.ndarray, dist: np.ndarray, iterations: int = 20) -> np.ndarray:
    """Undistorted normalized coordinates (N, 2) of pixels px (N, 2), to machine precision.

    Newton's method on the radius, so the truth does not inherit the limited
    accuracy of a fixed number of fixed-point steps. It converges
    quadratically from the distorted radius: for this scene's lenses five
    iterations already reach rounding level, and 20 leave a wide margin.
    """
    xd = (px[:, 0] - K[0, 2]) / K[0, 0]
    yd = (px[:, 1] - K[1, 2]) / K[1, 1]
    rd = np.hypot(xd, yd)
    k1, k2 = float(dist[0]), float(dist[1])
    r = rd.copy()
    for _ in range(iterations):
        r2 = r * r
        f = r * (1.0 + k1 * r2 + k2 * r2 * r2) - rd
        r = r - f / (1.0 + 3.0 * k1 * r2 + 5.0 * k2 * r2 * r2)
    ratio = np.divide(r, rd, out=np.ones_like(rd), where=rd > 0.0)
    return np.column_stack((xd * ratio, yd * ratio))


def camera_centre(R: np.ndarray, t: np.ndarray) -> np.ndarray:
    return -R.T @ t


def look_at(centre: np.ndarray, target: np.ndarray) -> np.ndarray:
    """World-to-camera rotation for a camera at ``centre`` looking at ``target``, image y down."""
    z = target - centre
    z = z / np.linalg.norm(z)
    down = np.array([0.0, -1.0, 0.0])
    x = np.cross(down, z)
    x = x / np.linalg.norm(x)
    y = np.cross(z, x)
    return np.vstack((x, y, z))


def surface_normal(X: np.ndarray) -> np.ndarray:
    """Outward unit normal of the reference cylinder at points X (N, 3)."""
    n = np.column_stack((X[:, 0], np.zeros(len(X)), X[:, 2]))
    return n / np.linalg.norm(n, axis=1, keepdims=True)


def on_patch(X: np.ndarray) -> np.ndarray:
    phi = np.arctan2(X[:, 0], X[:, 2])
    return (np.abs(phi) <= HALF_ANGLE) & (np.abs(X[:, 1]) <= 0.5 * HEIGHT_MM)


def cast_rays(centre: np.ndarray, directions: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """First intersection of rays with the reference cylinder; (points (N, 3), hit (N,))."""
    d = directions
    a = d[:, 0] ** 2 + d[:, 2] ** 2
    b = 2.0 * (centre[0] * d[:, 0] + centre[2] * d[:, 2])
    c = centre[0] ** 2 + centre[2] ** 2 - RADIUS_MM**2
    disc = b * b - 4.0 * a * c
    hit = (disc >= 0.0) & (a > 0.0)
    with np.errstate(invalid="ignore", divide="ignore"):
        tau = (-b - np.sqrt(np.where(hit, disc, 0.0))) / (2.0 * a)
    hit &= tau > 0.0
    X = centre + np.where(hit, tau, 0.0)[:, None] * d
    return X, hit & on_patch(X)


def image_size(image_scale: float) -> tuple[int, int]:
    """Width and height in pixels of the scene's images at ``image_scale``."""
    return round(IMAGE_WIDTH * image_scale), round(IMAGE_HEIGHT * image_scale)


def _cameras(n: int, distortion: bool, image_scale: float, rng: np.random.Generator):
    width, height = image_size(image_scale)
    span = math.radians(min(60.0, 20.0 * (n - 1)))
    azimuths = np.linspace(-0.5 * span, 0.5 * span, n)
    target = np.array([0.0, 0.0, 0.9 * RADIUS_MM])
    K = np.zeros((n, 3, 3))
    dist = np.zeros((n, 2))
    R = np.zeros((n, 3, 3))
    t = np.zeros((n, 3))
    for k, az in enumerate(azimuths):
        el = math.radians(6.0 if k % 2 == 0 else -6.0)
        direction = np.array([math.sin(az) * math.cos(el), math.sin(el), math.cos(az) * math.cos(el)])
        centre = target + CAMERA_DISTANCE_MM * direction
        R[k] = look_at(centre, target)
        t[k] = -R[k] @ centre
        fx = FOCAL_PX * image_scale * (1.0 + 0.02 * rng.uniform(-1.0, 1.0))
        K[k] = [[fx, 0.0, 0.5 * (width - 1) + rng.uniform(-8.0, 8.0) * image_scale],
                [0.0, fx * (1.0 + 0.001 * rng.uniform(-1.0, 1.0)),
                 0.5 * (height - 1) + rng.uniform(-8.0, 8.0) * image_scale],
                [0.0, 0.0, 1.0]]
        if distortion:
            dist[k] = [rng.uniform(-0.30, -0.15), rng.uniform(0.05, 0.20)]
    return K, dist, R, t


def _surface_points(n: int, rng: np.random.Generator) -> np.ndarray:
    """Jittered grid of about n points in (arc length, height), mm."""
    width = 2.0 * (RADIUS_MM * HALF_ANGLE - POINT_MARGIN_MM)
    height = HEIGHT_MM - 2.0 * POINT_MARGIN_MM
    nx = max(2, round(math.sqrt(n * width / height)))
    ny = max(2, round(n / nx))
    hx, hy = width / (nx - 1), height / (ny - 1)
    s, y = np.meshgrid(np.linspace(-0.5 * width, 0.5 * width, nx),
                       np.linspace(-0.5 * height, 0.5 * height, ny))
    s = s.ravel() + rng.uniform(-0.25, 0.25, s.size) * hx
    y = y.ravel() + rng.uniform(-0.25, 0.25, y.size) * hy
    return np.column_stack((np.clip(s, -0.5 * width, 0.5 * width), np.clip(y, -0.5 * height, 0.5 * height)))


def _on_cylinder(params: np.ndarray) -> np.ndarray:
    phi = params[:, 0] / RADIUS_MM
    return np.column_stack((RADIUS_MM * np.sin(phi), params[:, 1], RADIUS_MM * np.cos(phi)))


def build_scene(config: SceneConfig = SceneConfig()) -> Scene:
    rng = np.random.default_rng(config.seed)
    n_cam = config.n_cameras
    scale = SCALE_MM_PER_UNIT
    K, dist, R, t_mm = _cameras(n_cam, config.distortion, config.image_scale, rng)
    width, height = image_size(config.image_scale)

    Fs = stretch_matrix(config.stretch, config.poisson)
    Q = rotation([0.3, 0.2, 1.0], math.radians(1.5))
    c = np.array([0.8, -0.5, 1.2])

    def deform(X):
        return (X @ Fs.T) @ Q.T + c

    # Surface points and their ids: unsorted, sparse and partly negative, as
    # a matcher would number them.
    params = _surface_points(config.n_points, rng)
    points_ref = _on_cylinder(params)
    points_def = deform(points_ref)
    ids = rng.choice(20 * len(params), size=len(params), replace=False).astype(np.int64) - 5 * len(params)

    step = config.subset_spacing + 1
    rw = (width - 1) // step + 1
    rh = (height - 1) // step + 1
    dic_u = np.zeros((n_cam, rh, rw))
    dic_v = np.zeros((n_cam, rh, rw))
    dic_corr = np.zeros((n_cam, rh, rw))
    dic_valid = np.zeros((n_cam, rh, rw), dtype=bool)
    gi, gj = np.meshgrid(np.arange(rw), np.arange(rh))
    nodes = np.column_stack((gi.ravel() * step, gj.ravel() * step)).astype(float)

    obs_ids, obs_cams, obs_uv = [], [], []
    margin = 2.0 * step
    for k in range(n_cam):
        centre = camera_centre(R[k], t_mm[k])
        # DIC on the grid.
        rays = undistort(nodes, K[k], dist[k])
        directions = np.column_stack((rays, np.ones(len(rays)))) @ R[k]
        X, hit = cast_rays(centre, directions)
        to_cam = centre - X
        dist_to_cam = np.linalg.norm(to_cam, axis=1)
        cos_view = np.zeros(len(X))
        cos_view[hit] = np.einsum("ij,ij->i", surface_normal(X[hit]), to_cam[hit]) / dist_to_cam[hit]
        usable = hit & (cos_view > math.cos(MAX_OBLIQUITY))
        uv_def = project(deform(X[usable]), K[k], dist[k], R[k], t_mm[k])
        disp = np.full((len(nodes), 2), np.nan)
        disp[usable] = uv_def - nodes[usable] + rng.normal(0.0, config.noise_px, (int(usable.sum()), 2))
        corr = np.where(usable, 0.99 - 0.3 * (1.0 - cos_view) - 0.02 * rng.random(len(nodes)), 0.0)
        low = usable & (rng.random(len(nodes)) < config.low_corr_fraction)
        corr[low] = 0.3 + 0.2 * rng.random(int(low.sum()))
        usable &= rng.random(len(nodes)) >= config.invalid_fraction
        # A node that is not usable carries NaN displacements, so reading one
        # by mistake cannot go unnoticed.
        disp[~usable] = np.nan
        dic_u[k] = disp[:, 0].reshape(rh, rw)
        dic_v[k] = disp[:, 1].reshape(rh, rw)
        dic_corr[k] = corr.reshape(rh, rw)
        dic_valid[k] = usable.reshape(rh, rw)

        # Observations of the surface points.
        uv = project(points_ref, K[k], dist[k], R[k], t_mm[k])
        to_cam = centre - points_ref
        cos_pt = np.einsum("ij,ij->i", surface_normal(points_ref), to_cam) / np.linalg.norm(to_cam, axis=1)
        seen = ((cos_pt > math.cos(MAX_OBLIQUITY))
                & (uv[:, 0] >= margin) & (uv[:, 0] <= width - 1 - margin)
                & (uv[:, 1] >= margin) & (uv[:, 1] <= height - 1 - margin))
        obs_ids.append(ids[seen])
        obs_cams.append(np.full(int(seen.sum()), k, dtype=np.int32))
        obs_uv.append(uv[seen] + rng.normal(0.0, config.noise_px, (int(seen.sum()), 2)))

    order = rng.permutation(sum(len(a) for a in obs_ids))
    point_indices = np.concatenate(obs_ids)[order]
    cam_indices = np.concatenate(obs_cams)[order]
    uv = np.ascontiguousarray(np.concatenate(obs_uv)[order])

    by_id = np.argsort(ids)
    return Scene(
        config=config, K=K, dist=dist, R=R, t=t_mm / scale, scale=scale,
        image_width=width, image_height=height,
        dic_u=dic_u, dic_v=dic_v, dic_corrcoef=dic_corr, dic_valid=dic_valid,
        reduced_height=rh, reduced_width=rw, subset_spacing=config.subset_spacing,
        point_indices=point_indices, cam_indices=cam_indices, uv=uv,
        ids=ids[by_id], params=params[by_id], points_ref=points_ref[by_id], points_def=points_def[by_id],
        Q=Q, c=c,
    )


def exact_face_strains(scene: Scene, faces: np.ndarray, points_ref_mm: np.ndarray) -> dict[str, np.ndarray]:
    """Exact Epc1, Epc2 and J of flat faces with the given reference vertices.

    The deformation is affine, so every flat face deforms exactly by it; its
    in-plane strain is the restriction of C = Fs^T Fs (the rotation drops out)
    to the face's plane, which tilts slightly away from the tangent plane.
    """
    with np.errstate(invalid="ignore", divide="ignore"):
        return _exact_face_strains(scene.stretch_matrix(), points_ref_mm[faces])


def _exact_face_strains(Fs: np.ndarray, X: np.ndarray) -> dict[str, np.ndarray]:
    n = np.cross(X[:, 1] - X[:, 0], X[:, 2] - X[:, 0])
    n /= np.linalg.norm(n, axis=1, keepdims=True)
    e1 = X[:, 1] - X[:, 0]
    e1 -= np.einsum("ij,ij->i", e1, n)[:, None] * n
    e1 /= np.linalg.norm(e1, axis=1, keepdims=True)
    e2 = np.cross(n, e1)
    T = np.stack((e1, e2), axis=2)                               # (F, 3, 2)
    G = np.einsum("fik,ij,fjl->fkl", T, Fs.T @ Fs, T)           # in-plane C
    G = np.where(np.isfinite(G), G, np.nan)
    lam2 = np.linalg.eigvalsh(G)
    return {"Epc1": 0.5 * (lam2[:, 0] - 1.0), "Epc2": 0.5 * (lam2[:, 1] - 1.0),
            "J": np.sqrt(np.linalg.det(G))}
