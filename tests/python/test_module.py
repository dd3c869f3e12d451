"""Binding conventions shared by the three functions: the module's face to Python."""

from __future__ import annotations

import glob
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import native_kestrine as nk

FUNCTIONS = {
    "reconstruct_tracks": [
        "K", "dist", "R", "t", "point_indices", "cam_indices", "uv", "dic_u", "dic_v",
        "dic_corrcoef", "dic_valid", "reduced_height", "reduced_width", "subset_spacing",
        "min_views", "min_corrcoef", "max_reprojection_error_px", "scale",
    ],
    "reconstruct_pair_surface_points": [
        "K", "dist", "R", "t", "point_indices", "cam_indices", "uv", "dic_u", "dic_v",
        "dic_corrcoef", "dic_valid", "reduced_height", "reduced_width", "subset_spacing",
        "cam_a", "cam_b", "min_corrcoef", "max_reprojection_error_px", "scale",
    ],
    "compute_surface_deformation": ["faces", "points_ref", "points_def", "valid_faces"],
}


def test_module_face():
    assert nk.__doc__ == "Native acceleration kernels for Quorvex kestrine."
    public = [name for name in vars(nk) if not name.startswith("__")]
    assert public == list(FUNCTIONS)


@pytest.mark.parametrize("name", list(FUNCTIONS))
def test_signature_names_order_and_no_docstring(name):
    doc = getattr(nk, name).__doc__
    # Only the rendered signature: one line, no text of its own.
    assert doc.strip().count("\n") == 0
    signature = doc[doc.index("(") + 1:doc.rindex(")")]
    documented, _, keyword_only = signature.partition(", *, ")
    names = [part.split(":")[0].strip() for part in documented.split(", ") if ":" in part]
    assert names == FUNCTIONS[name]
    assert doc.rstrip().endswith("-> dict")
    assert "=" not in documented  # the documented arguments have no defaults
    assert keyword_only == "workers: typing.SupportsInt | typing.SupportsIndex = 1"
    assert "typing.SupportsInt | typing.SupportsIndex" in doc or name == "compute_surface_deformation"


def test_exports_only_the_init_function():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    out = subprocess.run([nm, "-D", "--defined-only", nk.__file__], capture_output=True,
                         text=True, check=True).stdout
    symbols = [line.split()[-1] for line in out.splitlines() if line.strip()]
    assert symbols == ["PyInit_native_kestrine"]


def _other_python(minor: int) -> str | None:
    root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip() \
        if shutil.which("pyenv") else os.path.expanduser("~/.pyenv")
    for path in sorted(glob.glob(f"{root}/versions/3.{minor}*/bin/python3.{minor}")):
        if os.access(path, os.X_OK):
            return path
    return shutil.which(f"python3.{minor}")


def test_import_refused_under_another_minor_version(tmp_path):
    python313 = _other_python(13)
    if python313 is None:
        pytest.skip("no Python 3.13 interpreter on this machine")
    # An untagged name lets 3.13 try to load the 3.12 build.
    shutil.copy(nk.__file__, tmp_path / "native_kestrine.so")
    # Lazy binding: 3.13 lacks some private functions the 3.12 build links
    # to, and eager binding would refuse the file before its version check runs.
    probe = textwrap.dedent("""
        import os, sys
        sys.setdlopenflags(os.RTLD_LAZY)
        try:
            import native_kestrine
        except ImportError as error:
            print(error)
        else:
            print("imported")
    """)
    out = subprocess.run([python313, "-c", probe], cwd=tmp_path, capture_output=True, text=True,
                         env={"PATH": os.environ.get("PATH", ""), "PYTHONPATH": str(tmp_path)})
    message = out.stdout.strip()
    version = subprocess.run([python313, "-c", "import sys; print(sys.version)"],
                             capture_output=True, text=True).stdout.strip()
    assert message == (
        "Python version mismatch: module was compiled for Python 3.12, but the interpreter "
        f"version is incompatible: {version}."
    )


def test_subinterpreter_import_is_refused():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        code = textwrap.dedent(f"""
            import sys
            sys.path.insert(0, {os.path.dirname(nk.__file__)!r})
            try:
                import native_kestrine
            except ImportError as error:
                raise SystemExit("refused: " + str(error))
        """)
        with pytest.raises(interpreters.RunFailedError, match="does not support loading in subinterpreters"):
            interpreters.run_string(interp, code)
    finally:
        interpreters.destroy(interp)


def test_face_arrays_need_exact_dimension_counts():
    with pytest.raises(ValueError, match=r"^array has incorrect number of dimensions: 1; expected 2$"):
        nk.compute_surface_deformation(np.zeros(3, np.int32), np.zeros((0, 3)), np.zeros((0, 3)),
                                       np.zeros(0, bool))
