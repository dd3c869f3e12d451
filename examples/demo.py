"""A synthetic measurement, reconstructed and checked against the truth.

Builds a multi-camera scene (examples/scene.py), reconstructs the surface
points from all cameras with ``reconstruct_tracks`` and from every
neighbouring camera pair with ``reconstruct_pair_surface_points``, meshes the
points in the cylinder's parameter space, computes the surface strain with
``compute_surface_deformation``, prints a table against the known answer and
writes a figure.

    python -m examples.demo [--points N] [--cameras N] [--noise PX] [--output DIR]

Exit status: 0 on success, 1 when a package is missing or the figure cannot
be written, 2 for a bad option, 3 when a noiseless run misses the accuracy
claim (mean Epc1 and Epc2 within 1 % of the applied strain).
"""

from __future__ import annotations

import argparse
import dataclasses
import importlib
import os
import sys
import time
from pathlib import Path

import numpy as np

from examples.scene import Scene, SceneConfig, build_scene, exact_face_strains

MIN_CORRCOEF = 0.6
# The noiseless mean in-plane principal strains must match the analytic ones
# to this fraction of the applied strain.
STRAIN_TOLERANCE = 0.01
FIGURE_NAME = "kestrine_demo.png"


class MissingDependency(RuntimeError):
    pass


def require(module: str, package: str, purpose: str):
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise MissingDependency(
            f"{purpose} needs the package '{package}', which is not installed ({exc}). "
            f"Install it with 'pip install {package}' or run 'make demo'.") from None


def require_kestrine():
    nk = require("native_kestrine", "native_kestrine", "The demo")
    missing = [name for name in ("reconstruct_tracks", "reconstruct_pair_surface_points",
                                 "compute_surface_deformation") if not hasattr(nk, name)]
    if missing:
        raise MissingDependency(f"the installed native_kestrine lacks {', '.join(missing)}; "
                                "rebuild it with 'make build'.")
    return nk


# --------------------------------------------------------------------------- options
def _bounded(kind, low, high, *, low_open=False):
    def parse(text: str):
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {'an integer' if kind is int else 'a number'}, got {text!r}")
        if not np.isfinite(value) or value > high or value < low or (low_open and value == low):
            bracket = "(" if low_open else "["
            raise argparse.ArgumentTypeError(f"{text} is outside {bracket}{low}, {high}]")
        return value
    return parse


def parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="python -m examples.demo",
        description="Reconstruct a synthetic multi-camera DIC measurement with native_kestrine "
                    "and compare it with the known answer.")
    p.add_argument("--points", type=_bounded(int, 50, 200_000), default=2000,
                   help="number of surface points (default 2000)")
    p.add_argument("--cameras", type=_bounded(int, 2, 12), default=4, help="number of cameras (default 4)")
    p.add_argument("--noise", type=_bounded(float, 0.0, 2.0), default=0.0,
                   help="pixel noise (std. dev.) on matches and DIC displacements (default 0)")
    p.add_argument("--stretch", type=_bounded(float, 0.0, 0.2, low_open=True), default=0.02,
                   help="axial strain applied to the specimen (default 0.02)")
    p.add_argument("--max-reprojection-error", type=_bounded(float, 0.0, 100.0, low_open=True), default=1.0,
                   metavar="PX", help="reprojection threshold in pixels (default 1)")
    p.add_argument("--seed", type=_bounded(int, 0, 2**32 - 1), default=7, help="random seed (default 7)")
    add_figure_options(p)
    return p


# The figure options and their handling, shared by every demo command.
def add_figure_options(p: argparse.ArgumentParser) -> None:
    p.add_argument("--output", type=Path, default=Path("demo-output"),
                   help="folder for the figure (default demo-output/)")
    p.add_argument("--no-figure", action="store_true", help="skip the figure (no matplotlib needed)")


def parse_with_figure(p: argparse.ArgumentParser, argv=None) -> argparse.Namespace:
    """Parsed arguments; an --output that exists and is not a folder is an option error."""
    args = p.parse_args(argv)
    if not args.no_figure and args.output.exists() and not args.output.is_dir():
        p.error(f"--output {args.output} exists and is not a folder")
    return args


