#include "arrays.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

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

// ---- exact conversion of index arguments ------------------------------------

struct IndexRule {
    const char* name;
    const char* meaning;  // what one value is, for "does not fit ..."
};
constexpr IndexRule kPointIds{"point_indices", "a 64-bit point id"};
constexpr IndexRule kCameraIndices{"cam_indices", "a 32-bit camera index"};
constexpr IndexRule kVertexIndices{"faces", "a 32-bit vertex index"};

// Element types an index argument may hold besides the native ones.
struct Truth {  // numpy bool: any non-zero byte is 1
    std::uint8_t byte;
};
struct Half {  // numpy float16
    std::uint16_t bits;
};

// Every float16 is exactly a float.
float widen(Half h) {
    const int exponent = (h.bits >> 10) & 0x1F;
    const int mantissa = h.bits & 0x3FF;
    float magnitude;
    if (exponent == 0x1F) {
        magnitude = mantissa != 0 ? std::numeric_limits<float>::quiet_NaN()
                                  : std::numeric_limits<float>::infinity();
    } else if (exponent == 0) {
        magnitude = std::ldexp(static_cast<float>(mantissa), -24);
    } else {
        magnitude = std::ldexp(static_cast<float>(mantissa + 0x400), exponent - 25);
    }
    return (h.bits & 0x8000) != 0 ? -magnitude : magnitude;
}

enum class Change { none, not_whole, out_of_range };

// Whether `value` is exactly a T, which is then written to `out`.
template <typename T, typename S>
Change convert_exactly(S value, T& out) {
    if constexpr (std::is_same_v<S, Truth>) {
        out = value.byte != 0 ? 1 : 0;
        return Change::none;
    } else if constexpr (std::is_same_v<S, Half>) {
        return convert_exactly(widen(value), out);
    } else if constexpr (std::is_floating_point_v<S>) {
        if (!std::isfinite(value) || std::trunc(value) != value) {
            return Change::not_whole;
        }
        // -2^(bits-1) is exact in every floating type; a whole number below
        // its negation is at most the largest T.
        const S lowest = static_cast<S>(std::numeric_limits<T>::min());
        if (!(value >= lowest && value < -lowest)) {
            return Change::out_of_range;
        }
        out = static_cast<T>(value);
        return Change::none;
    } else {
        if (!std::in_range<T>(value)) {
            return Change::out_of_range;
        }
        out = static_cast<T>(value);
        return Change::none;
    }
}

// One element of an array in either byte order, from any address.
template <typename S>
S load(const unsigned char* address, bool swapped) {
    unsigned char bytes[sizeof(S)];
    std::memcpy(bytes, address, sizeof(S));
    if (swapped) {
        std::reverse(bytes, bytes + sizeof(S));
    }
    S value;
    std::memcpy(&value, bytes, sizeof(S));
    return value;
}

// The rows and columns of an index argument that the call reads.
struct ReadRegion {
    std::int64_t rows = 0;
    std::int64_t columns = 1;
    const ArrayView<const BoolByte, 1>* mask = nullptr;  // rows it marks false are not read

    bool reads(std::int64_t i, std::int64_t j) const {
        return i < rows && j < columns && (mask == nullptr || (*mask)(i) != 0);
    }
};

[[noreturn]] void refuse(const py::array& given, const IndexRule& rule, int ndim, std::int64_t i,
                         std::int64_t j, Change change) {
    // The value as numpy shows the caller's element, not as it would convert.
    const py::object element = ndim == 1 ? py::object(given[py::int_(i)])
                                          : py::object(given[py::make_tuple(i, j)]);
    const std::string where = ndim == 1 ? "[" + str(i) + "]" : "[" + str(i) + ", " + str(j) + "]";
    fail(std::string(rule.name) + where + " = " + py::str(element).cast<std::string>() +
         (change == Change::not_whole ? std::string(" is not a whole number")
                                      : std::string(" does not fit ") + rule.meaning));
}

