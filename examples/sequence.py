"""A load sequence on a Dask cluster: one task per frame, gathered in order.

Frame k of F stretches the specimen of examples/scene.py axially by
k / (F - 1) times the final stretch (0 to 5 % by default). Each frame is one
task: it builds the frame's DIC fields (the exact image motion, as
examples/demo.py does, to keep frames quick), reconstructs the tracks and
every neighbouring camera pair, and computes the surface strain. The tasks
run on ``dask.distributed``: an embedded ``LocalCluster`` by default, or the
cluster whose scheduler ``--scheduler`` names. A progress bar follows the
frames as they complete; the results come back in frame order.

    python -m examples.sequence [--frames F] [--scheduler tcp://host:8786] [--output DIR]

The scheduler and workers of an existing cluster need native_kestrine, numpy
and scipy installed; this package is uploaded to them when the run starts.

Exit status: 0 on success, 1 when a package is missing, the scheduler cannot
be reached or the figure cannot be written, 2 for a bad option.
"""

from __future__ import annotations

import argparse
import dataclasses
import os
import sys
import time
from pathlib import Path

import numpy as np

from examples import demo
from examples.scene import SceneConfig, build_scene

FIGURE_NAME = "kestrine_sequence.png"
MAX_REPROJECTION_ERROR_PX = 1.0


@dataclasses.dataclass(frozen=True)
class Frame:
    index: int
    config: SceneConfig


@dataclasses.dataclass
class FrameResult:
    index: int
    stretch: float
    tracks: dict
    pairs: list[dict]           # neighbouring pairs (0, 1), (1, 2), ...
    deformation: dict
    stats: dict[str, dict[str, float]]   # mean, std, analytic of Epc1, Epc2, J
    disp_rms_mm: float          # tracks' 3-D displacement error against the truth
    seconds: float


def frames(n_frames: int, final_stretch: float = 0.05, **scene_options) -> list[Frame]:
    """The sequence: the same scene (same points, cameras and seed) under growing axial stretch."""
    stretches = np.linspace(0.0, final_stretch, n_frames)
    return [Frame(k, SceneConfig(stretch=float(s), **scene_options)) for k, s in enumerate(stretches)]


def run_frame(frame: Frame) -> FrameResult:
    """One frame's DIC fields, both reconstructions and the surface strain. Pure: equal frames, equal bits."""
    start = time.perf_counter()
    summary = demo.measure(build_scene(frame.config), MAX_REPROJECTION_ERROR_PX)
    d = summary.deformation
    ok = d["valid_strain_faces"]
    analytic = summary.scene.analytic_strains()
    stats = {key: {"mean": float(d[key][ok].mean()) if ok.any() else float("nan"),
                   "std": float(d[key][ok].std()) if ok.any() else float("nan"),
                   "analytic": analytic[key]}
             for key in ("Epc1", "Epc2", "J")}
    return FrameResult(frame.index, frame.config.stretch, summary.tracks, [p.result for p in summary.pairs],
                       d, stats, demo.tracks_errors(summary)["rms_disp"], time.perf_counter() - start)


def run_sequence(sequence: list[Frame], client, progress: bool = True) -> list[FrameResult]:
    """Submits one task per frame and gathers the results in frame order."""
    from distributed import as_completed

    futures = client.map(run_frame, sequence, pure=False)
    if progress:
        from tqdm import tqdm
        with tqdm(total=len(futures), unit="frame", desc="frames", file=sys.stderr) as bar:
            for _ in as_completed(futures):
                bar.update()
    return client.gather(futures)


def ship_examples(client) -> None:
    """Uploads this package to the scheduler and workers, which unpickle the frames' code by name.

    They still need native_kestrine, numpy and scipy installed.
    """
    import tempfile
    import zipfile

    package = Path(__file__).resolve().parent
    with tempfile.TemporaryDirectory() as folder:
        archive = Path(folder) / "kestrine_examples.zip"
        with zipfile.ZipFile(archive, "w") as z:
            for source in sorted(package.glob("*.py")):
                z.write(source, f"{package.name}/{source.name}")
        client.upload_file(str(archive))


def local_cluster(workers: int | None = None):
    """An embedded cluster of single-threaded worker processes, one per core unless told otherwise."""
    from distributed import LocalCluster

    workers = workers or max(1, os.cpu_count() or 1)
    return LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None)


# --------------------------------------------------------------------------- output
def print_table(results: list[FrameResult], out=None) -> None:
    out = out if out is not None else sys.stdout
    print(f"{'frame':>5}{'stretch':>9}{'tracks ok':>11}{'RMS disp mm':>13}{'faces':>7}"
          f"{'Epc1 mean':>11}{'std':>9}{'analytic':>11}{'Epc2 mean':>11}{'std':>9}{'analytic':>10}{'J':>10}"
          f"{'time s':>8}",
          file=out)
    for r in results:
        s = r.stats
        print(f"{r.index:>5}{r.stretch:>9.4f}{r.tracks['valid'].mean():>11.1%}{r.disp_rms_mm:>13.2e}"
              f"{int(r.deformation['valid_strain_faces'].sum()):>7}"
              f"{s['Epc1']['mean']:>11.6f}{s['Epc1']['std']:>9.1e}{s['Epc1']['analytic']:>11.6f}"
              f"{s['Epc2']['mean']:>11.6f}{s['Epc2']['std']:>9.1e}{s['Epc2']['analytic']:>10.6f}"
              f"{s['J']['mean']:>10.6f}{r.seconds:>8.2f}",
              file=out)


