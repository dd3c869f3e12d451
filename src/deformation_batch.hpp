// compute_surface_rows for W faces at a time, one face per lane. Every lane
// performs exactly the operations of triangle_kinematics and strain_measures
// in their order; rejections, pivots that differ between faces and
// eigen-solves that stop at different rotations are masks and selects, so
// each output bit equals the scalar kernels'. Included only by the per-target
// translation units (simd/target_*.cpp).
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "deformation.hpp"
#include "simd/lanes.hpp"

namespace kestrine::simd {

template <typename L>
struct Vec3 {
    typename L::D x, y, z;
};

// Row-major 3 x 3, element (r, c) at m[r * 3 + c].
template <typename L>
struct Mat3 {
    typename L::D m[9];
};

template <typename L>
typename L::D dot(const Vec3<L>& a, const Vec3<L>& b) {
    return (a.x * b.x + a.y * b.y) + a.z * b.z;
}

template <typename L>
Vec3<L> subtract(const Vec3<L>& a, const Vec3<L>& b) {
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}

template <typename L>
Vec3<L> cross(const Vec3<L>& a, const Vec3<L>& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

template <typename L>
Vec3<L> scaled(const Vec3<L>& a, typename L::D s) {
    return {a.x * s, a.y * s, a.z * s};
}

template <typename L>
typename L::M all_finite(const Vec3<L>& a) {
    return finite<L>(a.x) & finite<L>(a.y) & finite<L>(a.z);
}

template <typename L>
Mat3<L> outer(const Vec3<L>& a, const Vec3<L>& b) {
    const typename L::D av[3] = {a.x, a.y, a.z};
    const typename L::D bv[3] = {b.x, b.y, b.z};
    Mat3<L> out;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out.m[r * 3 + c] = av[r] * bv[c];
        }
    }
    return out;
}

template <typename L>
Mat3<L> add(const Mat3<L>& A, const Mat3<L>& B) {
    Mat3<L> out;
    for (int k = 0; k < 9; ++k) {
        out.m[k] = A.m[k] + B.m[k];
    }
    return out;
}

template <typename L>
Mat3<L> matmul(const Mat3<L>& A, const Mat3<L>& B) {
    Mat3<L> out;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out.m[r * 3 + c] = (A.m[r * 3] * B.m[c] + A.m[r * 3 + 1] * B.m[3 + c]) +
                               A.m[r * 3 + 2] * B.m[6 + c];
        }
    }
    return out;
}

template <typename L>
Mat3<L> transpose(const Mat3<L>& A) {
    Mat3<L> out;
    for (int r = 0; r < 3; ++r) {
        for (int c = 0; c < 3; ++c) {
            out.m[r * 3 + c] = A.m[c * 3 + r];
        }
    }
    return out;
}

template <typename L>
typename L::D det(const Mat3<L>& M) {
    const auto& A = M.m;
    return (A[0] * (A[4] * A[8] - A[5] * A[7]) - A[1] * (A[3] * A[8] - A[5] * A[6])) +
           A[2] * (A[3] * A[7] - A[4] * A[6]);
}

template <typename L>
typename L::D frobenius_norm(const Mat3<L>& A) {
    typename L::D sum = broadcast<L>(0.0);
    for (int k = 0; k < 9; ++k) {
        sum += A.m[k] * A.m[k];
    }
    return L::sqrt(sum);
}

// The inputs of W faces, one per lane; lanes outside the mask hold finite
// placeholders and their results are never used.
template <typename L>
struct FaceLanes {
    Vec3<L> X1, X2, X3, x1, x2, x3;
    typename L::M usable;  // valid_faces set and every vertex inside both arrays
};

template <typename L>
struct KinematicsLanes {
    typename L::M ok;
    Vec3<L> D3, d3;
    typename L::D twice_area;
    Mat3<L> F, C, E, e;
};

