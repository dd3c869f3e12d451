"""compute_surface_deformation: result layout, fill rows, input handling and agreement
with an independent NumPy computation of the membrane kinematics."""

from __future__ import annotations

import numpy as np
import pytest

import native_kestrine as nk
from conftest import RESULTS, check_layout

KEYS = list(RESULTS["compute_surface_deformation"])
FILL_BITS = np.uint64(0x7FF8000000000000)


def random_mesh(M: int, seed: int, mirror: bool = False):
    """Random faces over random points, moved by a rotation times a random near-identity
    map plus per-vertex noise: small and large strains, no degenerate face. With mirror,
    the deformed mesh is also reflected, so every deformed face is mirrored."""
    rng = np.random.default_rng(seed)
    N = M // 2 + 3
    points_ref = rng.uniform(-1.0, 1.0, (N, 3))
    A = np.eye(3) + 0.15 * rng.standard_normal((3, 3))
    Q, _ = np.linalg.qr(rng.standard_normal((3, 3)))
    points_def = points_ref @ (Q @ A).T + 0.05 * rng.standard_normal((N, 3)) + [0.3, -0.2, 0.1]
    if mirror:
        points_def[:, 0] *= -1.0
    faces = np.stack([rng.choice(N, 3, replace=False) for _ in range(M)]).astype(np.int32)
    return faces, points_ref, points_def


def reference(faces, points_ref, points_def) -> dict:
    """The same quantities, built the textbook way: reciprocal basis, numpy.linalg.inv
    and numpy.linalg.eigh, in-plane values by dropping the direction of the normal."""
    X = points_ref[faces[:, :3]]
    x = points_def[faces[:, :3]]
    D1, D2 = X[:, 1] - X[:, 0], X[:, 2] - X[:, 0]
    d1, d2 = x[:, 1] - x[:, 0], x[:, 2] - x[:, 0]
    crossD, crossd = np.cross(D1, D2), np.cross(d1, d2)
    twice_area = np.linalg.norm(crossD, axis=1)
    D3 = crossD / twice_area[:, None]
    d3 = crossd / np.linalg.norm(crossd, axis=1)[:, None]
    Drec1 = np.cross(D2, D3) / twice_area[:, None]
    Drec2 = np.cross(D3, D1) / twice_area[:, None]
    outer = lambda a, b: a[:, :, None] * b[:, None, :]  # noqa: E731
    F = outer(d1, Drec1) + outer(d2, Drec2) + outer(d3, D3)
    Ft = np.swapaxes(F, 1, 2)
    C = Ft @ F
    I = np.eye(3)
    E = 0.5 * (C - I)
    e = 0.5 * (I - np.linalg.inv(F @ Ft))

    def in_plane(T, n):
        w, V = np.linalg.eigh(T)
        normal = np.argmax(np.abs(np.einsum("mik,mi->mk", V, n)), axis=1)
        keep = np.ones_like(w, dtype=bool)
        keep[np.arange(len(w)), normal] = False
        return np.sort(w[keep].reshape(-1, 2), axis=1)

    def equivalent(T):
        dev = T - np.trace(T, axis1=1, axis2=2)[:, None, None] / 3.0 * I
        return np.sqrt(2.0 / 3.0 * np.sum(dev * dev, axis=(1, 2)))

    Ep, ep, Cp = in_plane(E, D3), in_plane(e, d3), in_plane(C, D3)
    return {
        "Fmat": F, "Cmat": C, "J": np.linalg.det(F), "Emat": E, "emat": e,
        "Emgn": np.linalg.norm(E, axis=(1, 2)), "emgn": np.linalg.norm(e, axis=(1, 2)),
        "Epc1": Ep[:, 0], "Epc2": Ep[:, 1], "epc1": ep[:, 0], "epc2": ep[:, 1],
        "EShearMax": 0.5 * (Ep[:, 1] - Ep[:, 0]), "eShearMax": 0.5 * (ep[:, 1] - ep[:, 0]),
        "Eeq": equivalent(E), "eeq": equivalent(e), "Area": 0.5 * twice_area, "d3": d3,
        "Lambda1": np.sqrt(Cp[:, 0]), "Lambda2": np.sqrt(Cp[:, 1]),
    }


def call(faces, points_ref, points_def, valid_faces=None):
    if valid_faces is None:
        valid_faces = np.ones(len(faces), dtype=bool)
    return nk.compute_surface_deformation(faces, points_ref, points_def, valid_faces)


def assert_fill_row(result: dict, i: int) -> None:
    assert not result["valid_strain_faces"][i]
    for key in KEYS[:-1]:
        bits = np.ascontiguousarray(result[key][i]).view(np.uint64)
        assert np.all(bits == FILL_BITS), key


