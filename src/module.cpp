// The module definition and the bindings of its three functions: convert
// arguments, open and check views, allocate results once, call the numeric
// core, hand back a dict.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <string>

#include "arrays.hpp"
#include "deformation.hpp"
#include "observations.hpp"
#include "pair.hpp"
#include "parallel.hpp"
#include "tracks.hpp"

namespace py = pybind11;

namespace kestrine {
namespace {

template <typename T>
using Array = py::array_t<T>;

// Threads that `workers` allows; a value that means nothing raises.
int checked_workers(int workers) {
    const int threads = requested_threads(workers);
    if (threads < 1) {
        throw py::value_error("workers = " + std::to_string(workers) +
                              " is not a thread count; use a positive number, or -1 for every "
                              "CPU this process may run on");
    }
    return threads;
}

// Elements per thread below which another thread costs more than it saves
// (about half a millisecond of work each).
constexpr std::int64_t kSurfaceGrain = 4096;
constexpr std::int64_t kTrackGrain = 1024;
constexpr std::int64_t kPairGrain = 2048;

CameraSet open_cameras(const Array<double>& K, const Array<double>& dist, const Array<double>& R,
                       const Array<double>& t) {
    CameraSet cameras;
    cameras.K = read_view<double, 3>(K);
    cameras.dist = read_view<double, 2>(dist);
    cameras.R = read_view<double, 3>(R);
    cameras.t = read_view<double, 2>(t);
    return cameras;
}

// Index values are converted once every dimension count is known good.
ObservationTable open_observations(IndexArray<std::int64_t>& point_indices,
                                   IndexArray<std::int32_t>& cam_indices,
                                   const Array<double>& uv) {
    ObservationTable observations;
    check_dimensions<1>(point_indices);
    check_dimensions<1>(cam_indices);
    observations.uv = read_view<double, 2>(uv);
    observations.point_indices = point_id_view(point_indices);
    observations.cam_indices = camera_index_view(cam_indices, observations.size());
    return observations;
}

// The cameras and the observation table, opened in argument order and checked
// as both reconstructions need them; the DIC stacks are opened later, only
// when something is sampled.
ObservedScene open_scene(const Array<double>& K, const Array<double>& dist, const Array<double>& R,
                         const Array<double>& t, IndexArray<std::int64_t>& point_indices,
                         IndexArray<std::int32_t>& cam_indices, const Array<double>& uv,
                         int subset_spacing) {
    ObservedScene scene;
    scene.cameras = open_cameras(K, dist, R, t);
    scene.observations = open_observations(point_indices, cam_indices, uv);
    check_observation_table(scene.observations);
    check_camera_arrays(scene.cameras);
    check_subset_spacing(subset_spacing);
    return scene;
}

py::dict reconstruct_tracks(Array<double> K, Array<double> dist, Array<double> R, Array<double> t,
                            IndexArray<std::int64_t> point_indices,
                            IndexArray<std::int32_t> cam_indices,
                            Array<double> uv, Array<double> dic_u, Array<double> dic_v,
                            Array<double> dic_corrcoef, Array<bool> dic_valid, int reduced_height,
                            int reduced_width, int subset_spacing, int min_views,
                            double min_corrcoef, double max_reprojection_error_px, double scale,
                            int workers) {
    const int requested = checked_workers(workers);
    ObservedScene scene = open_scene(K, dist, R, t, point_indices, cam_indices, uv, subset_spacing);
    const CameraSet& cameras = scene.cameras;
    const ObservationTable& observations = scene.observations;
    const int max_camera = check_observation_cameras(observations, cameras);

    // One team for the call's passes, started only where the numeric work
    // will split over it.
    Team team(workers == 1 ? 1 : threads_for(requested, observations.size(), kTrackGrain * 4));
    const TrackGroups groups = group_tracks(observations, team);
    // Every observation is sampled, so the stacks are examined exactly when
    // there is at least one observation.
    if (observations.size() > 0) {
        scene.dic = open_dic_stack(dic_u, dic_v, dic_corrcoef, dic_valid, reduced_height, reduced_width,
                             subset_spacing, max_camera);
    }

    TrackSettings settings;
    settings.min_views = min_views;
    settings.min_corrcoef = min_corrcoef;
    settings.max_reprojection_error_px = max_reprojection_error_px;
    settings.scale = scale;

    const py::ssize_t rows = groups.track_count;
    py::dict result;
    TrackOutputs out;
    KESTRINE_CREATE_RESULTS(KESTRINE_TRACK_RESULTS)
    if (workers == 1) {
        reconstruct_track_rows(scene, groups, settings, out, 0, rows);
    } else {
        py::gil_scoped_release release;
        team.end_with_next_pass();
        reconstruct_tracks_on_threads(scene, groups, settings, out, team,
                                      threads_for(team.size(), rows, kTrackGrain));
    }
    return result;
}

py::dict reconstruct_pair_surface_points(
    Array<double> K, Array<double> dist, Array<double> R, Array<double> t,
    IndexArray<std::int64_t> point_indices, IndexArray<std::int32_t> cam_indices, Array<double> uv,
    Array<double> dic_u, Array<double> dic_v, Array<double> dic_corrcoef, Array<bool> dic_valid,
    int reduced_height, int reduced_width, int subset_spacing, int cam_a, int cam_b,
    double min_corrcoef, double max_reprojection_error_px, double scale, int workers) {
    const int requested = checked_workers(workers);
    ObservedScene scene = open_scene(K, dist, R, t, point_indices, cam_indices, uv, subset_spacing);
    const CameraSet& cameras = scene.cameras;
    const ObservationTable& observations = scene.observations;

    Team team(workers == 1 ? 1 : threads_for(requested, observations.size(), kPairGrain * 2));
    const PairGroups groups = group_pair(observations, cam_a, cam_b, team);
    // A camera that no observation carries is never read, so never checked.
    if (groups.carries_a) {
        check_named_camera(cameras, cam_a, "cam_a");
    }
    if (groups.carries_b) {
        check_named_camera(cameras, cam_b, "cam_b");
    }
    // The stacks are examined only when some point reaches sampling.
    if (!groups.points.empty()) {
        scene.dic = open_dic_stack(dic_u, dic_v, dic_corrcoef, dic_valid, reduced_height, reduced_width,
                             subset_spacing, cam_a > cam_b ? cam_a : cam_b);
    }

    PairSettings settings;
    settings.cam_a = cam_a;
    settings.cam_b = cam_b;
    settings.min_corrcoef = min_corrcoef;
    settings.max_reprojection_error_px = max_reprojection_error_px;
    settings.scale = scale;

    // Every complete point may give a row: the results are created at that
    // count, the kernels write the kept rows straight into them, and they are
    // shrunk to the rows written (pages never written are never touched).
    const auto rows = static_cast<py::ssize_t>(groups.points.size());
    py::dict result;
    PairOutputs out;
    KESTRINE_CREATE_RESULTS(KESTRINE_PAIR_RESULTS)
    py::ssize_t kept = 0;
    if (workers == 1) {
        kept = reconstruct_pair_rows(scene, groups, settings, out, 0, rows, 0);
    } else {
        py::gil_scoped_release release;
        team.end_with_next_pass();
        kept = reconstruct_pairs_on_threads(scene, groups, settings, out, team,
                                            threads_for(team.size(), rows, kPairGrain));
    }
    if (kept < rows) {
        shrink_rows(result, kept);
    }
    return result;
}

py::dict compute_surface_deformation(IndexArray<std::int32_t> faces, Array<double> points_ref,
                                     Array<double> points_def, Array<bool> valid_faces,
                                     int workers) {
    const int requested = checked_workers(workers);
    SurfaceInputs in;
    check_dimensions<2>(faces);
    in.points_ref = read_view<double, 2>(points_ref);
    in.points_def = read_view<double, 2>(points_def);
    in.valid_faces = read_view<bool, 1>(valid_faces);
    in.faces = vertex_index_view(faces, in.valid_faces);
    check_surface_inputs(in);

    const py::ssize_t rows = in.faces.extent(0);
    py::dict result;
    SurfaceOutputs out;
    KESTRINE_CREATE_RESULTS(KESTRINE_SURFACE_RESULTS)
    if (workers == 1) {
        compute_surface_rows(in, out);
    } else {
        const int threads = threads_for(requested, rows, kSurfaceGrain);
        py::gil_scoped_release release;
        Team team(threads);
        team.end_with_next_pass();
        compute_surface_rows(in, out, team, team.size());
    }
    return result;
}

}  // namespace
}  // namespace kestrine