template <typename L>
KinematicsLanes<L> triangle_kinematics_lanes(const FaceLanes<L>& in) {
    using D = typename L::D;
    KinematicsLanes<L> k;
    k.ok = in.usable & all_finite(in.X1) & all_finite(in.X2) & all_finite(in.X3) &
           all_finite(in.x1) & all_finite(in.x2) & all_finite(in.x3);
    const Vec3<L> D1 = subtract(in.X2, in.X1);
    const Vec3<L> D2 = subtract(in.X3, in.X1);
    const Vec3<L> d1 = subtract(in.x2, in.x1);
    const Vec3<L> d2 = subtract(in.x3, in.x1);
    const Vec3<L> crossD = cross(D1, D2);
    const Vec3<L> crossd = cross(d1, d2);
    const D nD = L::sqrt(dot(crossD, crossD));
    const D nd = L::sqrt(dot(crossd, crossd));
    k.ok &= ~((nD <= 1e-18) | (nd <= 1e-18));
    const D one = broadcast<L>(1.0);
    k.D3 = scaled(crossD, one / nD);
    k.d3 = scaled(crossd, one / nd);
    k.twice_area = dot(crossD, k.D3);
    k.ok &= ~(abs<L>(k.twice_area) <= 1e-18);
    const Vec3<L> Drec1 = scaled(cross(D2, k.D3), one / k.twice_area);
    const Vec3<L> Drec2 = scaled(cross(k.D3, D1), one / k.twice_area);
    k.F = add(add(outer(d1, Drec1), outer(d2, Drec2)), outer(k.d3, k.D3));
    k.C = matmul(transpose(k.F), k.F);
    const Mat3<L> B = matmul(k.F, transpose(k.F));
    const D d = det(B);
    k.ok &= ~((abs<L>(d) <= 1e-18) | ~finite<L>(d));
    const D r = one / d;
    const auto& A = B.m;
    const D B_inv[9] = {(A[4] * A[8] - A[5] * A[7]) * r, (A[2] * A[7] - A[1] * A[8]) * r,
                        (A[1] * A[5] - A[2] * A[4]) * r, (A[5] * A[6] - A[3] * A[8]) * r,
                        (A[0] * A[8] - A[2] * A[6]) * r, (A[2] * A[3] - A[0] * A[5]) * r,
                        (A[3] * A[7] - A[4] * A[6]) * r, (A[1] * A[6] - A[0] * A[7]) * r,
                        (A[0] * A[4] - A[1] * A[3]) * r};
    for (int i = 0; i < 9; ++i) {
        const double delta = (i == 0 || i == 4 || i == 8) ? 1.0 : 0.0;
        k.E.m[i] = 0.5 * (k.C.m[i] - delta);
        k.e.m[i] = 0.5 * (delta - B_inv[i]);
    }
    return k;
}

// ---- Jacobi eigen-solver, one matrix per lane -------------------------------

// Rotation (p, q) of A and V with each lane's own cosine and sine: columns p
// and q of A, then rows p and q of the updated A, then columns p and q of V.
template <int p, int q, typename L>
[[gnu::always_inline]] inline void jacobi3_rotation(typename L::D* A, typename L::D* V, typename L::D c, typename L::D s) {
    for (int k = 0; k < 3; ++k) {
        const auto a = A[3 * k + p];
        const auto b = A[3 * k + q];
        A[3 * k + p] = c * a - s * b;
        A[3 * k + q] = s * a + c * b;
    }
    for (int k = 0; k < 3; ++k) {
        const auto a = A[3 * p + k];
        const auto b = A[3 * q + k];
        A[3 * p + k] = c * a - s * b;
        A[3 * q + k] = s * a + c * b;
    }
    for (int k = 0; k < 3; ++k) {
        const auto a = V[3 * k + p];
        const auto b = V[3 * k + q];
        V[3 * k + p] = c * a - s * b;
        V[3 * k + q] = s * a + c * b;
    }
}

// Lanes of `into` where m is set take the rotation (p, q) of A, V.
template <int p, int q, typename L>
[[gnu::always_inline]] inline void jacobi3_rotate_where(typename L::M m, const Mat3<L>& A, const Mat3<L>& V, typename L::D c,
                          typename L::D s, Mat3<L>& A_into, Mat3<L>& V_into) {
    if (!any<L>(m)) {
        return;
    }
    Mat3<L> A_rot = A;
    Mat3<L> V_rot = V;
    jacobi3_rotation<p, q, L>(A_rot.m, V_rot.m, c, s);
    for (int k = 0; k < 9; ++k) {
        A_into.m[k] = select<L>(m, A_rot.m[k], A_into.m[k]);
        V_into.m[k] = select<L>(m, V_rot.m[k], V_into.m[k]);
    }
}

template <typename L>
struct Jacobi3Lanes {
    Mat3<L> A;
    Mat3<L> V;
    typename L::M active;
    // This rotation's pivot of each lane, as masks, and its cosine and sine.
    typename L::M is01, is02, is12;
    typename L::D c, s;
};

