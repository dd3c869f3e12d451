// The boundary between numpy and the kernels: opening strided views of the
// caller's arrays, converting index arguments exactly, checking that the
// arrays are large enough for what the kernels will read, and creating result
// arrays. Every caller mistake found here raises ValueError naming the
// argument, before any result exists.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstdint>
#include <type_traits>
#include <vector>

#include "camera.hpp"
#include "deformation.hpp"
#include "dic_sampling.hpp"
#include "observations.hpp"
#include "result_memory.hpp"
#include "views.hpp"

namespace kestrine {

namespace py = pybind11;

// View of an array whose dimension count and element type the caller has
// established.
template <typename T, int N>
ArrayView<const T, N> view_of(const py::array& array) {
    ArrayView<const T, N> view;
    view.data = reinterpret_cast<const unsigned char*>(array.data());
    for (int d = 0; d < N; ++d) {
        view.shape[d] = array.shape(d);
        view.strides[d] = array.strides(d);
    }
    return view;
}

// Read view of an argument array. The dimension check is pybind11's own, so
// a wrong dimension count raises its usual ValueError; nothing is copied.
template <typename T, int N>
ArrayView<const Element<T>, N> read_view(const py::array_t<T>& array) {
    (void)array.template unchecked<N>();
    return view_of<Element<T>, N>(array);
}

// An index argument (point ids, camera or vertex indices) as the caller gave
// it: numpy's array of any array-like whose values are bool, integer or real
// floating. Read through the views below, which convert it to T.
template <typename T>
struct IndexArray {
    py::object given;      // a numpy array
    py::object converted;  // the copy of dtype T, when one was needed
};

// Whether an index argument of this dtype is taken (and read by the views).
bool is_index_dtype(const py::dtype& type);

// The dimension check of read_view, with pybind11's message.
template <int N, typename T>
void check_dimensions(const IndexArray<T>& index) {
    (void)py::reinterpret_borrow<py::array>(index.given).template unchecked<unsigned char, N>();
}

// The index arguments as the kernels read them, once their dimension counts
// are checked. Every value that the call reads must convert unchanged: an
// integer within the target range, or a float that is such a whole number;
// otherwise ValueError names the argument, the position and the value as the
// caller gave it. An array already of the target dtype is read in place; any
// other is converted in one checking pass into a copy held by the argument
// (its unread elements hold 0).
//
// point_indices: every entry.
ArrayView<const std::int64_t, 1> point_id_view(IndexArray<std::int64_t>& point_indices);
// cam_indices: the first `rows` entries, one per observation.
ArrayView<const std::int32_t, 1> camera_index_view(IndexArray<std::int32_t>& cam_indices,
                                                   std::int64_t rows);
// faces: the first three columns of the rows that valid_faces covers and marks.
ArrayView<const std::int32_t, 2> vertex_index_view(IndexArray<std::int32_t>& faces,
                                                   const ArrayView<const BoolByte, 1>& valid_faces);

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

// A new result array of n rows, inserted into result under key; returns its
// write view. Called in a result table's order, it builds the dict in order.
template <typename T, int... extents>
ResultView<T, extents...> add_result(py::dict& result, const char* key, py::ssize_t n) {
    ResultArray<T, 1 + sizeof...(extents)> created({n, extents...});
    result[key] = created.array;
    return created.view;
}

#define KESTRINE_ADD_RESULT(key, type, tail) \
    out.key = add_result<type KESTRINE_EXTENTS(tail)>(result, #key, rows);

// While alive, numpy takes the data of new arrays on this thread from one
// huge-page arena for `bytes` in `arrays` arrays (result_memory.hpp), when
// that is large enough to pay; otherwise, or if numpy refuses the handler,
// it allocates as usual. The arrays own their data either way.
class ResultMemory {
public:
    ResultMemory(std::size_t bytes, std::size_t arrays);
    ~ResultMemory();
    ResultMemory(const ResultMemory&) = delete;
    ResultMemory& operator=(const ResultMemory&) = delete;

private:
    struct Handler* handler_ = nullptr;
    PyObject* previous_ = nullptr;
};

#define KESTRINE_RESULT_ROW_BYTES(key, type, tail) +result_row_bytes<type KESTRINE_EXTENTS(tail)>()
#define KESTRINE_RESULT_COUNT(key, type, tail) +1

// Creates every array of a result table at `rows` rows, in its order, into
// the dict `result` and the views `out`, sharing one arena when large.
#define KESTRINE_CREATE_RESULTS(TABLE)                                                   \
    {                                                                                    \
        const ResultMemory memory(                                                       \
            static_cast<std::size_t>(rows) * (0 TABLE(KESTRINE_RESULT_ROW_BYTES)),       \
            0 TABLE(KESTRINE_RESULT_COUNT));                                             \
        TABLE(KESTRINE_ADD_RESULT)                                                       \
    }

// Keeps the first `rows` rows of every array of result. The arrays are new
// and unshared, so numpy reallocates their memory in place (no copy where the
// allocator can shrink) and they stay C-contiguous and own their data.
void shrink_rows(py::dict& result, py::ssize_t rows);

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

// The surface function's arguments are safe to read. Checked in order:
// faces with rows but fewer than 3 columns; valid_faces shorter than faces; a
// point array with fewer than 3 columns while some face is valid; a valid
// face's index outside points_ref or points_def. Indices of masked-out faces
// are never read.
void check_surface_inputs(const SurfaceInputs& in);

// Opens the four DIC stacks in the order dic_u, dic_v, dic_corrcoef,
// dic_valid (each may raise the dimension error) and checks that each covers
// cameras 0..max_camera and the grid extents that sampling addresses.
DicFieldStack open_dic_stack(const py::array_t<double>& dic_u, const py::array_t<double>& dic_v,
                             const py::array_t<double>& dic_corrcoef,
                             const py::array_t<bool>& dic_valid, int reduced_height,
                             int reduced_width, int subset_spacing, int max_camera);

}  // namespace kestrine

namespace pybind11::detail {

// Index arguments take any array-like numpy can read (its values are checked
// when they are read) and render like every other array argument.
template <typename T>
struct type_caster<kestrine::IndexArray<T>> {
    PYBIND11_TYPE_CASTER(kestrine::IndexArray<T>, handle_type_name<array_t<T>>::name);

    bool load(handle src, bool convert) {
        if (!convert && !isinstance<array>(src)) {
            return false;
        }
        array given = array::ensure(src);
        if (given && given.dtype().kind() == 'O') {
            // Python numbers in an object array: take the dtype numpy would
            // give the same numbers in a list.
            given = array::ensure(given.attr("tolist")());
        }
        if (!given || !kestrine::is_index_dtype(given.dtype())) {
            return false;
        }
        value.given = std::move(given);
        return true;
    }

    static handle cast(const kestrine::IndexArray<T>& src, return_value_policy, handle) {
        return src.given.inc_ref();
    }
};

}  // namespace pybind11::detail