// Writes every element of `out` (C-contiguous, the shape of `given`): the
// converted value where the call reads, 0 elsewhere.
template <typename T, typename S>
void convert_elements(const py::array& given, T* out, const IndexRule& rule,
                      const ReadRegion& region) {
    const int ndim = static_cast<int>(given.ndim());
    const std::int64_t rows = given.shape(0);
    const std::int64_t columns = ndim == 2 ? given.shape(1) : 1;
    const std::int64_t row_stride = given.strides(0);
    const std::int64_t column_stride = ndim == 2 ? given.strides(1) : 0;
    const auto* data = static_cast<const unsigned char*>(given.data());
    const char foreign = std::endian::native == std::endian::little ? '>' : '<';
    const bool swapped = given.dtype().byteorder() == foreign;
    for (std::int64_t i = 0; i < rows; ++i) {
        for (std::int64_t j = 0; j < columns; ++j) {
            T value = 0;
            if (region.reads(i, j)) {
                const S element = load<S>(data + i * row_stride + j * column_stride, swapped);
                const Change change = convert_exactly(element, value);
                if (change != Change::none) {
                    refuse(given, rule, ndim, i, j, change);
                }
            }
            out[i * columns + j] = value;
        }
    }
}

template <typename T, int N>
ArrayView<const T, N> exact_view(IndexArray<T>& index, const IndexRule& rule,
                                 const ReadRegion& region) {
    const auto given = py::reinterpret_borrow<py::array>(index.given);
    const py::dtype type = given.dtype();
    if (type.equal(py::dtype::of<T>())) {
        return view_of<T, N>(given);
    }
    py::array_t<T> converted(std::vector<py::ssize_t>(given.shape(), given.shape() + N));
    T* out = converted.mutable_data();
    const auto size = type.itemsize();
    switch (type.kind()) {
        case 'b':
            convert_elements<T, Truth>(given, out, rule, region);
            break;
        case 'i':
            if (size == 1) convert_elements<T, std::int8_t>(given, out, rule, region);
            if (size == 2) convert_elements<T, std::int16_t>(given, out, rule, region);
            if (size == 4) convert_elements<T, std::int32_t>(given, out, rule, region);
            if (size == 8) convert_elements<T, std::int64_t>(given, out, rule, region);
            break;
        case 'u':
            if (size == 1) convert_elements<T, std::uint8_t>(given, out, rule, region);
            if (size == 2) convert_elements<T, std::uint16_t>(given, out, rule, region);
            if (size == 4) convert_elements<T, std::uint32_t>(given, out, rule, region);
            if (size == 8) convert_elements<T, std::uint64_t>(given, out, rule, region);
            break;
        default:  // 'f'
            if (size == 2) convert_elements<T, Half>(given, out, rule, region);
            if (size == 4) convert_elements<T, float>(given, out, rule, region);
            if (size == 8) convert_elements<T, double>(given, out, rule, region);
            if (size == static_cast<py::ssize_t>(sizeof(long double)) && size != 8) {
                convert_elements<T, long double>(given, out, rule, region);
            }
            break;
    }
    index.converted = converted;
    return view_of<T, N>(converted);
}

std::string too_few_columns(const char* name, std::int64_t columns) {
    return std::string(name) + " has " + std::to_string(columns) +
           " columns; at least 3 (x, y, z or three vertex indices) are required";
}

}  // namespace

bool is_index_dtype(const py::dtype& type) {
    const auto size = type.itemsize();
    switch (type.kind()) {
        case 'b':
            return size == 1;
        case 'i':
        case 'u':
            return size == 1 || size == 2 || size == 4 || size == 8;
        case 'f':
            return size == 2 || size == 4 || size == 8 ||
                   (size == static_cast<py::ssize_t>(sizeof(long double)) && type.char_() == 'g');
        default:
            return false;
    }
}

ArrayView<const std::int64_t, 1> point_id_view(IndexArray<std::int64_t>& point_indices) {
    ReadRegion region;
    region.rows = py::reinterpret_borrow<py::array>(point_indices.given).shape(0);
    return exact_view<std::int64_t, 1>(point_indices, kPointIds, region);
}