// Pivot search: the largest upper off-diagonal magnitude, a later position
// replacing only when strictly greater, so ties keep (0,1) before (0,2)
// before (1,2). A lane whose pivot falls below 1e-14 (absolute) stops for
// good and keeps its values.
template <typename L>
[[gnu::always_inline]] inline void jacobi3_pivot(Jacobi3Lanes<L>& j) {
    using D = typename L::D;
    using M = typename L::M;
    const D a01 = abs<L>(j.A.m[1]);
    const D a02 = abs<L>(j.A.m[2]);
    const D a12 = abs<L>(j.A.m[5]);
    const M take02 = a02 > a01;
    const D m02 = select<L>(take02, a02, a01);
    const M take12 = a12 > m02;
    const D m = select<L>(take12, a12, m02);
    j.active &= ~(m < 1e-14);
    j.is12 = take12;
    j.is02 = take02 & ~take12;
    j.is01 = ~(take02 | take12);
}

// Each lane's rotation angle from its own pivot entries.
template <typename L>
[[gnu::always_inline]] inline void jacobi3_angle(Jacobi3Lanes<L>& j) {
    using D = typename L::D;
    const D App = select<L>(j.is12, j.A.m[4], j.A.m[0]);
    const D Aqq = select<L>(j.is01, j.A.m[4], j.A.m[8]);
    const D Apq = select<L>(j.is01, j.A.m[1], select<L>(j.is02, j.A.m[2], j.A.m[5]));
    const D theta = (Aqq - App) / (2.0 * Apq);
    const D sign = select<L>(theta >= 0.0, broadcast<L>(1.0), broadcast<L>(-1.0));
    const D t = sign / (abs<L>(theta) + L::sqrt(1.0 + theta * theta));
    j.c = 1.0 / L::sqrt(1.0 + t * t);
    j.s = t * j.c;
}

// The rotation of every active lane about its own pivot: each pivot that
// some lane has is applied to a copy, and the lanes with that pivot take it.
template <typename L>
[[gnu::always_inline]] inline void jacobi3_rotate(Jacobi3Lanes<L>& j) {
    Mat3<L> A = j.A;
    Mat3<L> V = j.V;
    jacobi3_rotate_where<0, 1, L>(j.active & j.is01, j.A, j.V, j.c, j.s, A, V);
    jacobi3_rotate_where<0, 2, L>(j.active & j.is02, j.A, j.V, j.c, j.s, A, V);
    jacobi3_rotate_where<1, 2, L>(j.active & j.is12, j.A, j.V, j.c, j.s, A, V);
    j.A = A;
    j.V = V;
}

template <typename L>
struct Eigen3Lanes {
    typename L::D values[3];  // ascending
    Vec3<L> vectors[3];       // vectors[k] belongs to values[k]
};

// Diagonal ascending with the matching columns of V. The three compare-swaps
// are the stable insertion sort with strict <: equal entries keep index order.
template <typename L>
Eigen3Lanes<L> jacobi3_result(const Mat3<L>& A, const Mat3<L>& V) {
    Eigen3Lanes<L> out;
    for (int i = 0; i < 3; ++i) {
        out.values[i] = A.m[4 * i];
        out.vectors[i] = {V.m[i], V.m[3 + i], V.m[6 + i]};
    }
    const auto swap_if_less = [&out](int lo, int hi) {
        const typename L::M m = out.values[hi] < out.values[lo];
        const auto v_lo = out.values[lo];
        const Vec3<L> c_lo = out.vectors[lo];
        out.values[lo] = select<L>(m, out.values[hi], v_lo);
        out.values[hi] = select<L>(m, v_lo, out.values[hi]);
        out.vectors[lo] = {select<L>(m, out.vectors[hi].x, c_lo.x),
                           select<L>(m, out.vectors[hi].y, c_lo.y),
                           select<L>(m, out.vectors[hi].z, c_lo.z)};
        out.vectors[hi] = {select<L>(m, c_lo.x, out.vectors[hi].x),
                           select<L>(m, c_lo.y, out.vectors[hi].y),
                           select<L>(m, c_lo.z, out.vectors[hi].z)};
    };
    swap_if_less(0, 1);
    swap_if_less(1, 2);
    swap_if_less(0, 1);
    return out;
}

constexpr int kMaxRotations3 = 64;

