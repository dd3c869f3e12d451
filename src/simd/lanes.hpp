// The lane type: W doubles computed side by side, one independent element
// (face, track, point) per lane. Kernels that use lanes are templates over a
// target (Baseline, Avx2, Avx512) and contain no intrinsics; everything that
// depends on the instruction set lives here.
//
// Every operation is IEEE double arithmetic per lane (add, sub, mul, div,
// sqrt are correctly rounded), so a lane computes bit for bit what the
// scalar code computes. There is deliberately no fused multiply-add: a
// contraction would change bits. Per-lane decisions are masks: compute what a
// lane needs, then select what it keeps; a lane never takes another
// arithmetic path than the scalar code would.
#pragma once

#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#define KESTRINE_LANE [[gnu::always_inline]] inline

namespace kestrine::simd {

typedef double Double2 __attribute__((vector_size(16)));
typedef std::int64_t Mask2 __attribute__((vector_size(16)));
typedef double Double4 __attribute__((vector_size(32)));
typedef std::int64_t Mask4 __attribute__((vector_size(32)));
typedef double Double8 __attribute__((vector_size(64)));
typedef std::int64_t Mask8 __attribute__((vector_size(64)));

// Two lanes: SSE2 on x86-64 (always present there), plain vector code on
// other architectures.
struct Baseline {
    static constexpr int width = 2;
    using D = Double2;
    using M = Mask2;
    KESTRINE_LANE static D sqrt(D x) {
#if defined(__x86_64__)
        return _mm_sqrt_pd(x);
#else
        D r;
        for (int i = 0; i < width; ++i) {
            r[i] = __builtin_sqrt(x[i]);
        }
        return r;
#endif
    }
    KESTRINE_LANE static bool any(M m) {
#if defined(__x86_64__)
        return _mm_movemask_pd(reinterpret_cast<__m128d>(m)) != 0;
#else
        return (m[0] | m[1]) != 0;
#endif
    }
    KESTRINE_LANE static D gather(const unsigned char* base, M offset) {
        D r;
        for (int i = 0; i < width; ++i) {
            std::memcpy(&r[i], base + offset[i], sizeof(double));
        }
        return r;
    }
    KESTRINE_LANE static D gather_where(M m, const unsigned char* base, M offset) {
        D r = {};
        for (int i = 0; i < width; ++i) {
            if (m[i] != 0) {
                std::memcpy(&r[i], base + offset[i], sizeof(double));
            }
        }
        return r;
    }
    KESTRINE_LANE static D floor(D x) {
        for (int i = 0; i < width; ++i) {
            x[i] = __builtin_floor(x[i]);
        }
        return x;
    }
    KESTRINE_LANE static D trunc(D x) {
        for (int i = 0; i < width; ++i) {
            x[i] = __builtin_trunc(x[i]);
        }
        return x;
    }
    KESTRINE_LANE static M to_index(D x) {
        M r;
        for (int i = 0; i < width; ++i) {
            r[i] = static_cast<std::int32_t>(x[i]);
        }
        return r;
    }
    KESTRINE_LANE static M gather_int32(const std::int32_t* base, M index) {
        M r;
        for (int i = 0; i < width; ++i) {
            r[i] = base[index[i]];
        }
        return r;
    }
    KESTRINE_LANE static D lookup(D table, M index) {
        D r;
        for (int i = 0; i < width; ++i) {
            r[i] = table[index[i] & (width - 1)];
        }
        return r;
    }
    KESTRINE_LANE static void load_pairs(const unsigned char* base, M offset, D& first, D& second) {
        for (int i = 0; i < width; ++i) {
            std::memcpy(&first[i], base + offset[i], sizeof(double));
            std::memcpy(&second[i], base + offset[i] + sizeof(double), sizeof(double));
        }
    }
};

#if defined(__x86_64__)

#pragma GCC push_options
#pragma GCC target("avx2")
struct Avx2 {
    static constexpr int width = 4;
    using D = Double4;
    using M = Mask4;
    KESTRINE_LANE static D sqrt(D x) { return _mm256_sqrt_pd(x); }
    KESTRINE_LANE static bool any(M m) {
        return _mm256_movemask_pd(reinterpret_cast<__m256d>(m)) != 0;
    }
    KESTRINE_LANE static D gather(const unsigned char* base, M offset) {
        return _mm256_i64gather_pd(reinterpret_cast<const double*>(base),
                                   reinterpret_cast<__m256i>(offset), 1);
    }
    KESTRINE_LANE static D gather_where(M m, const unsigned char* base, M offset) {
        return _mm256_mask_i64gather_pd(_mm256_setzero_pd(), reinterpret_cast<const double*>(base),
                                        reinterpret_cast<__m256i>(offset),
                                        reinterpret_cast<__m256d>(m), 1);
    }
    KESTRINE_LANE static D floor(D x) { return _mm256_round_pd(x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC); }
    KESTRINE_LANE static D trunc(D x) { return _mm256_round_pd(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC); }
    KESTRINE_LANE static M to_index(D x) {
        return reinterpret_cast<M>(_mm256_cvtepi32_epi64(_mm256_cvttpd_epi32(x)));
    }
    KESTRINE_LANE static M gather_int32(const std::int32_t* base, M index) {
        const __m128i narrow = _mm256_i64gather_epi32(reinterpret_cast<const int*>(base),
                                                      reinterpret_cast<__m256i>(index), 4);
        return reinterpret_cast<M>(_mm256_cvtepi32_epi64(narrow));
    }
    KESTRINE_LANE static void load_pairs(const unsigned char* base, M offset, D& first, D& second) {
        const auto pair = [&](int i) { return _mm_loadu_pd(reinterpret_cast<const double*>(base + offset[i])); };
        const __m256d a = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(0)), pair(1), 1);
        const __m256d b = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(2)), pair(3), 1);
        first = _mm256_permute4x64_pd(_mm256_unpacklo_pd(a, b), 0xD8);
        second = _mm256_permute4x64_pd(_mm256_unpackhi_pd(a, b), 0xD8);
    }
    // Doubles permuted as pairs of 32-bit halves: entry i is halves 2i, 2i + 1.
    KESTRINE_LANE static D lookup(D table, M index) {
        const M half = (index & 3) * 2;
        const M pairs = half | ((half + 1) << 32);
        return reinterpret_cast<D>(_mm256_permutevar8x32_ps(reinterpret_cast<__m256>(table),
                                                            reinterpret_cast<__m256i>(pairs)));
    }
};
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx512f")
struct Avx512 {
    static constexpr int width = 8;
    using D = Double8;
    using M = Mask8;
    // The masked form with every lane selected: the same instruction, without
    // the undefined pass-through operand that trips GCC's warnings.
    KESTRINE_LANE static D sqrt(D x) { return _mm512_mask_sqrt_pd(x, 0xFF, x); }
    KESTRINE_LANE static bool any(M m) {
        return _mm512_test_epi64_mask(reinterpret_cast<__m512i>(m),
                                      reinterpret_cast<__m512i>(m)) != 0;
    }
    KESTRINE_LANE static D gather(const unsigned char* base, M offset) {
        return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF,
                                        reinterpret_cast<__m512i>(offset), base, 1);
    }
    KESTRINE_LANE static D gather_where(M m, const unsigned char* base, M offset) {
        const __mmask8 k = _mm512_test_epi64_mask(reinterpret_cast<__m512i>(m),
                                                  reinterpret_cast<__m512i>(m));
        return _mm512_mask_i64gather_pd(_mm512_setzero_pd(), k, reinterpret_cast<__m512i>(offset),
                                        base, 1);
    }
    // Masked forms with every lane selected, as for sqrt.
    KESTRINE_LANE static D floor(D x) {
        return _mm512_mask_roundscale_pd(x, 0xFF, x, _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    }
    KESTRINE_LANE static D trunc(D x) {
        return _mm512_mask_roundscale_pd(x, 0xFF, x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    }
    KESTRINE_LANE static M to_index(D x) {
        const __m256i narrow = _mm512_mask_cvttpd_epi32(_mm256_setzero_si256(), 0xFF, x);
        return reinterpret_cast<M>(_mm512_mask_cvtepi32_epi64(_mm512_setzero_si512(), 0xFF, narrow));
    }
    KESTRINE_LANE static M gather_int32(const std::int32_t* base, M index) {
        const __m256i narrow = _mm512_mask_i64gather_epi32(
            _mm256_setzero_si256(), 0xFF, reinterpret_cast<__m512i>(index), base, 4);
        return reinterpret_cast<M>(_mm512_mask_cvtepi32_epi64(_mm512_setzero_si512(), 0xFF, narrow));
    }
    KESTRINE_LANE static D lookup(D table, M index) {
        return _mm512_mask_permutexvar_pd(table, 0xFF, reinterpret_cast<__m512i>(index), table);
    }
    KESTRINE_LANE static void load_pairs(const unsigned char* base, M offset, D& first, D& second) {
        const auto pair = [&](int i) { return _mm_loadu_pd(reinterpret_cast<const double*>(base + offset[i])); };
        const auto four = [&](int i) {
            const __m256d lo = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(i)), pair(i + 1), 1);
            const __m256d hi = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(i + 2)), pair(i + 3), 1);
            // Masked broadcasts: the unmasked insert leaves GCC warning
            // about its undefined pass-through operand.
            const __m512d low = _mm512_mask_broadcast_f64x4(_mm512_setzero_pd(), 0x0F, lo);
            return _mm512_mask_broadcast_f64x4(low, 0xF0, hi);
        };
        const __m512d a = four(0);
        const __m512d b = four(4);
        first = _mm512_permutex2var_pd(a, _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0), b);
        second = _mm512_permutex2var_pd(a, _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1), b);
    }
};
#pragma GCC pop_options