def worst_deviation(results: list[FrameResult]) -> float:
    """Largest |mean - analytic| of Epc1 and Epc2 over the frames, in strain."""
    return max(abs(r.stats[k]["mean"] - r.stats[k]["analytic"]) for r in results for k in ("Epc1", "Epc2"))


def write_figure(results: list[FrameResult], folder: Path) -> Path:
    demo.require("matplotlib", "matplotlib", "The figure")
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    stretch = np.array([r.stretch for r in results])
    fig, ax = plt.subplots(figsize=(7.5, 5))
    for key, colour, label in (("Epc2", "tab:blue", "Epc2 (axial)"), ("Epc1", "tab:orange", "Epc1 (hoop)")):
        mean = np.array([r.stats[key]["mean"] for r in results])
        std = np.array([r.stats[key]["std"] for r in results])
        ax.errorbar(stretch * 100, mean, yerr=std, fmt="o", ms=4, capsize=3, color=colour,
                    label=f"{label}: mean and std over faces")
        ax.plot(stretch * 100, [r.stats[key]["analytic"] for r in results], "-", color=colour, lw=1,
                label=f"{key} analytic")
    ax.set_xlabel("applied axial stretch [%]")
    ax.set_ylabel("Green-Lagrange principal strain")
    ax.set_title(f"Load sequence of {len(results)} frames")
    ax.grid(alpha=0.3)
    ax.legend()
    fig.tight_layout()
    return demo.save_figure(fig, folder, FIGURE_NAME)


# --------------------------------------------------------------------------- command line
def parser() -> argparse.ArgumentParser:
    bounded = demo._bounded
    p = argparse.ArgumentParser(
        prog="python -m examples.sequence",
        description="Reconstruct a synthetic load sequence with native_kestrine, one Dask task per frame.")
    p.add_argument("--frames", type=bounded(int, 2, 10_000), default=24, help="number of frames (default 24)")
    p.add_argument("--final-stretch", type=bounded(float, 0.0, 0.2, low_open=True), default=0.05,
                   help="axial strain of the last frame (default 0.05)")
    p.add_argument("--points", type=bounded(int, 50, 200_000), default=2000,
                   help="surface points per frame (default 2000)")
    p.add_argument("--cameras", type=bounded(int, 2, 12), default=4, help="number of cameras (default 4)")
    p.add_argument("--scheduler", metavar="ADDRESS",
                   help="address of a running Dask scheduler, e.g. tcp://10.0.0.5:8786 "
                        "(default: an embedded LocalCluster)")
    p.add_argument("--workers", type=bounded(int, 1, 256), default=None,
                   help="worker processes of the embedded cluster (default: one per core)")
    p.add_argument("--no-progress", action="store_true", help="no progress bar")
    demo.add_figure_options(p)
    return p


def main(argv=None) -> int:
    p = parser()
    args = demo.parse_with_figure(p, argv)
    try:
        demo.require_kestrine()
        demo.require("scipy", "scipy", "Meshing the surface points")
        distributed = demo.require("distributed", "distributed", "Running frames on Dask")
        if not args.no_progress:
            demo.require("tqdm", "tqdm", "The progress bar")
        if not args.no_figure:
            demo.require("matplotlib", "matplotlib", "The figure")
    except demo.MissingDependency as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1

    sequence = frames(args.frames, args.final_stretch, n_points=args.points, n_cameras=args.cameras)
    start = time.perf_counter()
    if args.scheduler:
        try:
            client = distributed.Client(args.scheduler, timeout="10s")
        except ValueError as exc:
            p.error(f"--scheduler {args.scheduler}: {exc}")
        except (OSError, TimeoutError) as exc:
            print(f"error: cannot reach the Dask scheduler at {args.scheduler}: {exc}", file=sys.stderr)
            return 1
        ship_examples(client)
        cluster = None
        where = f"the cluster at {args.scheduler}"
    else:
        cluster = local_cluster(args.workers)
        client = distributed.Client(cluster)
        where = f"an embedded LocalCluster of {len(cluster.workers)} worker processes"
    try:
        workers = len(client.scheduler_info()["workers"])
        print(f"{args.frames} frames, axial stretch 0 to {args.final_stretch:g}, on {where} "
              f"({workers} workers)", file=sys.stderr)
        results = run_sequence(sequence, client, progress=not args.no_progress)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    elapsed = time.perf_counter() - start

    print_table(results)
    busy = sum(r.seconds for r in results)
    print(f"{len(results)} frames in {elapsed:.1f} s on {workers} workers ({busy:.1f} s of frame work); "
          f"worst |mean - analytic| of Epc1, Epc2: {worst_deviation(results):.1e}")
    if not args.no_figure and not demo.report_figure(write_figure, results, args.output):
        return 1
    return 0


if __name__ == "__main__":
    # Tasks are pickled by reference to this module, which workers import by name.
    from examples.sequence import main as _main
    sys.exit(_main())