PYBIND11_MODULE(native_kestrine, m, py::multiple_interpreters::not_supported()) {
    m.doc() = "Native acceleration kernels for Quorvex kestrine.";
    m.def("reconstruct_tracks", &kestrine::reconstruct_tracks, py::arg("K"), py::arg("dist"),
          py::arg("R"), py::arg("t"), py::arg("point_indices"), py::arg("cam_indices"),
          py::arg("uv"), py::arg("dic_u"), py::arg("dic_v"), py::arg("dic_corrcoef"),
          py::arg("dic_valid"), py::arg("reduced_height"), py::arg("reduced_width"),
          py::arg("subset_spacing"), py::arg("min_views"), py::arg("min_corrcoef"),
          py::arg("max_reprojection_error_px"), py::arg("scale"), py::kw_only(),
          py::arg("workers") = 1);
    m.def("reconstruct_pair_surface_points", &kestrine::reconstruct_pair_surface_points,
          py::arg("K"), py::arg("dist"), py::arg("R"), py::arg("t"), py::arg("point_indices"),
          py::arg("cam_indices"), py::arg("uv"), py::arg("dic_u"), py::arg("dic_v"),
          py::arg("dic_corrcoef"), py::arg("dic_valid"), py::arg("reduced_height"),
          py::arg("reduced_width"), py::arg("subset_spacing"), py::arg("cam_a"), py::arg("cam_b"),
          py::arg("min_corrcoef"), py::arg("max_reprojection_error_px"), py::arg("scale"),
          py::kw_only(), py::arg("workers") = 1);
    m.def("compute_surface_deformation", &kestrine::compute_surface_deformation,
          py::arg("faces"), py::arg("points_ref"), py::arg("points_def"),
          py::arg("valid_faces"), py::kw_only(), py::arg("workers") = 1);
}
