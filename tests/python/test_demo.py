"""The demos' claims on small synthetic measurements: accuracy against the truth and their command lines."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

# The demo lives in the repository, not in the installed package.
ROOT = Path(__file__).resolve().parents[2]
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))

pytest.importorskip("scipy", reason="the demo meshes with scipy.spatial.Delaunay")

from examples import demo, images, scene, sequence  # noqa: E402

# Bounds for a noiseless scene. Reference points come from exact pixels, so
# only rounding and the eigen-solver's stopping rule remain; displacements
# carry the bilinear interpolation error of the DIC field (about 0.02 px,
# 1 px being about 0.08 mm on the specimen) and the occasional nearest-node
# sample next to an invalid or poorly correlated node.
REF_RMS_MM = 1e-8
DISP_RMS_MM = 3e-3


def run_demo(**overrides) -> demo.Summary:
    config = scene.SceneConfig(**{"n_points": 400, **overrides})
    return demo.run(config, max_reprojection_error_px=1.0)


@pytest.mark.parametrize(
    "overrides",
    [
        {},
        {"n_cameras": 5, "stretch": 0.003},
        {"n_cameras": 3, "distortion": False, "poisson": 0.45},
        {"n_cameras": 2, "invalid_fraction": 0.02, "seed": 11},
    ],
    ids=["default", "five-cameras-small-strain", "no-distortion", "two-cameras-many-invalid"],
)
def test_noiseless_measurement_matches_truth(overrides):
    s = run_demo(**overrides)
    tracks = demo.tracks_errors(s)
    assert s.tracks["valid"].mean() >= 0.95
    assert tracks["rms_ref"] < REF_RMS_MM
    assert tracks["rms_disp"] < DISP_RMS_MM
    assert len(s.pairs) == s.scene.n_cameras - 1
    for pair in s.pairs:
        errors = demo.pair_errors(s, pair)
        assert pair.result["valid_points"].sum() >= 0.95 * pair.candidates
        assert errors["rms_ref"] < REF_RMS_MM
        assert errors["rms_disp"] < DISP_RMS_MM

    # Every well-shaped face of a good reconstruction yields a strain, and no other face does.
    np.testing.assert_array_equal(s.deformation["valid_strain_faces"], s.mesh_mask)
    stats = demo.strain_statistics(s)
    for key in ("Epc1", "Epc2", "J"):
        assert abs(stats[key]["deviation"]) <= demo.STRAIN_TOLERANCE, (key, stats[key])
    passed, worst = demo.noiseless_check(s)
    assert passed and worst <= demo.STRAIN_TOLERANCE


def test_noise_spreads_strain_but_keeps_its_mean():
    quiet = run_demo(seed=5)
    noisy = run_demo(seed=5, noise_px=0.05)
    assert demo.noiseless_check(noisy) is None
    assert demo.tracks_errors(noisy)["rms_disp"] > 2 * demo.tracks_errors(quiet)["rms_disp"]
    q, n = demo.strain_statistics(quiet), demo.strain_statistics(noisy)
    assert n["Epc2"]["std"] > 2 * q["Epc2"]["std"]
    # 0.05 px of noise on ~900 faces of ~2 mm: the mean stays within 10 % of the applied strain.
    assert abs(n["Epc2"]["deviation"]) < 0.1
    assert abs(n["Epc1"]["deviation"]) < 0.1


def test_dic_grid_is_the_image_motion_of_the_surface():
    """A valid node's ray meets the specimen at a point that projects back onto the node,
    and the node's displacement is where the deformed point appears."""
    sc = scene.build_scene(scene.SceneConfig(n_points=100, n_cameras=2, invalid_fraction=0.0))
    step = sc.subset_spacing + 1
    Fs = sc.stretch_matrix()
    for c in range(sc.n_cameras):
        rows, cols = np.nonzero(sc.dic_valid[c])
        pick = np.random.default_rng(c).choice(rows.size, 300, replace=False)
        nodes = np.column_stack((cols[pick] * step, rows[pick] * step)).astype(float)
        t_mm = sc.t[c] * sc.scale
        rays = scene.undistort(nodes, sc.K[c], sc.dist[c])
        X, hit = scene.cast_rays(scene.camera_centre(sc.R[c], t_mm),
                                 np.column_stack((rays, np.ones(len(rays)))) @ sc.R[c])
        assert hit.all()
        np.testing.assert_allclose(scene.project(X, sc.K[c], sc.dist[c], sc.R[c], t_mm), nodes, atol=1e-9)
        moved = scene.project((X @ Fs.T) @ sc.Q.T + sc.c, sc.K[c], sc.dist[c], sc.R[c], t_mm)
        np.testing.assert_allclose(moved - nodes, np.column_stack(
            (sc.dic_u[c, rows[pick], cols[pick]], sc.dic_v[c, rows[pick], cols[pick]])), atol=1e-9)
    # Nodes off the specimen are flagged and carry no displacement.
    assert np.all(np.isnan(sc.dic_u[~sc.dic_valid]))


