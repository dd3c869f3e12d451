// The module definition and the bindings of its three functions: convert
// arguments, open and check views, allocate results once, call the numeric
// core, hand back a dict.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

#include "arrays.hpp"
#include "deformation.hpp"
#include "observations.hpp"
#include "pair.hpp"
#include "tracks.hpp"

namespace py = pybind11;

namespace kestrine {
namespace {

template <typename T>
using Array = py::array_t<T>;

CameraSet open_cameras(const Array<double>& K, const Array<double>& dist, const Array<double>& R,
                       const Array<double>& t) {
    CameraSet cameras;
    cameras.K = read_view<double, 3>(K);
    cameras.dist = read_view<double, 2>(dist);
    cameras.R = read_view<double, 3>(R);
    cameras.t = read_view<double, 2>(t);
    return cameras;
}

ObservationTable open_observations(const Array<std::int64_t>& point_indices,
                                   const Array<std::int32_t>& cam_indices,
                                   const Array<double>& uv) {
    ObservationTable observations;
    observations.point_indices = read_view<std::int64_t, 1>(point_indices);
    observations.cam_indices = read_view<std::int32_t, 1>(cam_indices);
    observations.uv = read_view<double, 2>(uv);
    return observations;
}

py::dict reconstruct_tracks(Array<double> K, Array<double> dist, Array<double> R, Array<double> t,
                            Array<std::int64_t> point_indices, Array<std::int32_t> cam_indices,
                            Array<double> uv, Array<double> dic_u, Array<double> dic_v,
                            Array<double> dic_corrcoef, Array<bool> dic_valid, int reduced_height,
                            int reduced_width, int subset_spacing, int min_views,
                            double min_corrcoef, double max_reprojection_error_px, double scale) {
    ObservedScene scene;
    scene.cameras = open_cameras(K, dist, R, t);
    scene.observations = open_observations(point_indices, cam_indices, uv);
    const CameraSet& cameras = scene.cameras;
    const ObservationTable& observations = scene.observations;
    check_observation_table(observations);
    check_camera_arrays(cameras);
    check_subset_spacing(subset_spacing);
    const int max_camera = check_observation_cameras(observations, cameras);

    const TrackGroups groups = group_tracks(observations);
    // Every observation is sampled, so the stacks are examined exactly when
    // there is at least one observation.
    if (observations.size() > 0) {
        scene.dic = open_dic_stack(dic_u, dic_v, dic_corrcoef, dic_valid, reduced_height, reduced_width,
                             subset_spacing, max_camera);
    }

    const py::ssize_t T = groups.track_count;
    ResultArray<std::int64_t, 1> ids({T});
    ResultArray<double, 2> points_ref_sfm({T, 3});
    ResultArray<double, 2> points_def_sfm({T, 3});
    ResultArray<double, 2> displacement_sfm({T, 3});
    ResultArray<double, 2> points_ref_world({T, 3});
    ResultArray<double, 2> points_def_world({T, 3});
    ResultArray<double, 2> displacement_world({T, 3});
    ResultArray<std::int32_t, 1> num_views({T});
    ResultArray<double, 1> mean_corrcoef({T});
    ResultArray<double, 1> reprojection_error_ref({T});
    ResultArray<double, 1> reprojection_error_def({T});
    ResultArray<bool, 1> valid({T});

    TrackSettings settings;
    settings.min_views = min_views;
    settings.min_corrcoef = min_corrcoef;
    settings.max_reprojection_error_px = max_reprojection_error_px;
    settings.scale = scale;
    const TrackOutputs out{ids.view,
                           points_ref_sfm.view,
                           points_def_sfm.view,
                           displacement_sfm.view,
                           points_ref_world.view,
                           points_def_world.view,
                           displacement_world.view,
                           num_views.view,
                           mean_corrcoef.view,
                           reprojection_error_ref.view,
                           reprojection_error_def.view,
                           valid.view};
    reconstruct_track_rows(scene, groups, settings, out, 0, T);

    py::dict result;
    result["point_indices"] = ids.array;
    result["points_ref_sfm"] = points_ref_sfm.array;
    result["points_def_sfm"] = points_def_sfm.array;
    result["displacement_sfm"] = displacement_sfm.array;
    result["points_ref_world"] = points_ref_world.array;
    result["points_def_world"] = points_def_world.array;
    result["displacement_world"] = displacement_world.array;
    result["num_views"] = num_views.array;
    result["mean_corrcoef"] = mean_corrcoef.array;
    result["reprojection_error_ref"] = reprojection_error_ref.array;
    result["reprojection_error_def"] = reprojection_error_def.array;
    result["valid"] = valid.array;
    return result;
}

py::dict reconstruct_pair_surface_points(
    Array<double> K, Array<double> dist, Array<double> R, Array<double> t,
    Array<std::int64_t> point_indices, Array<std::int32_t> cam_indices, Array<double> uv,
    Array<double> dic_u, Array<double> dic_v, Array<double> dic_corrcoef, Array<bool> dic_valid,
    int reduced_height, int reduced_width, int subset_spacing, int cam_a, int cam_b,
    double min_corrcoef, double max_reprojection_error_px, double scale) {
    ObservedScene scene;
    scene.cameras = open_cameras(K, dist, R, t);
    scene.observations = open_observations(point_indices, cam_indices, uv);
    const CameraSet& cameras = scene.cameras;
    const ObservationTable& observations = scene.observations;
    check_observation_table(observations);
    check_camera_arrays(cameras);
    check_subset_spacing(subset_spacing);

    const PairGroups groups = group_pair(observations, cam_a, cam_b);
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
    const auto n = static_cast<py::ssize_t>(groups.points.size());
    ResultArray<std::int64_t, 1> ids({n});
    ResultArray<double, 2> uv_ref_a({n, 2});
    ResultArray<double, 2> uv_ref_b({n, 2});
    ResultArray<double, 2> uv_def_a({n, 2});
    ResultArray<double, 2> uv_def_b({n, 2});
    ResultArray<double, 2> points_ref_sfm({n, 3});
    ResultArray<double, 2> points_def_sfm({n, 3});
    ResultArray<double, 2> points_ref_world({n, 3});
    ResultArray<double, 2> points_def_world({n, 3});
    ResultArray<double, 2> displacement_sfm({n, 3});
    ResultArray<double, 2> displacement_world({n, 3});
    ResultArray<double, 1> displacement_norm_world({n});
    ResultArray<double, 1> corr_a({n});
    ResultArray<double, 1> corr_b({n});
    ResultArray<double, 1> corr_comb({n});
    ResultArray<double, 1> reprojection_error_ref({n});
    ResultArray<double, 1> reprojection_error_def({n});
    ResultArray<bool, 1> valid_points({n});
    const PairOutputs out{ids.view,
                          uv_ref_a.view,
                          uv_ref_b.view,
                          uv_def_a.view,
                          uv_def_b.view,
                          points_ref_sfm.view,
                          points_def_sfm.view,
                          points_ref_world.view,
                          points_def_world.view,
                          displacement_sfm.view,
                          displacement_world.view,
                          displacement_norm_world.view,
                          corr_a.view,
                          corr_b.view,
                          corr_comb.view,
                          reprojection_error_ref.view,
                          reprojection_error_def.view,
                          valid_points.view};
    const py::ssize_t kept = reconstruct_pair_rows(scene, groups, settings, out, 0, n, 0);
    if (kept < n) {
        shrink_rows(ids, kept);
        shrink_rows(uv_ref_a, kept);
        shrink_rows(uv_ref_b, kept);
        shrink_rows(uv_def_a, kept);
        shrink_rows(uv_def_b, kept);
        shrink_rows(points_ref_sfm, kept);
        shrink_rows(points_def_sfm, kept);
        shrink_rows(points_ref_world, kept);
        shrink_rows(points_def_world, kept);
        shrink_rows(displacement_sfm, kept);
        shrink_rows(displacement_world, kept);
        shrink_rows(displacement_norm_world, kept);
        shrink_rows(corr_a, kept);
        shrink_rows(corr_b, kept);
        shrink_rows(corr_comb, kept);
        shrink_rows(reprojection_error_ref, kept);
        shrink_rows(reprojection_error_def, kept);
        shrink_rows(valid_points, kept);
    }

    py::dict result;
    result["point_indices"] = ids.array;
    result["uv_ref_a"] = uv_ref_a.array;
    result["uv_ref_b"] = uv_ref_b.array;
    result["uv_def_a"] = uv_def_a.array;
    result["uv_def_b"] = uv_def_b.array;
    result["points_ref_sfm"] = points_ref_sfm.array;
    result["points_def_sfm"] = points_def_sfm.array;
    result["points_ref_world"] = points_ref_world.array;
    result["points_def_world"] = points_def_world.array;
    result["displacement_sfm"] = displacement_sfm.array;
    result["displacement_world"] = displacement_world.array;
    result["displacement_norm_world"] = displacement_norm_world.array;
    result["corr_a"] = corr_a.array;
    result["corr_b"] = corr_b.array;
    result["corr_comb"] = corr_comb.array;
    result["reprojection_error_ref"] = reprojection_error_ref.array;
    result["reprojection_error_def"] = reprojection_error_def.array;
    result["valid_points"] = valid_points.array;
    return result;
}

py::dict compute_surface_deformation(Array<std::int32_t> faces, Array<double> points_ref,
                                     Array<double> points_def, Array<bool> valid_faces) {
    SurfaceInputs in;
    in.faces = read_view<std::int32_t, 2>(faces);
    in.points_ref = read_view<double, 2>(points_ref);
    in.points_def = read_view<double, 2>(points_def);
    in.valid_faces = read_view<bool, 1>(valid_faces);
    const std::string problem = check_surface_inputs(in);
    if (!problem.empty()) {
        throw py::value_error(problem);
    }

    const py::ssize_t M = in.faces.extent(0);
    ResultArray<double, 3> Fmat({M, 3, 3});
    ResultArray<double, 3> Cmat({M, 3, 3});
    ResultArray<double, 3> Emat({M, 3, 3});
    ResultArray<double, 3> emat({M, 3, 3});
    ResultArray<double, 2> d3({M, 3});
    ResultArray<double, 1> J({M});
    ResultArray<double, 1> Emgn({M});
    ResultArray<double, 1> emgn({M});
    ResultArray<double, 1> Epc1({M});
    ResultArray<double, 1> Epc2({M});
    ResultArray<double, 1> epc1({M});
    ResultArray<double, 1> epc2({M});
    ResultArray<double, 1> EShearMax({M});
    ResultArray<double, 1> eShearMax({M});
    ResultArray<double, 1> Eeq({M});
    ResultArray<double, 1> eeq({M});
    ResultArray<double, 1> Area({M});
    ResultArray<double, 1> Lambda1({M});
    ResultArray<double, 1> Lambda2({M});
    ResultArray<bool, 1> valid_strain_faces({M});

    SurfaceOutputs out;
    out.Fmat = Fmat.view;
    out.Cmat = Cmat.view;
    out.Emat = Emat.view;
    out.emat = emat.view;
    out.d3 = d3.view;
    out.J = J.view;
    out.Emgn = Emgn.view;
    out.emgn = emgn.view;
    out.Epc1 = Epc1.view;
    out.Epc2 = Epc2.view;
    out.epc1 = epc1.view;
    out.epc2 = epc2.view;
    out.EShearMax = EShearMax.view;
    out.eShearMax = eShearMax.view;
    out.Eeq = Eeq.view;
    out.eeq = eeq.view;
    out.Area = Area.view;
    out.Lambda1 = Lambda1.view;
    out.Lambda2 = Lambda2.view;
    out.valid_strain_faces = valid_strain_faces.view;
    compute_surface_rows(in, out);

    py::dict result;
    result["Fmat"] = Fmat.array;
    result["Cmat"] = Cmat.array;
    result["J"] = J.array;
    result["Emat"] = Emat.array;
    result["emat"] = emat.array;
    result["Emgn"] = Emgn.array;
    result["emgn"] = emgn.array;
    result["Epc1"] = Epc1.array;
    result["Epc2"] = Epc2.array;
    result["epc1"] = epc1.array;
    result["epc2"] = epc2.array;
    result["EShearMax"] = EShearMax.array;
    result["eShearMax"] = eShearMax.array;
    result["Eeq"] = Eeq.array;
    result["eeq"] = eeq.array;
    result["Area"] = Area.array;
    result["d3"] = d3.array;
    result["Lambda1"] = Lambda1.array;
    result["Lambda2"] = Lambda2.array;
    result["valid_strain_faces"] = valid_strain_faces.array;
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
          py::arg("max_reprojection_error_px"), py::arg("scale"));
    m.def("reconstruct_pair_surface_points", &kestrine::reconstruct_pair_surface_points,
          py::arg("K"), py::arg("dist"), py::arg("R"), py::arg("t"), py::arg("point_indices"),
          py::arg("cam_indices"), py::arg("uv"), py::arg("dic_u"), py::arg("dic_v"),
          py::arg("dic_corrcoef"), py::arg("dic_valid"), py::arg("reduced_height"),
          py::arg("reduced_width"), py::arg("subset_spacing"), py::arg("cam_a"), py::arg("cam_b"),
          py::arg("min_corrcoef"), py::arg("max_reprojection_error_px"), py::arg("scale"));
    m.def("compute_surface_deformation", &kestrine::compute_surface_deformation,
          py::arg("faces"), py::arg("points_ref"), py::arg("points_def"),
          py::arg("valid_faces"));
}