def assert_same_results(a: dict, b: dict) -> None:
    assert list(a) == list(b)
    for key in KEYS:
        assert a[key].tobytes() == b[key].tobytes(), key


@pytest.mark.parametrize("M", [0, 1, 7])
def test_keys_dtypes_and_shapes(M):
    faces, pr, pd = random_mesh(max(M, 1), seed=1)
    result = call(faces[:M], pr, pd)
    check_layout(result, "compute_surface_deformation", M)


@pytest.mark.parametrize("mirror", [False, True])
def test_agrees_with_numpy_on_random_faces(mirror):
    faces, pr, pd = random_mesh(2000, seed=2, mirror=mirror)
    result = call(faces, pr, pd)
    assert result["valid_strain_faces"].all()
    expected = reference(faces, pr, pd)
    for key, value in expected.items():
        np.testing.assert_allclose(result[key], value, rtol=1e-12, atol=1e-12, err_msg=key)
    # The normal term keeps det F positive even for mirrored faces.
    assert (result["J"] > 0).all()
    np.testing.assert_allclose(result["J"], result["Lambda1"] * result["Lambda2"], rtol=1e-12)


def test_stretch_by_two():
    faces = np.array([[0, 1, 2]], np.int32)
    pr = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0]])
    pd = np.array([[0.0, 0, 0], [2, 0, 0], [0, 1, 0]])
    r = call(faces, pr, pd)
    assert r["valid_strain_faces"][0]
    np.testing.assert_array_equal(r["Fmat"][0], np.diag([2.0, 1, 1]))
    np.testing.assert_array_equal(r["Cmat"][0], np.diag([4.0, 1, 1]))
    np.testing.assert_array_equal(r["Emat"][0], np.diag([1.5, 0, 0]))
    np.testing.assert_array_equal(r["emat"][0], np.diag([0.375, 0, 0]))
    np.testing.assert_array_equal(r["d3"][0], [0.0, 0, 1])
    exact = dict(J=2.0, Area=0.5, Lambda1=1.0, Lambda2=2.0, Epc1=0.0, Epc2=1.5, epc1=0.0,
                 epc2=0.375, EShearMax=0.75, eShearMax=0.1875, Emgn=1.5, emgn=0.375)
    for key, value in exact.items():
        assert r[key][0] == value, key
    assert r["Eeq"][0] == pytest.approx(1.0, abs=1e-15)
    assert r["eeq"][0] == pytest.approx(0.25, abs=1e-15)


def test_masked_and_rejected_faces_are_fill_rows():
    faces, pr, pd = random_mesh(6, seed=3)
    faces[1] = [-1, -1, -1]          # masked: never read
    faces[2] = [2**31 - 1, -5, 0]    # masked
    faces[3] = [0, 1, 1]             # repeated vertex: degenerate
    pd = np.vstack([pd, pd[0], pd[0] + [1.0, 1.0, 1.0]])
    n = len(pd)
    faces[4] = [0, n - 2, n - 1]     # collinear in the deformed state only
    pr = np.vstack([pr, pr[1], pr[2]])
    valid = np.array([True, False, False, True, True, True])
    r = call(faces, pr, pd, valid)
    assert r["valid_strain_faces"].tolist() == [True, False, False, False, False, True]
    for i in (1, 2, 3, 4):
        assert_fill_row(r, i)
    assert np.isfinite(r["Fmat"][[0, 5]]).all()


def test_all_masked_returns_only_fill():
    faces = np.full((5, 3), -1, np.int32)
    r = call(faces, np.zeros((0, 3)), np.zeros((0, 3)), np.zeros(5, bool))
    for i in range(5):
        assert_fill_row(r, i)


@pytest.mark.parametrize("state", ["points_ref", "points_def"])
def test_nan_vertex_affects_exactly_the_faces_that_use_it(state):
    faces, pr, pd = random_mesh(200, seed=4)
    valid = np.ones(len(faces), bool)
    valid[::7] = False
    baseline = call(faces, pr, pd, valid)
    vertex = int(faces[3, 1])
    pr, pd = pr.copy(), pd.copy()
    (pr if state == "points_ref" else pd)[vertex, 2] = np.nan
    r = call(faces, pr, pd, valid)
    uses = (faces == vertex).any(axis=1)
    assert uses.sum() >= 2
    assert r["valid_strain_faces"].tolist() == (baseline["valid_strain_faces"] & ~uses).tolist()
    for i in np.flatnonzero(uses & valid):
        assert_fill_row(r, i)
    for key in KEYS:
        assert r[key][~uses].tobytes() == baseline[key][~uses].tobytes(), key


