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


# ---- index arguments: converted exactly or refused ---------------------------

def index_calls(scene):
    """Each function with valid arguments; the mesh's second face is masked out."""
    points = np.array([[0.0, 0, 0], [1, 0, 0], [0, 1, 0], [1, 1, 0.2]])
    mesh = dict(faces=np.array([[0, 1, 2], [3, 3, 3], [1, 3, 2]], np.int32), points_ref=points,
                points_def=points * 1.01, valid_faces=np.array([True, False, True]))
    return {"tracks": (nk.reconstruct_tracks, scene.tracks_args()),
            "pair": (nk.reconstruct_pair_surface_points, scene.pair_args()),
            "surface": (nk.compute_surface_deformation, mesh)}


INDEX_ARGUMENTS = [("tracks", "point_indices"), ("tracks", "cam_indices"),
                   ("pair", "point_indices"), ("pair", "cam_indices"), ("surface", "faces")]


@pytest.mark.parametrize("function,name", INDEX_ARGUMENTS)
@pytest.mark.parametrize("dtype", [np.int64, np.int32, np.int16, np.uint8, np.uint64, np.float64,
                                   np.float32, np.float16, ">i8", "<f8", bool, object, list])
def test_index_arguments_of_other_dtypes_give_identical_results(scene, function, name, dtype):
    call, args = index_calls(scene)[function]
    if dtype is bool:  # only 0 and 1 survive the trip through bool
        args[name] = args[name] % 2
    expected = call(**args)
    given = args[name].tolist() if dtype is list else args[name].astype(dtype)
    result = call(**{**args, name: given})
    for key in expected:
        assert result[key].tobytes() == expected[key].tobytes(), key


@pytest.mark.parametrize("function,name,dtype,where,value,message", [
    ("tracks", "cam_indices", np.int64, 1, 2**32 + 1,
     "cam_indices[1] = 4294967297 does not fit a 32-bit camera index"),
    ("pair", "cam_indices", np.float64, 1, 1.7, "cam_indices[1] = 1.7 is not a whole number"),
    ("tracks", "cam_indices", np.float64, 4, -2.0**31 - 1,
     "cam_indices[4] = -2147483649.0 does not fit a 32-bit camera index"),
    ("tracks", "point_indices", np.float64, 0, 5.2, "point_indices[0] = 5.2 is not a whole number"),
    ("pair", "point_indices", np.float64, 3, np.nan, "point_indices[3] = nan is not a whole number"),
    ("tracks", "point_indices", np.float32, 2, -np.inf,
     "point_indices[2] = -inf is not a whole number"),
    ("tracks", "point_indices", np.uint64, 5, 2**63,
     "point_indices[5] = 9223372036854775808 does not fit a 64-bit point id"),
    ("pair", "point_indices", np.float64, 5, 2.0**63,
     "point_indices[5] = 9.223372036854776e+18 does not fit a 64-bit point id"),
    ("surface", "faces", np.int64, (2, 1), 2 + 2**32,
     "faces[2, 1] = 4294967298 does not fit a 32-bit vertex index"),
    ("surface", "faces", np.float64, (0, 2), np.nan, "faces[0, 2] = nan is not a whole number"),
    ("surface", "faces", np.float32, (2, 0), 2.9, "faces[2, 0] = 2.9 is not a whole number"),
])
def test_index_values_that_would_change_are_refused(scene, function, name, dtype, where, value,
                                                    message):
    call, args = index_calls(scene)[function]
    given = args[name].astype(dtype)
    given[where] = value
    with pytest.raises(ValueError) as error:
        call(**{**args, name: given})
    assert str(error.value) == message


def test_index_values_never_read_are_never_checked(scene):
    call, args = index_calls(scene)["surface"]
    faces = args["faces"].astype(float)
    faces[1] = [np.nan, -np.inf, 0.5]  # the masked face
    assert call(**{**args, "faces": faces})["valid_strain_faces"].tolist() == [True, False, True]
    # cam_indices rows past point_indices are not observations.
    cams = np.append(scene.cam_indices.astype(float), 1.5)
    assert nk.reconstruct_tracks(**scene.tracks_args(cam_indices=cams))["valid"].all()
    # Dimension errors still come first.
    with pytest.raises(ValueError, match="^array has incorrect number of dimensions: 1; expected 2$"):
        nk.reconstruct_tracks(**scene.tracks_args(point_indices=np.full(3, np.nan), uv=np.zeros(3)))


@pytest.mark.parametrize("value", [np.zeros(3, complex), np.array(["1", "2"]), [1, None]])
def test_index_arguments_of_other_kinds_raise_type_error(scene, value):
    with pytest.raises(TypeError, match="incompatible function arguments"):
        nk.reconstruct_tracks(**scene.tracks_args(point_indices=value))