// jacobi_eigen3 of C, E and e of every lane. The three solves advance phase
// by phase (all pivots, all angles, all rotations) so that their chains of
// divisions and square roots overlap.
template <typename L>
void jacobi3_of_faces(const KinematicsLanes<L>& k, Eigen3Lanes<L> (&eig)[3]) {
    Jacobi3Lanes<L> solves[3] = {{k.C, {}, k.ok, {}, {}, {}, {}, {}},
                                 {k.E, {}, k.ok, {}, {}, {}, {}, {}},
                                 {k.e, {}, k.ok, {}, {}, {}, {}, {}}};
    for (Jacobi3Lanes<L>& j : solves) {
        for (int i = 0; i < 9; ++i) {
            j.V.m[i] = broadcast<L>((i == 0 || i == 4 || i == 8) ? 1.0 : 0.0);
        }
    }
    for (int rotation = 0; rotation < kMaxRotations3; ++rotation) {
        for (Jacobi3Lanes<L>& j : solves) {
            jacobi3_pivot(j);
        }
        if (!any<L>(solves[0].active | solves[1].active | solves[2].active)) {
            break;
        }
        for (Jacobi3Lanes<L>& j : solves) {
            jacobi3_angle(j);
        }
        for (Jacobi3Lanes<L>& j : solves) {
            jacobi3_rotate(j);
        }
    }
    for (int i = 0; i < 3; ++i) {
        eig[i] = jacobi3_result(solves[i].A, solves[i].V);
    }
}

// The entries of v other than v[skip] (skip given as "is 0" and "is 2"
// masks), in index order, then ascending.
template <typename L>
void other_two_ascending(const typename L::D (&v)[3], typename L::M skip0, typename L::M skip2,
                         typename L::D& lo, typename L::D& hi) {
    const auto a = select<L>(skip0, v[1], v[0]);
    const auto b = select<L>(skip2, v[1], v[2]);
    const typename L::M swap = b < a;
    lo = select<L>(swap, b, a);
    hi = select<L>(swap, a, b);
}

// planar_values: drop the value whose vector is most aligned with n (the
// first strictly greater alignment from -1, so the earliest on ties).
template <typename L>
void planar_values(const Eigen3Lanes<L>& eig, const Vec3<L>& n, typename L::D& lo,
                   typename L::D& hi) {
    using M = typename L::M;
    auto best = broadcast<L>(-1.0);
    M is0 = mask_of<L>(true);
    M is2 = mask_of<L>(false);
    for (int k = 0; k < 3; ++k) {
        const auto alignment = abs<L>(dot(eig.vectors[k], n));
        const M larger = alignment > best;
        best = select<L>(larger, alignment, best);
        if (k == 0) {
            continue;  // normal starts at 0 whether or not it is larger
        }
        is0 &= ~larger;
        is2 = k == 2 ? larger : is2;
    }
    other_two_ascending<L>(eig.values, is0, is2, lo, hi);
}

template <typename L>
typename L::D equivalent_strain(const Mat3<L>& A) {
    const auto third_trace = ((A.m[0] + A.m[4]) + A.m[8]) / 3.0;
    Mat3<L> dev = A;
    dev.m[0] = A.m[0] - third_trace;
    dev.m[4] = A.m[4] - third_trace;
    dev.m[8] = A.m[8] - third_trace;
    const auto fn = frobenius_norm(dev);
    return L::sqrt((0.6666666666666666 * fn) * fn);
}

// The fourteen scalars of strain_measures, in FaceStrain's field order.
template <typename L>
void strain_measures_lanes(const KinematicsLanes<L>& k, typename L::D (&s)[14]) {
    using D = typename L::D;
    using M = typename L::M;
    Eigen3Lanes<L> eig[3];
    jacobi3_of_faces(k, eig);
    D lambdas[3];
    for (int i = 0; i < 3; ++i) {
        const D v = eig[0].values[i];
        lambdas[i] = L::sqrt(select<L>(v > 0.0, v, broadcast<L>(0.0)));
    }
    // The stretch nearest 1 is dropped (lower index on ties).
    D distance = abs<L>(lambdas[0] - 1.0);
    M out0 = mask_of<L>(true);
    M out2 = mask_of<L>(false);
    for (int i = 1; i < 3; ++i) {
        const D d = abs<L>(lambdas[i] - 1.0);
        const M closer = d < distance;
        distance = select<L>(closer, d, distance);
        out0 &= ~closer;
        out2 = i == 2 ? closer : (out2 & ~closer);
    }
    D Lambda1, Lambda2, Epc1, Epc2, epc1, epc2;
    other_two_ascending<L>(lambdas, out0, out2, Lambda1, Lambda2);
    planar_values(eig[1], k.D3, Epc1, Epc2);
    planar_values(eig[2], k.d3, epc1, epc2);
    s[0] = det(k.F);
    s[1] = frobenius_norm(k.E);
    s[2] = frobenius_norm(k.e);
    s[3] = Epc1;
    s[4] = Epc2;
    s[5] = epc1;
    s[6] = epc2;
    s[7] = 0.5 * (Epc2 - Epc1);
    s[8] = 0.5 * (epc2 - epc1);
    s[9] = equivalent_strain(k.E);
    s[10] = equivalent_strain(k.e);
    s[11] = 0.5 * k.twice_area;
    s[12] = Lambda1;
    s[13] = Lambda2;
}