ArrayView<const std::int32_t, 1> camera_index_view(IndexArray<std::int32_t>& cam_indices,
                                                   std::int64_t rows) {
    ReadRegion region;
    region.rows = rows;
    return exact_view<std::int32_t, 1>(cam_indices, kCameraIndices, region);
}

ArrayView<const std::int32_t, 2> vertex_index_view(IndexArray<std::int32_t>& faces,
                                                   const ArrayView<const BoolByte, 1>& valid_faces) {
    ReadRegion region;
    region.rows = valid_faces.extent(0);
    region.columns = 3;
    region.mask = &valid_faces;
    return exact_view<std::int32_t, 2>(faces, kVertexIndices, region);
}

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
    // The extremes first, a vector at a time where the column is contiguous;
    // the row of a bad index is looked for only when there is one.
    int lowest = 0;
    int max_camera = -1;
    const auto extremes = [&](auto camera) {
        int lo = M > 0 ? camera(0) : 0;
        int hi = M > 0 ? camera(0) : -1;
        for (std::int64_t i = 1; i < M; ++i) {
            const int c = camera(i);
            lo = c < lo ? c : lo;
            hi = c > hi ? c : hi;
        }
        lowest = lo;
        max_camera = hi;
    };
    with_reader(observations.cam_indices, extremes);
    if (lowest < 0 || max_camera >= cameras_in_all) {
        for (std::int64_t i = 0; i < M; ++i) {
            const int c = observations.cam_indices(i);
            if (c < 0 || c >= cameras_in_all) {
                check_camera(cameras, c, "cam_indices[" + str(i) + "]");
            }
        }
    }
    return max_camera;
}

void check_named_camera(const CameraSet& cameras, int c, const char* name) {
    check_camera(cameras, c, name);
}

void check_surface_inputs(const SurfaceInputs& in) {
    const std::int64_t M = in.faces.shape[0];
    if (M > 0 && in.faces.shape[1] < 3) {
        fail(too_few_columns("faces", in.faces.shape[1]));
    }
    if (in.valid_faces.shape[0] < M) {
        fail("valid_faces has " + str(in.valid_faces.shape[0]) + " entries but faces has " +
             str(M) + " rows");
    }
    bool any_valid = false;
    for (std::int64_t i = 0; i < M && !any_valid; ++i) {
        any_valid = in.valid_faces(i) != 0;
    }
    if (!any_valid) {
        return;
    }
    if (in.points_ref.shape[1] < 3) {
        fail(too_few_columns("points_ref", in.points_ref.shape[1]));
    }
    if (in.points_def.shape[1] < 3) {
        fail(too_few_columns("points_def", in.points_def.shape[1]));
    }
    const std::int64_t rows_ref = in.points_ref.shape[0];
    const std::int64_t rows_def = in.points_def.shape[0];
    for (std::int64_t i = 0; i < M; ++i) {
        if (in.valid_faces(i) == 0) {
            continue;
        }
        for (int j = 0; j < 3; ++j) {
            const std::int32_t index = in.faces(i, j);
            const char* outside = nullptr;
            std::int64_t rows = 0;
            if (index < 0 || index >= rows_ref) {
                outside = "points_ref";
                rows = rows_ref;
            } else if (index >= rows_def) {
                outside = "points_def";
                rows = rows_def;
            }
            if (outside != nullptr) {
                fail("faces[" + str(i) + ", " + str(j) + "] = " + str(index) + " is outside " +
                     outside + " (" + str(rows) + " rows)");
            }
        }
    }
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

void shrink_rows(py::dict& result, py::ssize_t rows) {
    for (const auto item : result) {
        py::array array = py::reinterpret_borrow<py::array>(item.second);
        std::vector<py::ssize_t> shape(array.shape(), array.shape() + array.ndim());
        shape[0] = rows;
        array.resize(shape, false);
    }
}

}  // namespace kestrine
