// Strided views of caller-owned arrays: data pointer, extents and byte strides.
// The kernels read and write numpy memory through these without knowing about
// Python, so the C++ tests can hand them plain buffers. Element access checks
// nothing; the binding layer validates extents before a view is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

    // Byte address of an element (for prefetching and writing).
    Byte* address(std::int64_t i) const {
        static_assert(N == 1, "index count must match the view's dimensions");
        return data + i * strides[0];
    }
    Byte* address(std::int64_t i, std::int64_t j) const {
        static_assert(N == 2, "index count must match the view's dimensions");
        return data + i * strides[0] + j * strides[1];
    }
    Byte* address(std::int64_t i, std::int64_t j, std::int64_t k) const {
        static_assert(N == 3, "index count must match the view's dimensions");
        return data + i * strides[0] + j * strides[1] + k * strides[2];
    }

    // Read views return values: a caller's array of the right dtype is used
    // in place even when it is not aligned for its element type (a field of
    // a packed record, a buffer at an odd offset), so elements are copied
    // out bytewise, which compiles to a plain load. Write views only ever
    // cover new, aligned result arrays and return references.
    template <typename... Index>
    decltype(auto) operator()(Index... index) const {
        static_assert(sizeof...(Index) == N, "index count must match the view's dimensions");
        Byte* element = address(static_cast<std::int64_t>(index)...);
        if constexpr (std::is_const_v<T>) {
            std::remove_const_t<T> value;
            std::memcpy(&value, element, sizeof value);
            return value;
        } else {
            return *reinterpret_cast<T*>(element);
        }
    }
};

// Runs fn(read) with read(i) giving element i of a one-dimensional view: for
// a contiguous view a plain indexed load, which lets a scan over it run a
// vector at a time; otherwise the view's strided access.
template <typename T, typename Fn>
void with_reader(const ArrayView<const T, 1>& view, Fn&& fn) {
    if (view.strides[0] == static_cast<std::int64_t>(sizeof(T))) {
        const unsigned char* const data = view.data;
        fn([data](std::int64_t i) {
            T value;
            std::memcpy(&value, data + i * static_cast<std::int64_t>(sizeof(T)), sizeof value);
            return value;
        });
    } else {
        fn([&view](std::int64_t i) { return view(i); });
    }
}

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

// The element a view of a T array addresses (numpy bools as bytes).
template <typename T>
using Element = std::conditional_t<std::is_same_v<T, bool>, BoolByte, T>;

// Result tables. Each function lists its result arrays once, in the order of
// its returned dict, as X(key, element type, (extents after the row count));
// that one list declares the kernels' output views and drives allocation and
// the dict. KESTRINE_EXTENTS turns "(3, 3)" into ", 3, 3" and "()" into "".
#define KESTRINE_EXTENTS_OF(...) __VA_OPT__(, ) __VA_ARGS__
#define KESTRINE_EXTENTS(tail) KESTRINE_EXTENTS_OF tail

// Write view of a result array with `extents` after its row count.
template <typename T, int... extents>
using ResultView = ArrayView<Element<T>, 1 + sizeof...(extents)>;

#define KESTRINE_RESULT_VIEW(key, type, tail) ResultView<type KESTRINE_EXTENTS(tail)> key;

// Bytes of one row of a C-contiguous result with `extents` after its row count.
template <typename T, int... extents>
constexpr std::size_t result_row_bytes() {
    return sizeof(Element<T>) * (std::size_t{1} * ... * static_cast<std::size_t>(extents));
}

}  // namespace kestrine
