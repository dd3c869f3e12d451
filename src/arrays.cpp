#include "arrays.hpp"

#include <algorithm>
#include <string>

namespace kestrine {

namespace {

[[noreturn]] void fail(const std::string& message) { throw py::value_error(message); }

std::string str(std::int64_t value) { return std::to_string(value); }

template <typename T, int N>
void check_cameras_cover(const ArrayView<T, N>& view, const char* name, int c,
                         const std::string& who) {
    if (c >= view.extent(0)) {
        fail(who + " = " + str(c) + " is outside " + name + ", which holds " + str(view.extent(0)) +
             " cameras");
    }
}

void check_camera(const CameraSet& cameras, int c, const std::string& who) {
    if (c < 0) {
        fail(who + " = " + str(c) + " is negative; camera indices start at 0");
    }
    check_cameras_cover(cameras.K, "K", c, who);
    check_cameras_cover(cameras.dist, "dist", c, who);
    check_cameras_cover(cameras.R, "R", c, who);
    check_cameras_cover(cameras.t, "t", c, who);
}

template <typename T>
void check_stack(const ArrayView<T, 3>& view, const char* name, int max_camera, int reduced_height,
                 int reduced_width) {
    if (max_camera >= view.extent(0)) {
        fail(std::string(name) + " holds " + str(view.extent(0)) + " cameras but camera " +
             str(max_camera) + " is sampled");
    }
    if (reduced_height > 0 && view.extent(1) < reduced_height) {
        fail(std::string(name) + " has " + str(view.extent(1)) +
             " grid rows, fewer than reduced_height = " + str(reduced_height));
    }
    if (reduced_width > 0 && view.extent(2) < reduced_width) {
        fail(std::string(name) + " has " + str(view.extent(2)) +
             " grid columns, fewer than reduced_width = " + str(reduced_width));
    }
}

}  // namespace

void check_observation_table(const ObservationTable& observations) {
    const std::int64_t M = observations.size();
    if (observations.cam_indices.extent(0) < M) {
        fail("cam_indices has " + str(observations.cam_indices.extent(0)) +
             " entries but point_indices has " + str(M) + "; every observation needs a camera");
    }
    if (observations.uv.extent(0) < M) {
        fail("uv has " + str(observations.uv.extent(0)) + " rows but point_indices has " + str(M) +
             "; every observation needs a pixel");
    }
    if (observations.uv.extent(1) < 2) {
        fail("uv has " + str(observations.uv.extent(1)) +
             " columns; it needs at least 2 (pixel x, pixel y)");
    }
}

void check_camera_arrays(const CameraSet& cameras) {
    if (cameras.K.extent(1) < 2 || cameras.K.extent(2) < 3) {
        fail("K has shape (" + str(cameras.K.extent(0)) + ", " + str(cameras.K.extent(1)) + ", " +
             str(cameras.K.extent(2)) + "); each camera needs at least 2 rows and 3 columns");
    }
    if (cameras.R.extent(1) < 3 || cameras.R.extent(2) < 3) {
        fail("R has shape (" + str(cameras.R.extent(0)) + ", " + str(cameras.R.extent(1)) + ", " +
             str(cameras.R.extent(2)) + "); each camera needs a 3 x 3 rotation");
    }
    if (cameras.t.extent(1) < 3) {
        fail("t has " + str(cameras.t.extent(1)) + " columns; each camera needs 3");
    }
}

void check_subset_spacing(int subset_spacing) {
    if (subset_spacing < 0) {
        fail("subset_spacing = " + str(subset_spacing) + " is negative; the grid step is subset_spacing + 1");
    }
}

int check_observation_cameras(const ObservationTable& observations, const CameraSet& cameras) {
    const std::int64_t M = observations.size();
    std::int64_t cameras_in_all = std::min({cameras.K.extent(0), cameras.dist.extent(0),
                                            cameras.R.extent(0), cameras.t.extent(0)});
    int max_camera = -1;
    for (std::int64_t i = 0; i < M; ++i) {
        const int c = observations.cam_indices(i);
        if (c < 0 || c >= cameras_in_all) {
            check_camera(cameras, c, "cam_indices[" + str(i) + "]");
        }
        max_camera = std::max(max_camera, c);
    }
    return max_camera;
}

void check_named_camera(const CameraSet& cameras, int c, const char* name) {
    check_camera(cameras, c, name);
}

DicFieldStack open_dic_stack(const py::array_t<double>& dic_u, const py::array_t<double>& dic_v,
                             const py::array_t<double>& dic_corrcoef,
                             const py::array_t<bool>& dic_valid, int reduced_height,
                             int reduced_width, int subset_spacing, int max_camera) {
    DicFieldStack dic;
    dic.u = read_view<double, 3>(dic_u);
    dic.v = read_view<double, 3>(dic_v);
    dic.corrcoef = read_view<double, 3>(dic_corrcoef);
    dic.valid = read_view<bool, 3>(dic_valid);
    dic.reduced_height = reduced_height;
    dic.reduced_width = reduced_width;
    dic.subset_spacing = subset_spacing;
    check_stack(dic.u, "dic_u", max_camera, reduced_height, reduced_width);
    check_stack(dic.v, "dic_v", max_camera, reduced_height, reduced_width);
    check_stack(dic.corrcoef, "dic_corrcoef", max_camera, reduced_height, reduced_width);
    check_stack(dic.valid, "dic_valid", max_camera, reduced_height, reduced_width);
    return dic;
}

}  // namespace kestrine
