// The boundary between numpy and the kernels: opening strided views of the
// caller's arrays, checking that they are large enough for what the kernels
// will read, and creating result arrays.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "observations.hpp"
#include "views.hpp"

namespace kestrine {

namespace py = pybind11;

// numpy bools are addressed as bytes (see BoolByte).
template <typename T>
using Element = std::conditional_t<std::is_same_v<T, bool>, BoolByte, T>;

// Read view of an argument array. The dimension check is pybind11's own, so
// a wrong dimension count raises its usual ValueError; nothing is copied.
template <typename T, int N>
ArrayView<const Element<T>, N> read_view(const py::array_t<T>& array) {
    (void)array.template unchecked<N>();
    ArrayView<const Element<T>, N> view;
    view.data = reinterpret_cast<const unsigned char*>(array.data());
    for (int d = 0; d < N; ++d) {
        view.shape[d] = array.shape(d);
        view.strides[d] = array.strides(d);
    }
    return view;
}

// A new C-contiguous result array, uninitialised, and its write view.
template <typename T, int N>
struct ResultArray {
    py::array_t<T> array;
    ArrayView<Element<T>, N> view;

    explicit ResultArray(const std::array<py::ssize_t, N>& shape)
        : array(std::vector<py::ssize_t>(shape.begin(), shape.end())) {
        (void)array.template mutable_unchecked<N>();
        view.data = reinterpret_cast<unsigned char*>(array.mutable_data());
        for (int d = 0; d < N; ++d) {
            view.shape[d] = array.shape(d);
            view.strides[d] = array.strides(d);
        }
    }
};

// Keeps the first `rows` rows of a result array. The array is new and
// unshared, so numpy reallocates its memory in place (no copy where the
// allocator can shrink) and it stays C-contiguous and owns its data.
template <typename T, int N>
void shrink_rows(ResultArray<T, N>& result, py::ssize_t rows) {
    std::vector<py::ssize_t> shape(result.array.shape(), result.array.shape() + N);
    shape[0] = rows;
    result.array.resize(shape, false);
    result.view.data = reinterpret_cast<unsigned char*>(result.array.mutable_data());
    for (int d = 0; d < N; ++d) {
        result.view.shape[d] = result.array.shape(d);
        result.view.strides[d] = result.array.strides(d);
    }
}

// Caller mistakes found before any result exists; each raises ValueError
// naming the argument.
void check_observation_table(const ObservationTable& observations);
void check_camera_arrays(const CameraSet& cameras);
void check_subset_spacing(int subset_spacing);
// Every camera index of the table lies inside all four camera arrays; returns
// the largest one (-1 for an empty table).
int check_observation_cameras(const ObservationTable& observations, const CameraSet& cameras);
// A camera chosen by name (cam_a, cam_b) lies inside all four camera arrays.
void check_named_camera(const CameraSet& cameras, int c, const char* name);

// Opens the four DIC stacks in the order dic_u, dic_v, dic_corrcoef,
// dic_valid (each may raise the dimension error) and checks that each covers
// cameras 0..max_camera and the grid extents that sampling addresses.
DicFieldStack open_dic_stack(const py::array_t<double>& dic_u, const py::array_t<double>& dic_v,
                             const py::array_t<double>& dic_corrcoef,
                             const py::array_t<bool>& dic_valid, int reduced_height,
                             int reduced_width, int subset_spacing, int max_camera);

}  // namespace kestrine