#endif

// Operations common to every target, in generic vector code. This header is
// included after a translation unit has chosen its instruction set, so they
// compile for that set.

template <typename L>
KESTRINE_LANE typename L::D broadcast(double x) {
    return typename L::D{} + x;
}

template <typename L>
KESTRINE_LANE typename L::D load(const double* p) {
    typename L::D v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <typename L>
KESTRINE_LANE void store(double* p, typename L::D v) {
    std::memcpy(p, &v, sizeof v);
}

// Lane i holds the double at base + offset[i] bytes: one element per lane
// from a strided view, at any alignment.
template <typename L>
KESTRINE_LANE typename L::D gather(const unsigned char* base, typename L::M offset) {
    return L::gather(base, offset);
}

// As gather, in the lanes of m only; the other lanes read nothing and hold 0.
template <typename L>
KESTRINE_LANE typename L::D gather_where(typename L::M m, const unsigned char* base,
                                         typename L::M offset) {
    return L::gather_where(m, base, offset);
}

// base[index] per lane, widened.
template <typename L>
KESTRINE_LANE typename L::M gather_int32(const std::int32_t* base, typename L::M index) {
    return L::gather_int32(base, index);
}

// table[index] per lane, for indices below the width: a table of W values
// held in one register (read by a permutation, not from memory).
template <typename L>
KESTRINE_LANE typename L::D lookup(typename L::D table, typename L::M index) {
    return L::lookup(table, index);
}

// The two adjacent doubles at base + offset[i] in lane i of first and of
// second: one 16-byte load per lane where a gather would take two elements.
template <typename L>
KESTRINE_LANE void load_pairs(const unsigned char* base, typename L::M offset, typename L::D& first,
                              typename L::D& second) {
    L::load_pairs(base, offset, first, second);
}

// x rounded down, and toward zero: std::floor and std::trunc per lane.
template <typename L>
KESTRINE_LANE typename L::D floor(typename L::D x) {
    return L::floor(x);
}

template <typename L>
KESTRINE_LANE typename L::D trunc(typename L::D x) {
    return L::trunc(x);
}

// Whole numbers within 32-bit range as per-lane integers.
template <typename L>
KESTRINE_LANE typename L::M to_index(typename L::D x) {
    return L::to_index(x);
}

// W consecutive 64-bit integers.
template <typename L>
KESTRINE_LANE typename L::M load_int64(const std::int64_t* p) {
    typename L::M v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// W consecutive 32-bit integers (camera indices, owners), widened per lane.
template <typename L>
KESTRINE_LANE typename L::M load_int32(const std::int32_t* p) {
    typedef std::int32_t Int32s __attribute__((vector_size(4 * L::width)));
    Int32s v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_convertvector(v, typename L::M);
}

// a where m is set, b elsewhere.
template <typename L>
KESTRINE_LANE typename L::D select(typename L::M m, typename L::D a, typename L::D b) {
    return m ? a : b;
}

// a where m is set, b elsewhere, for per-lane integers (indices, masks).
template <typename L>
KESTRINE_LANE typename L::M select(typename L::M m, typename L::M a, typename L::M b) {
    return m ? a : b;
}

// Every lane holds the integer i.
template <typename L>
KESTRINE_LANE typename L::M index_lanes(std::int64_t i) {
    return typename L::M{} + i;
}

// |x|, by clearing the sign bit: the same bits as fabs, NaN payloads kept.
template <typename L>
KESTRINE_LANE typename L::D abs(typename L::D x) {
    using M = typename L::M;
    const M magnitude = M{} + std::numeric_limits<std::int64_t>::max();
    return reinterpret_cast<typename L::D>(reinterpret_cast<M>(x) & magnitude);
}

// Neither NaN nor infinite.
template <typename L>
KESTRINE_LANE typename L::M finite(typename L::D x) {
    return abs<L>(x) <= std::numeric_limits<double>::max();
}

template <typename L>
KESTRINE_LANE bool any(typename L::M m) {
    return L::any(m);
}

template <typename L>
KESTRINE_LANE bool all(typename L::M m) {
    return !L::any(~m);
}

template <typename L>
KESTRINE_LANE typename L::M mask_of(bool b) {
    return typename L::M{} + (b ? std::int64_t{-1} : std::int64_t{0});
}

}  // namespace kestrine::simd