def save_figure(fig, folder: Path, name: str, dpi: int = 110) -> Path:
    import matplotlib.pyplot as plt
    folder.mkdir(parents=True, exist_ok=True)
    path = folder / name
    fig.savefig(path, dpi=dpi)
    plt.close(fig)
    return path


def report_figure(write, result, folder: Path) -> bool:
    """Writes the figure and says where; False, with the reason printed, when it cannot."""
    try:
        path = write(result, folder)
    except OSError as exc:
        print(f"error: could not write the figure to {folder}: {exc.strerror or exc}", file=sys.stderr)
        return False
    print(f"figure written to {os.path.abspath(path)}")
    return True


def parse_args(argv=None) -> argparse.Namespace:
    return parse_with_figure(parser(), argv)


# --------------------------------------------------------------------------- measurement
@dataclasses.dataclass
class PairSummary:
    cam_a: int
    cam_b: int
    seconds: float
    result: dict
    candidates: int        # points observed in both cameras


@dataclasses.dataclass
class Summary:
    scene: Scene
    tracks: dict
    tracks_seconds: float
    pairs: list[PairSummary]
    faces: np.ndarray
    mesh_mask: np.ndarray
    params: np.ndarray         # surface parameters of the meshed points, mm
    deformation: dict
    deformation_seconds: float
    exact: dict[str, np.ndarray]