// ---- Driver -----------------------------------------------------------------

// Results of a block of faces, one array per output element so that lanes
// store straight into them and each output array is written in one stream.
constexpr int kSurfaceBlock = 64;

struct SurfaceBlock {
    std::int64_t first = 0;
    int count = 0;
    alignas(64) double F[9][kSurfaceBlock];
    alignas(64) double C[9][kSurfaceBlock];
    alignas(64) double E[9][kSurfaceBlock];
    alignas(64) double e[9][kSurfaceBlock];
    alignas(64) double d3[3][kSurfaceBlock];
    alignas(64) double scalars[14][kSurfaceBlock];
    bool ok[kSurfaceBlock];
};

// Reads W faces starting at face i into lanes. A face is read only when its
// mask entry is set, and a vertex only when its index lies inside both point
// arrays (indices are checked at the boundary; this keeps the read in bounds
// even if the caller's arrays change during the call).
template <typename L>
FaceLanes<L> gather_faces(const SurfaceInputs& in, std::int64_t i, std::int64_t end,
                          std::int64_t rows) {
    constexpr int W = L::width;
    FaceLanes<L> f;
    Vec3<L>* vertices[6] = {&f.X1, &f.X2, &f.X3, &f.x1, &f.x2, &f.x3};
    for (Vec3<L>* v : vertices) {
        v->x = v->y = v->z = broadcast<L>(0.0);
    }
    f.usable = mask_of<L>(false);
    for (int lane = 0; lane < W && i + lane < end; ++lane) {
        const std::int64_t face = i + lane;
        if (in.valid_faces(face) == 0) {
            continue;
        }
        const std::int64_t v[3] = {in.faces(face, 0), in.faces(face, 1), in.faces(face, 2)};
        if (v[0] < 0 || v[1] < 0 || v[2] < 0 || v[0] >= rows || v[1] >= rows || v[2] >= rows) {
            continue;
        }
        for (int j = 0; j < 3; ++j) {
            vertices[j]->x[lane] = in.points_ref(v[j], 0);
            vertices[j]->y[lane] = in.points_ref(v[j], 1);
            vertices[j]->z[lane] = in.points_ref(v[j], 2);
            vertices[3 + j]->x[lane] = in.points_def(v[j], 0);
            vertices[3 + j]->y[lane] = in.points_def(v[j], 1);
            vertices[3 + j]->z[lane] = in.points_def(v[j], 2);
        }
        f.usable[lane] = -1;
    }
    return f;
}

template <typename L>
void compute_face_lanes(const SurfaceInputs& in, std::int64_t end, std::int64_t rows,
                        SurfaceBlock& block, int b) {
    constexpr int W = L::width;
    const FaceLanes<L> faces = gather_faces<L>(in, block.first + b, end, rows);
    if (!any<L>(faces.usable)) {
        for (int lane = 0; lane < W; ++lane) {
            block.ok[b + lane] = false;
        }
        return;
    }
    const KinematicsLanes<L> k = triangle_kinematics_lanes(faces);
    typename L::D s[14];
    strain_measures_lanes(k, s);
    const auto put = [&](double (&row)[kSurfaceBlock], typename L::D v) { store<L>(&row[b], v); };
    for (int i = 0; i < 9; ++i) {
        put(block.F[i], k.F.m[i]);
        put(block.C[i], k.C.m[i]);
        put(block.E[i], k.E.m[i]);
        put(block.e[i], k.e.m[i]);
    }
    put(block.d3[0], k.d3.x);
    put(block.d3[1], k.d3.y);
    put(block.d3[2], k.d3.z);
    for (int i = 0; i < 14; ++i) {
        put(block.scalars[i], s[i]);
    }
    for (int lane = 0; lane < W; ++lane) {
        block.ok[b + lane] = k.ok[lane] != 0;
    }
}