@pytest.mark.parametrize(
    "program, argv, message",
    [
        (demo, ["--points", "0"], "outside [50, 200000]"),
        (demo, ["--points", "many"], "expected an integer"),
        (demo, ["--cameras", "1"], "outside [2, 12]"),
        (demo, ["--noise", "-0.1"], "outside [0.0, 2.0]"),
        (demo, ["--noise", "nan"], "outside [0.0, 2.0]"),
        (demo, ["--stretch", "0"], "outside (0.0, 0.2]"),
        (demo, ["--max-reprojection-error", "0"], "outside (0.0, 100.0]"),
        (demo, ["--bogus"], "unrecognized arguments"),
        (images, ["--subset", "30"], "is not odd"),
        (images, ["--noise", "inf"], "outside [0.0, 20.0]"),
        (images, ["--cameras", "7"], "outside [2, 6]"),
        (sequence, ["--frames", "1"], "outside [2, 10000]"),
        (sequence, ["--workers", "0"], "outside [1, 256]"),
        (sequence, ["--scheduler", "foo://host:8786", "--no-figure"], "unknown address scheme 'foo'"),
    ],
)
def test_bad_option_is_reported_without_traceback(program, argv, message, capsys):
    with pytest.raises(SystemExit) as exit_info:
        program.main(argv)
    assert exit_info.value.code == 2
    err = capsys.readouterr().err
    assert message in err
    assert "Traceback" not in err


def test_output_that_is_a_file_is_refused(tmp_path, capsys):
    target = tmp_path / "taken"
    target.write_text("")
    with pytest.raises(SystemExit) as exit_info:
        demo.main(["--output", str(target)])
    assert exit_info.value.code == 2
    assert "is not a folder" in capsys.readouterr().err


@pytest.mark.parametrize("package, argv", [("scipy", ["--no-figure"]), ("matplotlib", [])])
def test_missing_package_is_named(package, argv, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, package, None)   # makes "import package" fail
    assert demo.main(["--points", "60", *argv]) == 1
    err = capsys.readouterr().err
    assert f"'{package}'" in err
    assert "Traceback" not in err


def test_command_line_prints_table_and_writes_figure(tmp_path, capsys):
    image = pytest.importorskip("matplotlib.image")
    assert demo.main(["--points", "300", "--cameras", "4", "--output", str(tmp_path / "out")]) == 0
    out = capsys.readouterr().out
    assert "noiseless check" in out and "PASS" in out
    for label in ("tracks (all cameras)", "pair 0-1", "pair 2-3", "Epc1", "Epc2"):
        assert label in out
    path = tmp_path / "out" / demo.FIGURE_NAME
    assert f"figure written to {path}" in out
    height, width, _ = image.imread(path).shape
    assert width > height > 300


@pytest.mark.parametrize("task", ["tracks", "pair", "deformation"])
def test_benchmark_baselines_agree_with_module(task):
    """The benchmark's independent implementations reproduce every key, dtype and shape of the
    module's result on scenes with invalid and poorly correlated DIC nodes, so the speed-ups
    compare like with like."""
    if task == "pair":
        pytest.importorskip("cv2", reason="the pair baseline uses OpenCV")
    from benchmarks import baselines, run

    kwargs, _, _ = run.DATA[task](3000)
    module = getattr(demo.require_kestrine(), run.FUNCTIONS[task])(**kwargs)
    baseline = {"tracks": baselines.tracks_numpy, "pair": baselines.pair_opencv,
                "deformation": baselines.deformation_numpy}[task](**kwargs)
    baselines.agreement(module, baseline, run.TOLERANCES[task], run.RTOL[task])
    flags = module.get("valid", module.get("valid_points", module.get("valid_strain_faces")))
    assert 0.9 < flags.mean()


# Half-size images (640 x 512) keep the rendering and DIC to a few seconds; the
# subset shrinks with them so that points 2 mm from the edge keep valid nodes.
SMALL_IMAGES = dict(n_cameras=3, n_points=400, image_scale=0.5, subset=15)


@pytest.mark.parametrize("noise_grey", [0.0, 2.0])
def test_image_dic_recovers_the_strain(noise_grey):
    pytest.importorskip("cv2", reason="the image demo correlates with OpenCV")
    run = images.run(images.ImageConfig(noise_grey=noise_grey, **SMALL_IMAGES))
    for cam, field in enumerate(run.dic):
        errors = images.dic_errors(run, cam)
        assert field.valid.sum() >= 0.98 * field.usable > 0
        # Against the exact image motion: below a hundredth of a pixel, no drift. Lucas-Kanade
        # alone, or a translation-only subset, errs by several hundredths.
        assert errors["rms"] < 0.012 and abs(errors["bias_u"]) < 0.004 and abs(errors["bias_v"]) < 0.004, errors
    assert demo.tracks_errors(run.summary)["rms_disp"] < 0.005      # mm; 1 px is about 0.16 mm here
    assert run.summary.tracks["valid"].mean() > 0.97
    passed, worst = images.strain_check(run)
    assert passed and worst <= 0.25 * images.STRAIN_TOLERANCE


