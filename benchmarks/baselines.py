"""What a user would write instead of the module: vectorised NumPy, and OpenCV with NumPy.

Each function takes the module function's arguments and returns a dict with
the same keys, so ``agreement`` can compare the two before anything is timed.
The DIC sampling rule is the module's (bilinear when the four surrounding
nodes are valid and reach the correlation threshold, otherwise the nearest
node), so that the two agree on every point and not just on clean ones.
"""

from __future__ import annotations

import numpy as np


# --------------------------------------------------------------------------- shared pieces
def sample_dic(dic_u, dic_v, dic_corrcoef, dic_valid, cams, px, py,
               reduced_height, reduced_width, subset_spacing, min_corrcoef):
    """Vectorised DIC sampling: (u, v, corr, valid) per pixel; invalid samples are all zero."""
    step = float(subset_spacing + 1)
    gx = px / step
    gy = py / step
    finite = np.isfinite(gx) & np.isfinite(gy)
    gx = np.where(finite, gx, -10.0)
    gy = np.where(finite, gy, -10.0)
    x0 = np.floor(gx).astype(np.int64)
    y0 = np.floor(gy).astype(np.int64)
    inside = (x0 >= 0) & (y0 >= 0) & (x0 + 1 < reduced_width) & (y0 + 1 < reduced_height)
    x0c = np.clip(x0, 0, reduced_width - 2)
    y0c = np.clip(y0, 0, reduced_height - 2)
    x1c, y1c = x0c + 1, y0c + 1

    def at(a, yy, xx):
        return a[cams, yy, xx]

    valid4 = (at(dic_valid, y0c, x0c) & at(dic_valid, y0c, x1c)
              & at(dic_valid, y1c, x0c) & at(dic_valid, y1c, x1c))
    c00, c10 = at(dic_corrcoef, y0c, x0c), at(dic_corrcoef, y0c, x1c)
    c01, c11 = at(dic_corrcoef, y1c, x0c), at(dic_corrcoef, y1c, x1c)
    with np.errstate(invalid="ignore"):
        bilinear = inside & valid4 & (np.minimum(np.minimum(c00, c10), np.minimum(c01, c11)) >= min_corrcoef)
    fx = gx - x0
    fy = gy - y0
    w00, w10, w01, w11 = (1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy
    with np.errstate(invalid="ignore"):
        u_b = (at(dic_u, y0c, x0c) * w00 + at(dic_u, y0c, x1c) * w10
               + at(dic_u, y1c, x0c) * w01 + at(dic_u, y1c, x1c) * w11)
        v_b = (at(dic_v, y0c, x0c) * w00 + at(dic_v, y0c, x1c) * w10
               + at(dic_v, y1c, x0c) * w01 + at(dic_v, y1c, x1c) * w11)
        c_b = c00 * w00 + c10 * w10 + c01 * w01 + c11 * w11

    # Nearest node, rounding half-way cases away from zero.
    xn = (np.sign(gx) * np.floor(np.abs(gx) + 0.5)).astype(np.int64)
    yn = (np.sign(gy) * np.floor(np.abs(gy) + 0.5)).astype(np.int64)
    in_n = (xn >= 0) & (yn >= 0) & (xn < reduced_width) & (yn < reduced_height)
    xnc = np.clip(xn, 0, reduced_width - 1)
    ync = np.clip(yn, 0, reduced_height - 1)
    c_n = at(dic_corrcoef, ync, xnc)
    nearest = in_n & at(dic_valid, ync, xnc) & ~(c_n < min_corrcoef)

    valid = finite & (bilinear | nearest)
    u = np.where(bilinear, u_b, at(dic_u, ync, xnc))
    v = np.where(bilinear, v_b, at(dic_v, ync, xnc))
    corr = np.where(bilinear, c_b, c_n)
    zero = np.zeros_like(u)
    return np.where(valid, u, zero), np.where(valid, v, zero), np.where(valid, corr, zero), valid


def normalize_pixels(K, dist, cams, px, py):
    """Undistorted normalized coordinates by eight fixed-point steps, the module's camera model."""
    fx, fy, cx, cy = K[cams, 0, 0], K[cams, 1, 1], K[cams, 0, 2], K[cams, 1, 2]
    xd = (px - cx) / fx
    yd = (py - cy) / fy
    k1 = dist[cams, 0] if dist.shape[1] > 0 else np.zeros_like(xd)
    k2 = dist[cams, 1] if dist.shape[1] > 1 else np.zeros_like(xd)
    x, y = xd.copy(), yd.copy()
    for _ in range(8):
        r2 = x * x + y * y
        s = 1.0 + k1 * r2 + k2 * r2 * r2
        x = xd / s
        y = yd / s
    return x, y


def project_points(X, K, dist, R, t, cams):
    """Distorted pixels of points X (N, 3) in cameras cams (N,)."""
    Xc = np.einsum("nij,nj->ni", R[cams], X) + t[cams]
    x = Xc[:, 0] / Xc[:, 2]
    y = Xc[:, 1] / Xc[:, 2]
    r2 = x * x + y * y
    k1 = dist[cams, 0] if dist.shape[1] > 0 else 0.0
    k2 = dist[cams, 1] if dist.shape[1] > 1 else 0.0
    s = 1.0 + k1 * r2 + k2 * r2 * r2
    return K[cams, 0, 0] * x * s + K[cams, 0, 2], K[cams, 1, 1] * y * s + K[cams, 1, 2]


# --------------------------------------------------------------------------- tracks
def tracks_numpy(K, dist, R, t, point_indices, cam_indices, uv, dic_u, dic_v, dic_corrcoef, dic_valid,
                 reduced_height, reduced_width, subset_spacing, min_views, min_corrcoef,
                 max_reprojection_error_px, scale):
    """Multi-view DLT: group by id, per-track 4 x 4 normal matrices, batched eigh."""
    order = np.argsort(point_indices, kind="stable")
    ids, track_of_obs = np.unique(point_indices[order], return_inverse=True)
    T = ids.size
    cam_indices = cam_indices[order]
    px, py = uv[order, 0], uv[order, 1]
    u, v, corr, ok = sample_dic(dic_u, dic_v, dic_corrcoef, dic_valid, cam_indices, px, py,
                                reduced_height, reduced_width, subset_spacing, min_corrcoef)
    views = np.flatnonzero(ok)
    trk = track_of_obs[views]
    present, starts = np.unique(trk, return_index=True)
    cams = cam_indices[views]
    n = np.bincount(trk, minlength=T)
    corr_sum = np.bincount(trk, weights=corr[views], minlength=T)

    P = np.concatenate((R, t[:, :, None]), axis=2)[cams]          # (V, 3, 4)
    ref = (px[views], py[views])
    dfm = (px[views] + u[views], py[views] + v[views])

    def solve(pixels):
        x, y = normalize_pixels(K, dist, cams, *pixels)
        r1 = x[:, None] * P[:, 2] - P[:, 0]
        r2 = y[:, None] * P[:, 2] - P[:, 1]
        per_view = (np.einsum("ni,nj->nij", r1, r1) + np.einsum("ni,nj->nij", r2, r2)).reshape(-1, 16)
        # Views are grouped by track already, so one reduceat sums each track's rows.
        AtA = np.zeros((T, 16))
        if views.size:
            AtA[present] = np.add.reduceat(per_view, starts, axis=0)
        AtA = AtA.reshape(T, 4, 4)
        _, vecs = np.linalg.eigh(AtA)
        h = vecs[:, :, 0]
        with np.errstate(divide="ignore", invalid="ignore"):
            X = h[:, :3] / h[:, 3:4]
        good = (np.abs(h[:, 3]) > 1e-12) & np.all(np.isfinite(X), axis=1)
        return X, good

    first_gate = n >= max(min_views, 2)
    Xr, good_r = solve(ref)
    Xd, good_d = solve(dfm)
    first_gate &= good_r & good_d

    def mean_error(X, pixels):
        qx, qy = project_points(X[trk], K, dist, R, t, cams)
        err = np.hypot(qx - pixels[0], qy - pixels[1])
        with np.errstate(divide="ignore", invalid="ignore"):
            return np.bincount(trk, weights=err, minlength=T) / n

    with np.errstate(invalid="ignore"):
        err_ref = np.where(first_gate, mean_error(Xr, ref), np.inf)
        err_def = np.where(first_gate, mean_error(Xd, dfm), np.inf)
        valid = first_gate & (err_ref <= max_reprojection_error_px) & (err_def <= max_reprojection_error_px)
    Xr = np.where(valid[:, None], Xr, 0.0)
    Xd = np.where(valid[:, None], Xd, 0.0)
    disp = np.where(valid[:, None], Xd - Xr, 0.0)
    with np.errstate(divide="ignore", invalid="ignore"):
        mean_corr = np.where(n > 0, corr_sum / np.maximum(n, 1), 0.0)
    return {
        "point_indices": ids,
        "points_ref_sfm": Xr, "points_def_sfm": Xd, "displacement_sfm": disp,
        "points_ref_world": Xr * scale, "points_def_world": Xd * scale, "displacement_world": disp * scale,
        "num_views": n.astype(np.int32), "mean_corrcoef": mean_corr,
        "reprojection_error_ref": err_ref, "reprojection_error_def": err_def, "valid": valid,
    }


# --------------------------------------------------------------------------- camera pair
def _last_row_per_id(point_indices, cam_indices, cam):
    rows = np.flatnonzero(cam_indices == cam)[::-1]
    ids, first = np.unique(point_indices[rows], return_index=True)
    return ids, rows[first]


def pair_opencv(K, dist, R, t, point_indices, cam_indices, uv, dic_u, dic_v, dic_corrcoef, dic_valid,
                reduced_height, reduced_width, subset_spacing, cam_a, cam_b, min_corrcoef,
                max_reprojection_error_px, scale):
    """cv2.undistortPoints, cv2.triangulatePoints and cv2.projectPoints with NumPy DIC sampling."""
    import cv2

    ids_a, rows_a = _last_row_per_id(point_indices, cam_indices, cam_a)
    ids_b, rows_b = _last_row_per_id(point_indices, cam_indices, cam_b)
    if cam_a == cam_b:
        ids_a = ids_a[:0]
    ids, ia, ib = np.intersect1d(ids_a, ids_b, assume_unique=True, return_indices=True)
    uv_ref_a, uv_ref_b = uv[rows_a[ia]], uv[rows_b[ib]]
    n_all = ids.size
    ua, va, ca, oka = sample_dic(dic_u, dic_v, dic_corrcoef, dic_valid, np.full(n_all, cam_a), uv_ref_a[:, 0],
                                 uv_ref_a[:, 1], reduced_height, reduced_width, subset_spacing, min_corrcoef)
    ub, vb, cb, okb = sample_dic(dic_u, dic_v, dic_corrcoef, dic_valid, np.full(n_all, cam_b), uv_ref_b[:, 0],
                                 uv_ref_b[:, 1], reduced_height, reduced_width, subset_spacing, min_corrcoef)
    keep = oka & okb
    ids, uv_ref_a, uv_ref_b = ids[keep], uv_ref_a[keep], uv_ref_b[keep]
    uv_def_a = uv_ref_a + np.column_stack((ua[keep], va[keep]))
    uv_def_b = uv_ref_b + np.column_stack((ub[keep], vb[keep]))
    corr_a, corr_b = ca[keep], cb[keep]

    criteria = (cv2.TERM_CRITERIA_COUNT, 8, 0.0)

    def dist_cv(c):
        coeffs = np.zeros(4)
        m = min(2, dist.shape[1])
        coeffs[:m] = dist[c, :m]
        return coeffs

    def normalized(pixels, c):
        if len(pixels) == 0:
            return np.zeros((2, 0))
        out = cv2.undistortPoints(pixels.reshape(-1, 1, 2), K[c], dist_cv(c), criteria=criteria)
        return out.reshape(-1, 2).T

    P_a = np.hstack((R[cam_a], t[cam_a][:, None]))
    P_b = np.hstack((R[cam_b], t[cam_b][:, None]))

    def triangulate(pa, pb):
        if pa.shape[1] == 0:
            return np.zeros((0, 3)), np.zeros(0, dtype=bool)
        h = cv2.triangulatePoints(P_a, P_b, pa, pb)
        with np.errstate(divide="ignore", invalid="ignore"):
            X = (h[:3] / h[3]).T
        norm = np.linalg.norm(h, axis=0)
        return X, (np.abs(h[3]) > 1e-12 * norm) & np.all(np.isfinite(X), axis=1)

    Xr, ok_r = triangulate(normalized(uv_ref_a, cam_a), normalized(uv_ref_b, cam_b))
    Xd, ok_d = triangulate(normalized(uv_def_a, cam_a), normalized(uv_def_b, cam_b))
    keep = ok_r & ok_d
    ids, Xr, Xd = ids[keep], Xr[keep], Xd[keep]
    uv_ref_a, uv_ref_b, uv_def_a, uv_def_b = uv_ref_a[keep], uv_ref_b[keep], uv_def_a[keep], uv_def_b[keep]
    corr_a, corr_b = corr_a[keep], corr_b[keep]

    def project(X, c):
        if len(X) == 0:
            return np.zeros((0, 2))
        rvec, _ = cv2.Rodrigues(R[c])
        q, _ = cv2.projectPoints(X, rvec, t[c].astype(np.float64), K[c], dist_cv(c))
        return q.reshape(-1, 2)

    reproj_ref = 0.5 * (np.linalg.norm(project(Xr, cam_a) - uv_ref_a, axis=1)
                        + np.linalg.norm(project(Xr, cam_b) - uv_ref_b, axis=1))
    reproj_def = 0.5 * (np.linalg.norm(project(Xd, cam_a) - uv_def_a, axis=1)
                        + np.linalg.norm(project(Xd, cam_b) - uv_def_b, axis=1))
    corr_comb = np.where(corr_a > corr_b, corr_b, corr_a)
    with np.errstate(invalid="ignore"):
        valid = ((corr_comb >= min_corrcoef) & (reproj_ref <= max_reprojection_error_px)
                 & (reproj_def <= max_reprojection_error_px))
    disp = Xd - Xr
    return {
        "point_indices": ids, "uv_ref_a": uv_ref_a, "uv_ref_b": uv_ref_b, "uv_def_a": uv_def_a,
        "uv_def_b": uv_def_b, "points_ref_sfm": Xr, "points_def_sfm": Xd,
        "points_ref_world": Xr * scale, "points_def_world": Xd * scale,
        "displacement_sfm": disp, "displacement_world": disp * scale,
        "displacement_norm_world": np.linalg.norm(disp * scale, axis=1),
        "corr_a": corr_a, "corr_b": corr_b, "corr_comb": corr_comb,
        "reprojection_error_ref": reproj_ref, "reprojection_error_def": reproj_def, "valid_points": valid,
    }


# --------------------------------------------------------------------------- surface deformation
def _planar(values, vectors, normal):
    """Drop the principal value whose direction is most aligned with the normal; ascending pair."""
    align = np.abs(np.einsum("fik,fi->fk", vectors, normal))
    drop = np.argmax(align, axis=1)
    keep = np.sort(values[np.arange(len(values))[:, None], np.array([[1, 2], [0, 2], [0, 1]])[drop]], axis=1)
    return keep[:, 0], keep[:, 1]


def deformation_numpy(faces, points_ref, points_def, valid_faces):
    """Membrane kinematics and strain measures of every face with batched numpy.linalg.eigh."""
    faces = np.asarray(faces)
    M = faces.shape[0]
    idx = np.where(np.asarray(valid_faces, dtype=bool)[:M, None], faces[:, :3], 0)
    X = points_ref[idx][:, :, :3]
    x = points_def[idx][:, :, :3]
    D1, D2 = X[:, 1] - X[:, 0], X[:, 2] - X[:, 0]
    d1, d2 = x[:, 1] - x[:, 0], x[:, 2] - x[:, 0]
    crossD, crossd = np.cross(D1, D2), np.cross(d1, d2)
    nD, nd = np.linalg.norm(crossD, axis=1), np.linalg.norm(crossd, axis=1)
    ok = np.asarray(valid_faces, dtype=bool)[:M] & np.all(np.isfinite(X), axis=(1, 2)) \
        & np.all(np.isfinite(x), axis=(1, 2)) & (nD > 1e-18) & (nd > 1e-18)
    with np.errstate(divide="ignore", invalid="ignore"):
        D3 = crossD / nD[:, None]
        d3 = crossd / nd[:, None]
        twice_area = np.einsum("fi,fi->f", crossD, D3)
        ok &= np.abs(twice_area) > 1e-18
        Drec1 = np.cross(D2, D3) / twice_area[:, None]
        Drec2 = np.cross(D3, D1) / twice_area[:, None]
        F = (np.einsum("fi,fj->fij", d1, Drec1) + np.einsum("fi,fj->fij", d2, Drec2)
             + np.einsum("fi,fj->fij", d3, D3))
        C = np.einsum("fki,fkj->fij", F, F)
        B = np.einsum("fik,fjk->fij", F, F)
        detB = np.linalg.det(B)
    ok &= np.isfinite(detB) & (np.abs(detB) > 1e-18)
    # Rows that are not usable get the identity so the batched solvers see no NaN or singular matrix.
    eye = np.eye(3)
    F = np.where(ok[:, None, None], F, eye)
    C = np.where(ok[:, None, None], C, eye)
    B = np.where(ok[:, None, None], B, eye)
    D3 = np.where(ok[:, None], D3, [0.0, 0.0, 1.0])
    d3 = np.where(ok[:, None], d3, [0.0, 0.0, 1.0])
    B_inv = np.linalg.inv(B)
    E = 0.5 * (C - eye)
    e = 0.5 * (eye - B_inv)

    c_vals = np.linalg.eigvalsh(C)
    lambdas = np.sqrt(np.maximum(c_vals, 0.0))
    out_of_plane = np.argmin(np.abs(lambdas - 1.0), axis=1)
    keep = np.array([[1, 2], [0, 2], [0, 1]])[out_of_plane]
    planar_lambda = np.sort(lambdas[np.arange(M)[:, None], keep], axis=1)
    E_vals, E_vecs = np.linalg.eigh(E)
    e_vals, e_vecs = np.linalg.eigh(e)
    Epc1, Epc2 = _planar(E_vals, E_vecs, D3)
    epc1, epc2 = _planar(e_vals, e_vecs, d3)

    def equivalent(S):
        dev = S - (np.trace(S, axis1=1, axis2=2) / 3.0)[:, None, None] * eye
        return np.sqrt(2.0 / 3.0 * np.einsum("fij,fij->f", dev, dev))

    result = {
        "Fmat": F, "Cmat": C, "J": np.linalg.det(F), "Emat": E, "emat": e,
        "Emgn": np.linalg.norm(E, axis=(1, 2)), "emgn": np.linalg.norm(e, axis=(1, 2)),
        "Epc1": Epc1, "Epc2": Epc2, "epc1": epc1, "epc2": epc2,
        "EShearMax": 0.5 * (Epc2 - Epc1), "eShearMax": 0.5 * (epc2 - epc1),
        "Eeq": equivalent(E), "eeq": equivalent(e), "Area": 0.5 * twice_area, "d3": d3,
        "Lambda1": planar_lambda[:, 0], "Lambda2": planar_lambda[:, 1],
    }
    for key, value in result.items():
        result[key] = np.where(ok.reshape((-1,) + (1,) * (value.ndim - 1)), value, np.nan)
    result["valid_strain_faces"] = ok
    return result


# --------------------------------------------------------------------------- agreement
def agreement(module: dict, baseline: dict, atol: dict[str, float], rtol: float = 0.0) -> dict[str, float]:
    """Largest absolute difference per key; raises AssertionError when one exceeds its tolerance.

    Keys missing from ``atol`` must agree exactly (ids, counts, flags). NaN
    and infinity must sit in the same places.
    """
    worst = {}
    if list(module) != list(baseline):
        raise AssertionError(f"keys differ: {list(module)} vs {list(baseline)}")
    for key, a in module.items():
        b = np.asarray(baseline[key])
        a = np.asarray(a)
        if a.shape != b.shape or a.dtype != b.dtype:
            raise AssertionError(f"{key}: {a.dtype}{a.shape} vs {b.dtype}{b.shape}")
        if key not in atol:
            if not np.array_equal(a, b):
                bad = np.flatnonzero((a != b).reshape(len(a), -1).any(axis=1)) if a.ndim else []
                raise AssertionError(f"{key}: {len(bad)} rows differ, first {bad[:5]}")
            worst[key] = 0.0
            continue
        same_special = np.array_equal(np.isnan(a), np.isnan(b)) and np.array_equal(np.isinf(a), np.isinf(b))
        if not same_special:
            raise AssertionError(f"{key}: NaN or infinity in different places")
        fin = np.isfinite(a)
        if np.any(np.isinf(a) & (a != b)):
            raise AssertionError(f"{key}: infinities of different sign")
        diff = np.abs(a[fin] - b[fin])
        limit = atol[key] + rtol * np.abs(b[fin])
        worst[key] = float(diff.max()) if diff.size else 0.0
        if np.any(diff > limit):
            raise AssertionError(f"{key}: difference {worst[key]:.3g} exceeds tolerance {atol[key]:.3g}")
    return worst