def test_extra_columns_and_rows_are_ignored():
    faces, pr, pd = random_mesh(50, seed=5)
    expected = call(faces, pr, pd)
    faces4 = np.column_stack([faces, np.full(len(faces), -7, np.int32)])
    pr4 = np.column_stack([pr, np.full(len(pr), np.nan)])
    pd_longer = np.vstack([pd, np.full((10, 3), np.inf)])
    assert_same_results(call(faces4, pr4, pd_longer), expected)


def strided_variants(faces, pr, pd, valid):
    """Equal arrays laid out as transposes, reversed or stepped slices."""
    def transposed(a):
        return np.ascontiguousarray(a.T).T

    def stepped(a):
        big = np.zeros((2 * a.shape[0],) + a.shape[1:], a.dtype)
        big[::2] = a
        return big[::2]

    def reversed_rows(a):
        return np.ascontiguousarray(a[::-1])[::-1]

    return {
        "transposed": (transposed(faces), transposed(pr), transposed(pd), valid),
        "stepped": (stepped(faces), stepped(pr), stepped(pd), stepped(valid)),
        "reversed": (reversed_rows(faces), reversed_rows(pr), reversed_rows(pd),
                     reversed_rows(valid)),
    }


@pytest.mark.parametrize("layout", ["transposed", "stepped", "reversed"])
def test_strided_inputs_match_contiguous_copies(layout):
    faces, pr, pd = random_mesh(100, seed=6)
    valid = np.arange(len(faces)) % 5 != 0
    expected = call(faces, pr, pd, valid)
    args = strided_variants(faces, pr, pd, valid)[layout]
    assert not all(a.flags.c_contiguous for a in args)
    before = [a.copy() for a in args]
    assert_same_results(call(*args), expected)
    for arg, saved in zip(args, before):
        assert arg.tobytes() == saved.tobytes()


def test_inputs_unchanged():
    faces, pr, pd = random_mesh(40, seed=7)
    pd[3, 0] = np.nan
    valid = np.ones(len(faces), bool)
    valid[5] = False
    saved = [a.copy() for a in (faces, pr, pd, valid)]
    result = call(faces, pr, pd, valid)
    for arg, copy in zip((faces, pr, pd, valid), saved):
        assert arg.tobytes() == copy.tobytes()
    for value in result.values():
        assert not any(np.shares_memory(value, a) for a in (faces, pr, pd, valid))


def bad_inputs():
    faces = np.array([[0, 1, 2], [1, 2, 3], [2, 3, 4]], np.int32)
    pts = np.random.default_rng(8).uniform(size=(5, 3))
    valid = np.ones(3, bool)
    yield "faces_columns", (faces[:, :2], pts, pts, valid), r"^faces has 2 columns"
    yield "valid_short", (faces, pts, pts, valid[:2]), \
        r"^valid_faces has 2 entries but faces has 3 rows$"
    yield "ref_columns", (faces, pts[:, :2], pts, valid), r"^points_ref has 2 columns"
    yield "def_columns", (faces, pts, pts[:, :2], valid), r"^points_def has 2 columns"
    negative = faces.copy()
    negative[2, 1] = -1
    yield "negative", (negative, pts, pts, valid), \
        r"^faces\[2, 1\] = -1 is outside points_ref \(5 rows\)$"
    yield "past_ref", (faces, pts[:4], pts, valid), \
        r"^faces\[2, 2\] = 4 is outside points_ref \(4 rows\)$"
    yield "past_def", (faces, pts, pts[:3], valid), \
        r"^faces\[1, 2\] = 3 is outside points_def \(3 rows\)$"


@pytest.mark.parametrize("args, pattern", [c[1:] for c in bad_inputs()],
                         ids=[c[0] for c in bad_inputs()])
def test_bad_input_raises_value_error_naming_the_argument(args, pattern):
    with pytest.raises(ValueError, match=pattern):
        nk.compute_surface_deformation(*args)


def test_limits_apply_only_to_valid_faces():
    faces = np.array([[0, 1, 2], [7, -3, 99]], np.int32)
    pts = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0]])
    r = call(faces, pts, pts, np.array([True, False]))
    assert r["valid_strain_faces"].tolist() == [True, False]
    # Two-column arrays are fine when no face is read.
    r = call(np.zeros((0, 2), np.int32), np.zeros((0, 2)), np.zeros((0, 2)), np.zeros(0, bool))
    assert r["J"].shape == (0,)
    r = call(faces, pts[:, :2], pts[:, :2], np.zeros(2, bool))
    assert not r["valid_strain_faces"].any()