def test_image_command_fails_a_missed_check(tmp_path, monkeypatch, capsys):
    """The exit status is 3 when the noise-free strain misses its bound; the report and figure still come."""
    pytest.importorskip("cv2", reason="the image demo correlates with OpenCV")
    image = pytest.importorskip("matplotlib.image")
    monkeypatch.setattr(images, "STRAIN_TOLERANCE", 1e-9)
    argv = ["--cameras", "2", "--points", "200", "--image-scale", "0.5", "--subset", "15",
            "--output", str(tmp_path)]
    assert images.main(argv) == 3
    out = capsys.readouterr().out
    assert "noise-free check" in out and "FAIL" in out
    for label in ("camera 1", "pair 0-1", "Epc2"):
        assert label in out
    height, width, _ = image.imread(tmp_path / images.FIGURE_NAME).shape
    assert width > 2 * height


def test_sequence_on_a_local_cluster_is_bit_identical_to_a_serial_loop():
    pytest.importorskip("distributed", reason="the sequence runs on dask.distributed")
    pytest.importorskip("tqdm", reason="the sequence shows a tqdm progress bar")
    from distributed import Client

    frames = sequence.frames(4, 0.03, n_points=200, n_cameras=3)
    serial = [sequence.run_frame(f) for f in frames]
    with sequence.local_cluster(2) as cluster, Client(cluster) as client:
        distributed = sequence.run_sequence(frames, client)
    assert [r.index for r in distributed] == list(range(len(frames)))

    def arrays(r):
        yield from r.tracks.items()
        for pair in r.pairs:
            yield from pair.items()
        yield from r.deformation.items()

    for d, s in zip(distributed, serial):
        assert d.stretch == s.stretch and d.stats == s.stats and d.disp_rms_mm == s.disp_rms_mm
        got, want = list(arrays(d)), list(arrays(s))
        assert [k for k, _ in got] == [k for k, _ in want]
        for (key, a), (_, b) in zip(got, want):
            assert a.dtype == b.dtype and a.shape == b.shape and a.tobytes() == b.tobytes(), key
    assert sequence.worst_deviation(serial) < 2e-4
    assert serial[-1].stats["Epc2"]["mean"] > serial[1].stats["Epc2"]["mean"] > 0


def test_icgn_recovers_an_affine_subset_motion():
    """The refinement finds a known affine motion of a smooth texture from a first guess half a pixel
    off, and leaves a subset without texture unconverged instead of failing the whole batch."""
    ndimage = pytest.importorskip("scipy.ndimage")
    rng = np.random.default_rng(3)
    ref = ndimage.gaussian_filter(rng.uniform(0.0, 255.0, (160, 160)), 1.5)
    A = np.array([[1.02, 0.012], [-0.015, 0.995]])     # material point X appears at A X + b
    b = np.array([1.3, -0.7])
    yy, xx = np.mgrid[0:160, 0:160].astype(float)
    back = np.einsum("ij,jkl->ikl", np.linalg.inv(A), np.stack((xx - b[0], yy - b[1])))
    deformed = ndimage.map_coordinates(ref, [back[1], back[0]], order=5, mode="mirror")
    nodes = np.array([[x, y] for x in (20, 50, 80, 110) for y in (20, 50, 80, 110)])
    truth = np.einsum("ij,nj->ni", A, nodes) + b - nodes
    start = np.rint(truth) + 0.5
    got, ok = images.refine_icgn(ref, deformed, nodes, start, np.zeros((len(nodes), 2, 2)), half=10)
    assert ok.all()
    np.testing.assert_allclose(got, truth, atol=2e-3)

    ref[:40, :40] = ndimage.gaussian_filter(ref, 8.0)[:40, :40].mean()
    got, ok = images.refine_icgn(ref, deformed, nodes, start, np.zeros((len(nodes), 2, 2)), half=10)
    flat = (nodes[:, 0] == 20) & (nodes[:, 1] == 20)
    assert not ok[flat].any() and np.isnan(got[flat]).all()
    assert ok[(nodes[:, 0] >= 80) | (nodes[:, 1] >= 80)].all()


def test_sequence_command_prints_frames_in_order_and_writes_figure(tmp_path, capsys):
    pytest.importorskip("distributed", reason="the sequence runs on dask.distributed")
    image = pytest.importorskip("matplotlib.image")
    argv = ["--frames", "3", "--points", "100", "--cameras", "2", "--workers", "1", "--output", str(tmp_path)]
    assert sequence.main(argv) == 0
    captured = capsys.readouterr()
    assert "LocalCluster of 1 worker" in captured.err and "3/3" in captured.err    # the progress bar
    rows = [line.split() for line in captured.out.splitlines() if line[:5].strip().isdigit()]
    assert [int(r[0]) for r in rows] == [0, 1, 2]
    assert [float(r[1]) for r in rows] == [0.0, 0.025, 0.05]
    height, width, _ = image.imread(tmp_path / sequence.FIGURE_NAME).shape
    assert width > height > 300