def mesh_surface(params: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Delaunay faces of points in the surface's parameter space, and a mask of well-shaped ones.

    The hull of a Delaunay triangulation carries long slivers; their strain
    is noise amplified by the small height, so they are masked out.
    """
    spatial = require("scipy.spatial", "scipy", "Meshing the surface points")
    faces = spatial.Delaunay(params).simplices.astype(np.int32)
    corners = params[faces]
    edges = np.linalg.norm(corners - np.roll(corners, 1, axis=1), axis=2)
    a = corners[:, 1] - corners[:, 0]
    b = corners[:, 2] - corners[:, 0]
    area = 0.5 * np.abs(a[:, 0] * b[:, 1] - a[:, 1] * b[:, 0])
    quality = 4.0 * np.sqrt(3.0) * area / np.sum(edges * edges, axis=1)   # 1 for an equilateral face
    keep = (edges.max(axis=1) <= 2.5 * np.median(edges)) & (quality > 0.2)
    return faces, keep


def run(config: SceneConfig, max_reprojection_error_px: float = 1.0) -> Summary:
    return measure(build_scene(config), max_reprojection_error_px)


def measure(scene: Scene, max_reprojection_error_px: float = 1.0) -> Summary:
    """Reconstructs the scene's observations from its DIC stacks and meshes the result."""
    nk = require_kestrine()
    common = dict(**scene.camera_kwargs(), **scene.observation_kwargs(), **scene.dic_kwargs())

    start = time.perf_counter()
    tracks = nk.reconstruct_tracks(**common, min_views=2, min_corrcoef=MIN_CORRCOEF,
                                   max_reprojection_error_px=max_reprojection_error_px, scale=scene.scale)
    tracks_seconds = time.perf_counter() - start

    pairs = []
    for a in range(scene.n_cameras - 1):
        b = a + 1
        start = time.perf_counter()
        result = nk.reconstruct_pair_surface_points(
            **common, cam_a=a, cam_b=b, min_corrcoef=MIN_CORRCOEF,
            max_reprojection_error_px=max_reprojection_error_px, scale=scene.scale)
        seconds = time.perf_counter() - start
        both = np.intersect1d(scene.point_indices[scene.cam_indices == a],
                              scene.point_indices[scene.cam_indices == b]).size
        pairs.append(PairSummary(a, b, seconds, result, both))

    valid = tracks["valid"]
    points_ref = tracks["points_ref_world"][valid]
    points_def = tracks["points_def_world"][valid]
    params = scene.surface_params(points_ref)
    faces, keep = mesh_surface(params)

    start = time.perf_counter()
    deformation = nk.compute_surface_deformation(faces, points_ref, points_def, keep)
    deformation_seconds = time.perf_counter() - start

    true_ref, _, _ = scene.truth(tracks["point_indices"][valid])
    exact = exact_face_strains(scene, faces, true_ref)
    return Summary(scene, tracks, tracks_seconds, pairs, faces, keep, params,
                   deformation, deformation_seconds, exact)


# --------------------------------------------------------------------------- figures against the truth
def point_errors(scene: Scene, ids, points_ref_world, displacement_world) -> dict[str, float]:
    true_ref, true_def, _ = scene.truth(ids)
    e_ref = np.linalg.norm(points_ref_world - true_ref, axis=1)
    e_disp = np.linalg.norm(displacement_world - (true_def - true_ref), axis=1)
    if e_ref.size == 0:
        return {"rms_ref": np.nan, "rms_disp": np.nan, "max_disp": np.nan}
    return {"rms_ref": float(np.sqrt(np.mean(e_ref**2))), "rms_disp": float(np.sqrt(np.mean(e_disp**2))),
            "max_disp": float(e_disp.max())}


def strain_statistics(summary: Summary) -> dict[str, dict[str, float]]:
    d = summary.deformation
    ok = d["valid_strain_faces"]
    analytic = summary.scene.analytic_strains()
    applied = summary.scene.config.stretch
    stats = {}
    for key in ("Epc1", "Epc2", "J"):
        values = d[key][ok]
        mean = float(values.mean()) if values.size else np.nan
        stats[key] = {
            "mean": mean, "std": float(values.std()) if values.size else np.nan,
            "analytic": analytic[key],
            "deviation": (mean - analytic[key]) / applied,        # fraction of the applied strain
            "rms_vs_exact": float(np.sqrt(np.mean((values - summary.exact[key][ok]) ** 2))) if values.size else np.nan,
        }
    return stats


def tracks_errors(summary: Summary) -> dict[str, float]:
    t = summary.tracks
    v = t["valid"]
    return point_errors(summary.scene, t["point_indices"][v], t["points_ref_world"][v], t["displacement_world"][v])


def pair_errors(summary: Summary, pair: PairSummary) -> dict[str, float]:
    r = pair.result
    v = r["valid_points"]
    return point_errors(summary.scene, r["point_indices"][v], r["points_ref_world"][v], r["displacement_world"][v])


def noiseless_check(summary: Summary) -> tuple[bool, float] | None:
    """(passed, worst deviation of mean Epc1/Epc2 as a fraction of the applied strain); None with noise."""
    if summary.scene.config.noise_px > 0.0:
        return None
    stats = strain_statistics(summary)
    worst = max(abs(stats["Epc1"]["deviation"]), abs(stats["Epc2"]["deviation"]))
    return bool(worst <= STRAIN_TOLERANCE), float(worst)


def print_report(summary: Summary, out=None, *, header: bool = True, check: bool = True) -> None:
    """The tables against the truth; ``header`` adds the scene's line, ``check`` the noiseless verdict."""
    out = out if out is not None else sys.stdout
    scene = summary.scene
    cfg = scene.config
    if header:
        print(f"scene: {scene.n_cameras} cameras, {scene.ids.size} surface points, {scene.point_indices.size} "
              f"observations, DIC grid {scene.reduced_height} x {scene.reduced_width} (step "
              f"{scene.subset_spacing + 1} px), axial stretch {cfg.stretch:g}, Poisson {cfg.poisson:g}, "
              f"noise {cfg.noise_px:g} px", file=out)
        print(file=out)
    print(f"{'reconstruction':<22}{'rows':>7}{'valid':>8}{'RMS ref mm':>12}{'RMS disp mm':>13}"
          f"{'max disp mm':>13}{'time ms':>9}", file=out)
    t = summary.tracks
    e = tracks_errors(summary)
    print(f"{'tracks (all cameras)':<22}{t['valid'].size:>7}{t['valid'].mean():>8.1%}{e['rms_ref']:>12.2e}"
          f"{e['rms_disp']:>13.2e}{e['max_disp']:>13.2e}{summary.tracks_seconds * 1e3:>9.2f}", file=out)
    for pair in summary.pairs:
        r = pair.result
        e = pair_errors(summary, pair)
        frac = r["valid_points"].sum() / pair.candidates if pair.candidates else np.nan
        print(f"{f'pair {pair.cam_a}-{pair.cam_b}':<22}{r['valid_points'].size:>7}{frac:>8.1%}{e['rms_ref']:>12.2e}"
              f"{e['rms_disp']:>13.2e}{e['max_disp']:>13.2e}{pair.seconds * 1e3:>9.2f}", file=out)
    print("(valid: tracks over all tracks, pair points over points seen by both cameras)", file=out)
    print(file=out)

    d = summary.deformation
    ok = d["valid_strain_faces"]
    passed = int(summary.mesh_mask.sum())
    print(f"surface: {summary.faces.shape[0]} Delaunay faces, {passed} well-shaped ones passed to the strain "
          f"computation, {ok.sum()} valid ({ok.sum() / max(passed, 1):.1%} of those passed), "
          f"{summary.deformation_seconds * 1e3:.2f} ms", file=out)
    print(f"{'measure':<8}{'mean':>12}{'std':>11}{'analytic':>12}{'mean - analytic':>17}{'RMS vs exact face':>19}",
          file=out)
    for key, s in strain_statistics(summary).items():
        print(f"{key:<8}{s['mean']:>12.6f}{s['std']:>11.2e}{s['analytic']:>12.6f}"
              f"{s['deviation']:>13.3%} eps{s['rms_vs_exact']:>19.2e}", file=out)
    print("(mean - analytic as a fraction of the applied strain eps; the exact face value is the applied "
          "deformation restricted to the plane of each flat face)", file=out)
    verdict = noiseless_check(summary) if check else None
    if verdict is not None:
        passed, worst = verdict
        print(f"noiseless check: mean Epc1 and Epc2 within {worst:.3%} of the applied strain "
              f"(limit {STRAIN_TOLERANCE:.0%}): {'PASS' if passed else 'FAIL'}", file=out)


def write_figure(summary: Summary, folder: Path) -> Path:
    require("matplotlib", "matplotlib", "The figure")
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.tri import Triangulation

    d = summary.deformation
    ok = d["valid_strain_faces"]
    fig, (ax_map, ax_hist) = plt.subplots(1, 2, figsize=(13, 5.2), gridspec_kw={"width_ratios": [1.2, 1]})
    tri = Triangulation(summary.params[:, 0], summary.params[:, 1], summary.faces[ok])
    art = ax_map.tripcolor(tri, facecolors=d["Epc2"][ok], cmap="viridis", edgecolors="none")
    fig.colorbar(art, ax=ax_map, label="Epc2 (Green-Lagrange)")
    analytic = summary.scene.analytic_strains()["Epc2"]
    ax_map.set_title(f"Major in-plane principal strain Epc2 (analytic {analytic:.5f})")
    ax_map.set_xlabel("arc length on the cylinder [mm]")
    ax_map.set_ylabel("height along the axis [mm]")
    ax_map.set_aspect("equal")

    t = summary.tracks
    v = t["valid"]
    errors = {"reference": t["reprojection_error_ref"][v], "deformed": t["reprojection_error_def"][v]}
    floor = 1e-15   # noiseless reference errors are rounding-sized; keep them on a log axis
    low = max(floor, min(float(x.min()) for x in errors.values() if x.size) if v.any() else floor)
    high = max(low * 10.0, max(float(x.max()) for x in errors.values() if x.size) if v.any() else 1.0)
    bins = np.geomspace(low, high, 50)
    for label, x in errors.items():
        ax_hist.hist(np.clip(x, low, high), bins=bins, alpha=0.6, label=f"{label} state")
    ax_hist.set_xscale("log")
    ax_hist.set_xlabel("mean reprojection error per track [px]")
    ax_hist.set_ylabel("tracks")
    ax_hist.set_title("Reprojection errors (reconstruct_tracks)")
    ax_hist.legend()
    fig.tight_layout()
    return save_figure(fig, folder, FIGURE_NAME)


def main(argv=None) -> int:
    args = parse_args(argv)
    config = SceneConfig(n_points=args.points, n_cameras=args.cameras, noise_px=args.noise,
                         stretch=args.stretch, seed=args.seed)
    try:
        require("scipy", "scipy", "Meshing the surface points")
        if not args.no_figure:
            require("matplotlib", "matplotlib", "The figure")
        summary = run(config, args.max_reprojection_error)
    except MissingDependency as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    print_report(summary)
    if not args.no_figure and not report_figure(write_figure, summary, args.output):
        return 1
    check = noiseless_check(summary)
    return 0 if check is None or check[0] else 3


if __name__ == "__main__":
    sys.exit(main())