inline constexpr double kSurfaceFill = std::bit_cast<double>(std::uint64_t{0x7FF8000000000000});

// Results are written once and not read again by the call: on x86-64 they
// bypass the cache (no read of each line before it is overwritten). A fence
// at the end of the range orders these stores before the thread finishes.
// Sanitizer builds use plain stores, which the sanitizers can check.
KESTRINE_LANE void store_streaming(unsigned char* p, double v) {
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    long long bits;
    std::memcpy(&bits, &v, sizeof bits);
    _mm_stream_si64(reinterpret_cast<long long*>(p), bits);
#else
    std::memcpy(p, &v, sizeof v);
#endif
}

KESTRINE_LANE void streaming_done() {
#if defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    _mm_sfence();
#endif
}

// Writes one output array for the whole block: element k of a row (k < K;
// K = 1, 3 or 9, row-major) from values[k]. The byte offsets of a row's
// elements are worked out once per array, so each element is one store.
template <typename L, int N>
void write_block_array(const ArrayView<double, N>& view, const SurfaceBlock& block,
                       const double (*values)[kSurfaceBlock], int K) {
    std::int64_t offsets[9] = {};
    for (int k = 0; k < K; ++k) {
        if constexpr (N == 2) {
            offsets[k] = k * view.strides[1];
        } else if constexpr (N == 3) {
            offsets[k] = (k / 3) * view.strides[1] + (k % 3) * view.strides[2];
        }
    }
    for (int b = 0; b < block.count; ++b) {
        unsigned char* row = view.data + (block.first + b) * view.strides[0];
        const bool ok = block.ok[b];
        for (int k = 0; k < K; ++k) {
            const double v = ok ? values[k][b] : kSurfaceFill;
            store_streaming(row + offsets[k], v);
        }
    }
}

template <typename L>
void write_surface_block(const SurfaceOutputs& out, const SurfaceBlock& block) {
    write_block_array<L>(out.Fmat, block, block.F, 9);
    write_block_array<L>(out.Cmat, block, block.C, 9);
    write_block_array<L>(out.Emat, block, block.E, 9);
    write_block_array<L>(out.emat, block, block.e, 9);
    write_block_array<L>(out.d3, block, block.d3, 3);
    const ArrayView<double, 1>* scalars[14] = {&out.J,    &out.Emgn,      &out.emgn,
                                               &out.Epc1, &out.Epc2,      &out.epc1,
                                               &out.epc2, &out.EShearMax, &out.eShearMax,
                                               &out.Eeq,  &out.eeq,       &out.Area,
                                               &out.Lambda1, &out.Lambda2};
    for (int i = 0; i < 14; ++i) {
        write_block_array<L>(*scalars[i], block, &block.scalars[i], 1);
    }
    for (int b = 0; b < block.count; ++b) {
        out.valid_strain_faces(block.first + b) = block.ok[b] ? 1 : 0;
    }
}

// Rows [begin, end) of every surface output.
template <typename L>
void surface_rows_lanes(const SurfaceInputs& in, const SurfaceOutputs& out, std::int64_t begin,
                        std::int64_t end) {
    static_assert(kSurfaceBlock % L::width == 0, "a block holds whole lane groups");
    // Vertices are addressable only in rows both point arrays have, and only
    // when every array has its three columns (checked at the boundary only
    // while some face is valid).
    const bool columns = in.faces.shape[1] >= 3 && in.points_ref.shape[1] >= 3 &&
                         in.points_def.shape[1] >= 3;
    const std::int64_t rows =
        columns ? std::min(in.points_ref.shape[0], in.points_def.shape[0]) : 0;
    SurfaceBlock block;
    for (block.first = begin; block.first < end; block.first += kSurfaceBlock) {
        block.count = static_cast<int>(std::min<std::int64_t>(kSurfaceBlock, end - block.first));
        for (int b = 0; b < block.count; b += L::width) {
            compute_face_lanes<L>(in, end, rows, block, b);
        }
        write_surface_block<L>(out, block);
    }
    streaming_done();
}

}  // namespace kestrine::simd
