// Strided views of caller-owned arrays: data pointer, extents and byte strides.
// The kernels read and write numpy memory through these without knowing about
// Python, so the C++ tests can hand them plain buffers. Element access checks
// nothing; the binding layer validates extents before a view is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace kestrine {

template <typename T, int N>
struct ArrayView {
    static_assert(N >= 1 && N <= 3, "views have one to three dimensions");
    using Byte = std::conditional_t<std::is_const_v<T>, const unsigned char, unsigned char>;

    Byte* data = nullptr;
    std::int64_t shape[N] = {};
    std::int64_t strides[N] = {};  // in bytes

    std::int64_t extent(int d) const { return shape[d]; }

    T& operator()(std::int64_t i) const {
        static_assert(N == 1, "index count must match the view's dimensions");
        return *reinterpret_cast<T*>(data + i * strides[0]);
    }
    T& operator()(std::int64_t i, std::int64_t j) const {
        static_assert(N == 2, "index count must match the view's dimensions");
        return *reinterpret_cast<T*>(data + i * strides[0] + j * strides[1]);
    }
    T& operator()(std::int64_t i, std::int64_t j, std::int64_t k) const {
        static_assert(N == 3, "index count must match the view's dimensions");
        return *reinterpret_cast<T*>(data + i * strides[0] + j * strides[1] + k * strides[2]);
    }
};

// Contiguous row-major view over a plain buffer (tests, scratch arrays).
template <typename T, int N>
ArrayView<T, N> contiguous_view(T* data, const std::int64_t (&shape)[N]) {
    ArrayView<T, N> view;
    view.data = reinterpret_cast<typename ArrayView<T, N>::Byte*>(data);
    std::int64_t stride = static_cast<std::int64_t>(sizeof(T));
    for (int d = N - 1; d >= 0; --d) {
        view.shape[d] = shape[d];
        view.strides[d] = stride;
        stride *= shape[d];
    }
    return view;
}

// numpy bools are bytes; they are read as bytes so that any non-zero byte
// counts as true without ever loading an invalid C++ bool.
using BoolByte = std::uint8_t;

}  // namespace kestrine
