// reconstruct_track_rows and reconstruct_pair_rows for W elements at a time.
// The DIC sampling of tracks, undistortion and reprojection run one sighting
// per lane, the normal matrices and eigen-solves one track or pair point per
// lane; the pair points' sampling and the grouping stay scalar (they wait on
// memory). Every lane performs exactly the operations of sample_dic,
// normalize_pixel, pose_matrix, triangulate_dlt and project_point in their
// order; sightings that a track lacks, solves that stop at different
// rotations and pivots that differ between lanes are masks and selects, so
// each output bit equals the scalar kernels'. Included only by the
// per-target translation units (simd/target_*.cpp).
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>

#include "observations.hpp"
#include "pair.hpp"
#include "simd/lanes.hpp"
#include "tracks.hpp"

namespace kestrine::simd {

// ---- Camera model, one camera per lane --------------------------------------

template <typename L>
struct CameraLanes {
    typename L::D fx, cx, fy, cy, k1, k2;
    typename L::M distorted;  // the lens part is on
    typename L::D pose[12];   // [R | t], row-major
};

// Camera c's lens (K and distortion) into lane `lane`, read as
// normalize_pixel and project_point read them.
template <typename L>
void set_lens_lane(CameraLanes<L>& cam, int lane, const CameraSet& cs, int c) {
    cam.fx[lane] = cs.K(c, 0, 0);
    cam.cx[lane] = cs.K(c, 0, 2);
    cam.fy[lane] = cs.K(c, 1, 1);
    cam.cy[lane] = cs.K(c, 1, 2);
    const std::int64_t D = cs.dist.extent(1);
    const double k1 = D > 0 ? cs.dist(c, 0) : 0.0;
    const double k2 = D >= 2 ? cs.dist(c, 1) : 0.0;
    cam.k1[lane] = k1;
    cam.k2[lane] = k2;
    // A NaN coefficient keeps the lens part on, as in the scalar kernels.
    cam.distorted[lane] = !(std::fabs(k1) <= 1e-12 && std::fabs(k2) <= 1e-12) ? -1 : 0;
}

// Camera c's pose into lane `lane`, as pose_matrix copies it.
template <typename L>
void set_pose_lane(CameraLanes<L>& cam, int lane, const CameraSet& cs, int c) {
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            cam.pose[4 * i + j][lane] = cs.R(c, i, j);
        }
        cam.pose[4 * i + 3][lane] = cs.t(c, i);
    }
}

template <typename L>
void set_camera_lane(CameraLanes<L>& cam, int lane, const CameraSet& cs, int c) {
    set_lens_lane(cam, lane, cs, c);
    set_pose_lane(cam, lane, cs, c);
}

// Where every value a lane reads of a camera lies: the address of camera 0's
// entry and the byte step from one camera to the next, so that a register of
// cameras is filled by one gather per value.
struct CameraColumns {
    const unsigned char* lens[6];  // fx, cx, fy, cy, k1, k2; k1, k2 null when absent
    const unsigned char* pose[12];
    std::int64_t K_step, dist_step, R_step, t_step;
};

inline CameraColumns camera_columns(const CameraSet& cs) {
    CameraColumns cols{};
    cols.lens[0] = cs.K.address(0, 0, 0);
    cols.lens[1] = cs.K.address(0, 0, 2);
    cols.lens[2] = cs.K.address(0, 1, 1);
    cols.lens[3] = cs.K.address(0, 1, 2);
    const std::int64_t D = cs.dist.extent(1);
    cols.lens[4] = D > 0 ? cs.dist.address(0, 0) : nullptr;
    cols.lens[5] = D >= 2 ? cs.dist.address(0, 1) : nullptr;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            cols.pose[4 * i + j] = cs.R.address(0, i, j);
        }
        cols.pose[4 * i + 3] = cs.t.address(0, i);
    }
    cols.K_step = cs.K.strides[0];
    cols.dist_step = cs.dist.strides[0];
    cols.R_step = cs.R.strides[0];
    cols.t_step = cs.t.strides[0];
    return cols;
}

// Where the lanes read the cameras: with at most W cameras, every value of
// every camera sits in one register (entry c for camera c) and a lane picks
// its camera's by a permutation; with more, lanes gather from the arrays.
template <typename L>
struct CameraSource {
    CameraColumns cols;
    bool in_registers = false;
    typename L::D lens[6];  // as set_lens_lane reads them
    typename L::D pose[12];
};

template <typename L>
CameraSource<L> camera_source(const CameraSet& cs, std::int64_t cameras) {
    CameraSource<L> source;
    source.cols = camera_columns(cs);
    source.in_registers = cameras <= L::width;
    if (source.in_registers) {
        CameraLanes<L> table{};
        for (int c = 0; c < cameras; ++c) {
            set_camera_lane(table, c, cs, c);
        }
        const typename L::D* lens[6] = {&table.fx, &table.cx, &table.fy, &table.cy, &table.k1, &table.k2};
        for (int k = 0; k < 6; ++k) {
            source.lens[k] = *lens[k];
        }
        for (int k = 0; k < 12; ++k) {
            source.pose[k] = table.pose[k];
        }
    }
    return source;
}

// The lens of each lane's camera c, as set_lens_lane reads it.
template <typename L>
[[gnu::always_inline]] inline void gather_lens(CameraLanes<L>& cam, const CameraSource<L>& source,
                                               typename L::M c) {
    typename L::D* const lens[6] = {&cam.fx, &cam.cx, &cam.fy, &cam.cy, &cam.k1, &cam.k2};
    if (source.in_registers) {
        for (int k = 0; k < 6; ++k) {
            *lens[k] = lookup<L>(source.lens[k], c);
        }
    } else {
        const CameraColumns& cols = source.cols;
        const typename L::M K = c * cols.K_step;
        for (int k = 0; k < 4; ++k) {
            *lens[k] = gather<L>(cols.lens[k], K);
        }
        const typename L::M dist = c * cols.dist_step;
        for (int k = 4; k < 6; ++k) {
            *lens[k] = cols.lens[k] != nullptr ? gather<L>(cols.lens[k], dist) : broadcast<L>(0.0);
        }
    }
    // A NaN coefficient keeps the lens part on, as in the scalar kernels.
    cam.distorted = ~((abs<L>(cam.k1) <= 1e-12) & (abs<L>(cam.k2) <= 1e-12));
}

// The pose of each lane's camera c, as pose_matrix copies it.
template <typename L>
[[gnu::always_inline]] inline void gather_pose(CameraLanes<L>& cam, const CameraSource<L>& source,
                                               typename L::M c) {
    if (source.in_registers) {
        for (int k = 0; k < 12; ++k) {
            cam.pose[k] = lookup<L>(source.pose[k], c);
        }
        return;
    }
    const CameraColumns& cols = source.cols;
    const typename L::M R = c * cols.R_step;
    const typename L::M t = c * cols.t_step;
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            cam.pose[4 * i + j] = gather<L>(cols.pose[4 * i + j], R);
        }
        cam.pose[4 * i + 3] = gather<L>(cols.pose[4 * i + 3], t);
    }
}

template <typename L>
CameraLanes<L> broadcast_camera(const CameraSet& cs, int c) {
    CameraLanes<L> cam;
    for (int lane = 0; lane < L::width; ++lane) {
        set_camera_lane(cam, lane, cs, c);
    }
    return cam;
}

// normalize_pixel of N pixels per lane, each with its lane's camera; the N
// fixed-point chains advance side by side. A lane stops for good once its
// radial factor is within 1e-12 of zero, keeping its estimate.
template <typename L, int N>
[[gnu::always_inline]] inline void normalize_pixels_lanes(const CameraLanes<L>* const (&cams)[N],
                                                          const typename L::D (&px)[N],
                                                          const typename L::D (&py)[N],
                                                          typename L::D (&x)[N],
                                                          typename L::D (&y)[N]) {
    using D = typename L::D;
    using M = typename L::M;
    D xd[N], yd[N];
    M active[N];
    for (int n = 0; n < N; ++n) {
        xd[n] = (px[n] - cams[n]->cx) / cams[n]->fx;
        yd[n] = (py[n] - cams[n]->cy) / cams[n]->fy;
        x[n] = xd[n];
        y[n] = yd[n];
        active[n] = cams[n]->distorted;
    }
    for (int iteration = 0; iteration < 8; ++iteration) {
        M running = mask_of<L>(false);
        for (int n = 0; n < N; ++n) {
            const D r2 = x[n] * x[n] + y[n] * y[n];
            const D s = (1.0 + cams[n]->k1 * r2) + (cams[n]->k2 * r2) * r2;
            active[n] &= ~(abs<L>(s) <= 1e-12);
            x[n] = select<L>(active[n], xd[n] / s, x[n]);
            y[n] = select<L>(active[n], yd[n] / s, y[n]);
            running |= active[n];
        }
        if (!any<L>(running)) {
            break;
        }
    }
}

// project_point of (X, Y, Z) through the lane's camera.
template <typename L>
[[gnu::always_inline]] inline void project_lanes(const CameraLanes<L>& cam, typename L::D X,
                                                 typename L::D Y, typename L::D Z,
                                                 typename L::D& u, typename L::D& v) {
    using D = typename L::D;
    D Xc[3];
    for (int i = 0; i < 3; ++i) {
        Xc[i] = ((cam.pose[4 * i] * X + cam.pose[4 * i + 1] * Y) + cam.pose[4 * i + 2] * Z) +
                cam.pose[4 * i + 3];
    }
    D x = Xc[0] / Xc[2];
    D y = Xc[1] / Xc[2];
    const D r2 = x * x + y * y;
    const D s = (1.0 + cam.k1 * r2) + (cam.k2 * r2) * r2;
    x = select<L>(cam.distorted, x * s, x);
    y = select<L>(cam.distorted, y * s, y);
    u = cam.fx * x + cam.cx;
    v = cam.fy * y + cam.cy;
}

// pixel_error: Euclidean distance between (u, v) and (qu, qv).
template <typename L>
[[gnu::always_inline]] inline typename L::D pixel_error_lanes(typename L::D u, typename L::D v,
                                                              typename L::D qu,
                                                              typename L::D qv) {
    const typename L::D dx = u - qu;
    const typename L::D dy = v - qv;
    return L::sqrt(dx * dx + dy * dy);
}

// ---- Triangulation, one point per lane --------------------------------------

// The two equation rows of one sighting, x P2 - P0 and y P2 - P1, added to
// all sixteen entries of the normal matrix of the lanes in `has`; the other
// lanes keep their sums.
template <typename L>
[[gnu::always_inline]] inline void accumulate_sighting(typename L::D (&AtA)[16], typename L::M has,
                                                       typename L::D x, typename L::D y,
                                                       const typename L::D (&P)[12]) {
    using D = typename L::D;
    D r1[4], r2[4];
    for (int j = 0; j < 4; ++j) {
        r1[j] = x * P[8 + j] - P[j];
        r2[j] = y * P[8 + j] - P[4 + j];
    }
    for (const D* r : {r1, r2}) {
        for (int i = 0; i < 4; ++i) {
            for (int j = 0; j < 4; ++j) {
                AtA[4 * i + j] = select<L>(has, AtA[4 * i + j] + r[i] * r[j], AtA[4 * i + j]);
            }
        }
    }
}

template <typename L>
struct Jacobi4Lanes {
    typename L::D A[16];
    typename L::D V[16];
    typename L::M active;
    typename L::M p, q;  // this rotation's pivot of each lane
    typename L::D c, s;
};

template <typename L>
void jacobi4_start(Jacobi4Lanes<L>& j, typename L::M eligible) {
    for (int i = 0; i < 16; ++i) {
        j.V[i] = broadcast<L>(i % 5 == 0 ? 1.0 : 0.0);
    }
    j.active = eligible;
}

// Pivot search: the largest upper off-diagonal magnitude, a later position
// replacing only when strictly greater, so ties keep row order. A lane whose
// pivot falls below 1e-12 (absolute) stops for good and keeps its values; a
// NaN pivot does not stop it, as in jacobi_eigen4.
template <typename L>
[[gnu::always_inline]] inline void jacobi4_pivot(Jacobi4Lanes<L>& j) {
    using D = typename L::D;
    using M = typename L::M;
    constexpr int kLater[5][2] = {{0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}};
    D max = abs<L>(j.A[1]);
    M p = index_lanes<L>(0);
    M q = index_lanes<L>(1);
    for (const auto& pq : kLater) {
        const D candidate = abs<L>(j.A[4 * pq[0] + pq[1]]);
        const M larger = candidate > max;
        max = select<L>(larger, candidate, max);
        p = select<L>(larger, index_lanes<L>(pq[0]), p);
        q = select<L>(larger, index_lanes<L>(pq[1]), q);
    }
    j.active &= ~(max < 1e-12);
    j.p = p;
    j.q = q;
}

// The pivot row p of a lane is 0, 1 or 2 and its column q is 1, 2 or 3 (the
// pivot lies above the diagonal): entries of A are gathered from, and
// written to, only the rows and columns each can be.
template <typename L>
[[gnu::always_inline]] inline typename L::D row_p(const typename L::D (&A)[16],
                                                  const typename L::M (&is)[4], int column) {
    return select<L>(is[1], A[4 + column], select<L>(is[2], A[8 + column], A[column]));
}

template <typename L>
[[gnu::always_inline]] inline typename L::D row_q(const typename L::D (&A)[16],
                                                  const typename L::M (&is)[4], int column) {
    return select<L>(is[2], A[8 + column], select<L>(is[3], A[12 + column], A[4 + column]));
}

template <typename L>
[[gnu::always_inline]] inline typename L::D column_p(const typename L::D (&A)[16],
                                                     const typename L::M (&is)[4], int row) {
    return select<L>(is[1], A[4 * row + 1], select<L>(is[2], A[4 * row + 2], A[4 * row]));
}

template <typename L>
[[gnu::always_inline]] inline typename L::D column_q(const typename L::D (&A)[16],
                                                     const typename L::M (&is)[4], int row) {
    return select<L>(is[2], A[4 * row + 2], select<L>(is[3], A[4 * row + 3], A[4 * row + 1]));
}

// Entry i of a rotated line: the lane's new p entry where i is its p, the
// new q entry where i is its q, the old value elsewhere.
template <typename L>
[[gnu::always_inline]] inline typename L::D put(int i, const typename L::M (&put_p)[4],
                                                const typename L::M (&put_q)[4],
                                                typename L::D new_p, typename L::D new_q,
                                                typename L::D old) {
    if (i == 0) {
        return select<L>(put_p[0], new_p, old);
    }
    if (i == 3) {
        return select<L>(put_q[3], new_q, old);
    }
    return select<L>(put_p[i], new_p, select<L>(put_q[i], new_q, old));
}

// Each lane's angle, c and s, from its own pivot entries.
template <typename L>
[[gnu::always_inline]] inline void jacobi4_angle(Jacobi4Lanes<L>& j) {
    using D = typename L::D;
    using M = typename L::M;
    M is_p[4], is_q[4];
    for (int i = 0; i < 4; ++i) {
        is_p[i] = j.p == i;
        is_q[i] = j.q == i;
    }
    const D App = select<L>(is_p[1], j.A[5], select<L>(is_p[2], j.A[10], j.A[0]));
    const D Aqq = select<L>(is_q[2], j.A[10], select<L>(is_q[3], j.A[15], j.A[5]));
    D Apq = j.A[1];
    for (int i = 0; i < 3; ++i) {
        for (int k = i + 1; k < 4; ++k) {
            if (i != 0 || k != 1) {
                Apq = select<L>(is_p[i] & is_q[k], j.A[4 * i + k], Apq);
            }
        }
    }
    const D theta = (Aqq - App) / (2.0 * Apq);
    const D sgn = select<L>(theta >= 0.0, broadcast<L>(1.0), broadcast<L>(-1.0));
    const D t = sgn / (abs<L>(theta) + L::sqrt(1.0 + theta * theta));
    j.c = 1.0 / L::sqrt(1.0 + t * t);
    j.s = t * j.c;
}

// The rotation of every active lane by its c and s: the rows (then columns)
// p and q of each lane are gathered, rotated once, and selected back into
// that lane's rows (columns) p and q.
template <typename L>
[[gnu::always_inline]] inline void jacobi4_apply_any(Jacobi4Lanes<L>& j) {
    using D = typename L::D;
    using M = typename L::M;
    M is_p[4], is_q[4], put_p[4], put_q[4];
    for (int i = 0; i < 4; ++i) {
        is_p[i] = j.p == i;
        is_q[i] = j.q == i;
        put_p[i] = j.active & is_p[i];
        put_q[i] = j.active & is_q[i];
    }
    const D c = j.c;
    const D s = j.s;
    D new_p[4], new_q[4];
    for (int k = 0; k < 4; ++k) {
        const D a = row_p<L>(j.A, is_p, k);
        const D b = row_q<L>(j.A, is_q, k);
        new_p[k] = c * a - s * b;
        new_q[k] = s * a + c * b;
    }
    for (int i = 0; i < 4; ++i) {
        for (int k = 0; k < 4; ++k) {
            j.A[4 * i + k] = put<L>(i, put_p, put_q, new_p[k], new_q[k], j.A[4 * i + k]);
        }
    }
    const auto rotate_columns = [&](D(&X)[16]) {
        for (int k = 0; k < 4; ++k) {
            const D a = column_p<L>(X, is_p, k);
            const D b = column_q<L>(X, is_q, k);
            new_p[k] = c * a - s * b;
            new_q[k] = s * a + c * b;
        }
        for (int k = 0; k < 4; ++k) {
            for (int i = 0; i < 4; ++i) {
                X[4 * k + i] = put<L>(i, put_p, put_q, new_p[k], new_q[k], X[4 * k + i]);
            }
        }
    };
    rotate_columns(j.A);
    rotate_columns(j.V);
}

// The rotation when every active lane has the pivot (p, q): the entries are
// addressed directly, and only lanes that stopped need a select.
template <int p, int q, typename L>
void jacobi4_apply_fixed(Jacobi4Lanes<L>& j) {
    using D = typename L::D;
    const D c = j.c;
    const D s = j.s;
    D A[16], V[16];
    for (int i = 0; i < 16; ++i) {
        A[i] = j.A[i];
        V[i] = j.V[i];
    }
    for (int k = 0; k < 4; ++k) {
        const D a = A[4 * p + k];
        const D b = A[4 * q + k];
        A[4 * p + k] = c * a - s * b;
        A[4 * q + k] = s * a + c * b;
    }
    for (int k = 0; k < 4; ++k) {
        const D a = A[4 * k + p];
        const D b = A[4 * k + q];
        A[4 * k + p] = c * a - s * b;
        A[4 * k + q] = s * a + c * b;
    }
    for (int k = 0; k < 4; ++k) {
        const D a = V[4 * k + p];
        const D b = V[4 * k + q];
        V[4 * k + p] = c * a - s * b;
        V[4 * k + q] = s * a + c * b;
    }
    if (all<L>(j.active)) {
        for (int i = 0; i < 16; ++i) {
            j.A[i] = A[i];
            j.V[i] = V[i];
        }
    } else {
        for (int i = 0; i < 16; ++i) {
            j.A[i] = select<L>(j.active, A[i], j.A[i]);
            j.V[i] = select<L>(j.active, V[i], j.V[i]);
        }
    }
}

// The rotation of every active lane about its own pivot. With two lanes,
// which share their pivot in almost half of the rotations, a shared pivot is
// addressed directly instead of gathered and selected; with four or eight
// lanes it is rare enough that testing for it costs more than it saves.
template <typename L>
[[gnu::always_inline]] inline void jacobi4_apply(Jacobi4Lanes<L>& j) {
    if constexpr (L::width > 2) {
        jacobi4_apply_any(j);
    } else {
        int lane = 0;
        while (j.active[lane] == 0) {
            ++lane;
        }
        const auto p = j.p[lane];
        const auto q = j.q[lane];
        if (!all<L>(~j.active | ((j.p == p) & (j.q == q)))) {
            jacobi4_apply_any(j);
            return;
        }
        switch (4 * p + q) {
            case 1: jacobi4_apply_fixed<0, 1>(j); break;
            case 2: jacobi4_apply_fixed<0, 2>(j); break;
            case 3: jacobi4_apply_fixed<0, 3>(j); break;
            case 6: jacobi4_apply_fixed<1, 2>(j); break;
            case 7: jacobi4_apply_fixed<1, 3>(j); break;
            default: jacobi4_apply_fixed<2, 3>(j); break;
        }
    }
}

// jacobi_eigen4 of N independent registers of matrices. Each rotation's
// angle is a long chain of divisions and square roots, its application many
// short independent operations: every register's angle is started before
// any is applied, so that the chains overlap.
template <typename L, int N>
void jacobi4_solve(Jacobi4Lanes<L>* const (&js)[N]) {
    for (int rotation = 0; rotation < 64; ++rotation) {
        bool rotate[N];
        bool any_rotate = false;
        for (int n = 0; n < N; ++n) {
            jacobi4_pivot(*js[n]);
            rotate[n] = any<L>(js[n]->active);
            any_rotate = any_rotate || rotate[n];
        }
        if (!any_rotate) {
            break;
        }
        for (int n = 0; n < N; ++n) {
            if (rotate[n]) {
                jacobi4_angle(*js[n]);
            }
        }
        for (int n = 0; n < N; ++n) {
            if (rotate[n]) {
                jacobi4_apply(*js[n]);
            }
        }
    }
}

// Registers of tracks or pair points whose solves (both states of each)
// advance together in jacobi4_solve: two, except with two lanes, where one
// register's pair of solves overlaps well enough and a larger group only
// waits longer for its slowest lane.
template <typename L>
constexpr int kSolveGroup = L::width > 2 ? 2 : 1;

// The column of V of the smallest diagonal entry (strict <, so the lowest
// index on ties), divided by its fourth component; true in the lanes where
// |W| > 1e-12 and all three coordinates are finite.
template <typename L>
typename L::M jacobi4_point(const Jacobi4Lanes<L>& j, typename L::D (&X)[3]) {
    using D = typename L::D;
    using M = typename L::M;
    D m = j.A[0];
    M is[4] = {mask_of<L>(true), mask_of<L>(false), mask_of<L>(false), mask_of<L>(false)};
    for (int i = 1; i < 4; ++i) {
        const M less = j.A[5 * i] < m;
        m = select<L>(less, j.A[5 * i], m);
        for (int k = 0; k < i; ++k) {
            is[k] &= ~less;
        }
        is[i] = less;
    }
    D v[4];
    for (int k = 0; k < 4; ++k) {
        v[k] = select<L>(is[1], j.V[4 * k + 1],
                         select<L>(is[2], j.V[4 * k + 2], select<L>(is[3], j.V[4 * k + 3], j.V[4 * k])));
    }
    for (int k = 0; k < 3; ++k) {
        X[k] = v[k] / v[3];
    }
    return (abs<L>(v[3]) > 1e-12) & finite<L>(X[0]) & finite<L>(X[1]) & finite<L>(X[2]);
}

// ---- DIC sampling, one pixel per lane ----------------------------------------

// Byte offsets of node (x, y) of camera c in a DIC view.
template <typename L, typename T>
[[gnu::always_inline]] inline typename L::M node_offsets(const ArrayView<const T, 3>& view,
                                                         typename L::M c, typename L::M y,
                                                         typename L::M x) {
    return c * view.strides[0] + y * view.strides[1] + x * view.strides[2];
}

// Whether the valid bytes at `offset`, and at offset + each of `steps`, are
// all non-zero, in the lanes of m (read one lane at a time: the view holds
// bytes, and a wider gather could reach past its end).
template <typename L, std::size_t N>
[[gnu::always_inline]] inline typename L::M all_valid(const ArrayView<const BoolByte, 3>& valid,
                                                      typename L::M m, typename L::M offset,
                                                      const std::array<std::int64_t, N>& steps) {
    typename L::M ok = m;
    for (int lane = 0; lane < L::width; ++lane) {
        if (m[lane] == 0) {
            continue;
        }
        const BoolByte* node = valid.data + offset[lane];
        bool all = *node != 0;
        for (const std::int64_t step : steps) {
            all = all && node[step] != 0;
        }
        ok[lane] = all ? -1 : 0;
    }
    return ok;
}

// sample_dic of W pixels (px, py) of cameras c, in the lanes of `use` (their
// c lies within the DIC arrays); other lanes read nothing and are invalid.
// Each lane takes sample_dic's steps: the grid position by the same
// division, bilinear when the four nodes pass, else the nearest node, with
// halves rounded away from zero. Returns the valid lanes; u, v and corr
// hold their sample.
template <typename L>
typename L::M sample_dic_lanes(const DicFieldStack& dic, typename L::M use, typename L::M c,
                               typename L::D px, typename L::D py, double min_corrcoef,
                               typename L::D& u, typename L::D& v, typename L::D& corr) {
    using D = typename L::D;
    using M = typename L::M;
    constexpr double kIntMin = static_cast<double>(std::numeric_limits<int>::min());
    constexpr double kIntMax = static_cast<double>(std::numeric_limits<int>::max());
    const D step = broadcast<L>(static_cast<double>(static_cast<std::int64_t>(dic.subset_spacing) + 1));
    const D width = broadcast<L>(static_cast<double>(dic.reduced_width));
    const D height = broadcast<L>(static_cast<double>(dic.reduced_height));
    const D zero = broadcast<L>(0.0);
    const D gx = px / step;
    const D gy = py / step;
    // Off the grid: a non-finite position or a node beyond int range (the
    // comparisons fail for NaN and infinities alike).
    const D fx0 = floor<L>(gx);
    const D fy0 = floor<L>(gy);
    const M grid = use & (fx0 >= kIntMin) & (fx0 <= kIntMax) & (fy0 >= kIntMin) & (fy0 <= kIntMax);
    // The node as the integer conversion gives it back: -0 becomes +0.
    const D x0 = fx0 + 0.0;
    const D y0 = fy0 + 0.0;
    const M inside = grid & (x0 >= 0.0) & (y0 >= 0.0) & (x0 + 1.0 < width) & (y0 + 1.0 < height);
    const M node_c = select<L>(inside, c, index_lanes<L>(0));
    const M node_x = to_index<L>(select<L>(inside, x0, zero));
    const M node_y = to_index<L>(select<L>(inside, y0, zero));
    const M at_valid = node_offsets<L>(dic.valid, node_c, node_y, node_x);
    const std::array<std::int64_t, 3> valid_steps = {dic.valid.strides[2], dic.valid.strides[1],
                                                     dic.valid.strides[1] + dic.valid.strides[2]};
    const M four = all_valid<L>(dic.valid, inside, at_valid, valid_steps);
    // Node (x0, y0), (x1, y0), (x0, y1), (x1, y1) of a double field, in the
    // lanes of m. Where a row's nodes are adjacent in memory, every lane
    // reads its two pairs whole; lanes outside m then read node (0, 0, 0) and
    // its neighbour, which exist whenever any lane is inside the grid.
    // The double fields of one shape share their offsets, worked out once.
    const auto same_strides = [&](const ArrayView<const double, 3>& field) {
        return field.strides[0] == dic.corrcoef.strides[0] && field.strides[1] == dic.corrcoef.strides[1] &&
               field.strides[2] == dic.corrcoef.strides[2];
    };
    const bool shared = same_strides(dic.u) && same_strides(dic.v);
    const M at_corr = node_offsets<L>(dic.corrcoef, node_c, node_y, node_x);
    const auto nodes = [&](const ArrayView<const double, 3>& field, M m, D (&out)[4]) {
        const M at = shared ? at_corr : node_offsets<L>(field, node_c, node_y, node_x);
        const std::int64_t sx = field.strides[2];
        const std::int64_t sy = field.strides[1];
        if (sx == static_cast<std::int64_t>(sizeof(double))) {
            if (any<L>(m)) {
                load_pairs<L>(field.data, at, out[0], out[1]);
                load_pairs<L>(field.data, at + sy, out[2], out[3]);
            } else {
                out[0] = out[1] = out[2] = out[3] = zero;
            }
            return;
        }
        out[0] = gather_where<L>(m, field.data, at);
        out[1] = gather_where<L>(m, field.data, at + sx);
        out[2] = gather_where<L>(m, field.data, at + sy);
        out[3] = gather_where<L>(m, field.data, at + (sy + sx));
    };
    D cn[4];
    nodes(dic.corrcoef, four, cn);
    // The smaller of two, the first on ties and NaN, as sample_dic takes it.
    const D low01 = select<L>(cn[1] < cn[0], cn[1], cn[0]);
    const D low23 = select<L>(cn[3] < cn[2], cn[3], cn[2]);
    const M bilinear = four & (select<L>(low23 < low01, low23, low01) >= min_corrcoef);
    const D fx = gx - x0;
    const D fy = gy - y0;
    const D w00 = (1.0 - fx) * (1.0 - fy);
    const D w10 = fx * (1.0 - fy);
    const D w01 = (1.0 - fx) * fy;
    const D w11 = fx * fy;
    D un[4], vn[4];
    nodes(dic.u, bilinear, un);
    nodes(dic.v, bilinear, vn);
    u = un[0] * w00 + un[1] * w10 + un[2] * w01 + un[3] * w11;
    v = vn[0] * w00 + vn[1] * w10 + vn[2] * w01 + vn[3] * w11;
    corr = cn[0] * w00 + cn[1] * w10 + cn[2] * w01 + cn[3] * w11;
    const M nearest = grid & ~bilinear;
    if (!any<L>(nearest)) {
        return bilinear;
    }
    // The nearest node: trunc, then one step away from zero from a half on
    // (gx - trunc(gx) is exact).
    const auto round_half_away = [&](D g) {
        const D t = trunc<L>(g);
        const D away = select<L>(g < 0.0, broadcast<L>(-1.0), broadcast<L>(1.0));
        return select<L>(abs<L>(g - t) >= 0.5, t + away, t);
    };
    const D xn = round_half_away(gx);
    const D yn = round_half_away(gy);
    const M near_inside = nearest & (xn >= 0.0) & (yn >= 0.0) & (xn < width) & (yn < height);
    const M near_c = select<L>(near_inside, c, index_lanes<L>(0));
    const M near_x = to_index<L>(select<L>(near_inside, xn, zero));
    const M near_y = to_index<L>(select<L>(near_inside, yn, zero));
    const M near_valid = all_valid<L>(dic.valid, near_inside,
                                      node_offsets<L>(dic.valid, near_c, near_y, near_x),
                                      std::array<std::int64_t, 0>{});
    const M near_at = node_offsets<L>(dic.corrcoef, near_c, near_y, near_x);
    const D near_corr = gather_where<L>(near_valid, dic.corrcoef.data, near_at);
    // A NaN correlation is not below the threshold.
    const M near_ok = near_valid & ~(near_corr < min_corrcoef);
    const M near_u = shared ? near_at : node_offsets<L>(dic.u, near_c, near_y, near_x);
    const M near_v = shared ? near_at : node_offsets<L>(dic.v, near_c, near_y, near_x);
    u = select<L>(near_ok, gather_where<L>(near_ok, dic.u.data, near_u), u);
    v = select<L>(near_ok, gather_where<L>(near_ok, dic.v.data, near_v), v);
    corr = select<L>(near_ok, near_corr, corr);
    return bilinear | near_ok;
}

// sample_dic of n pixels, W at a time, as the track kernel takes its
// samples (a camera below 0 is no sample): for the tests and the timings.
template <typename L>
void dic_samples_lanes(const DicFieldStack& dic, const std::int32_t* cams, const double* px,
                       const double* py, std::int64_t n, double min_corrcoef, DicSample* out) {
    for (std::int64_t i = 0; i < n; i += L::width) {
        std::int32_t c[L::width];
        alignas(64) double x[L::width];
        alignas(64) double y[L::width];
        for (int lane = 0; lane < L::width; ++lane) {
            const bool real = i + lane < n;
            c[lane] = real ? cams[i + lane] : -1;
            x[lane] = real ? px[i + lane] : 0.0;
            y[lane] = real ? py[i + lane] : 0.0;
        }
        const typename L::M cm = load_int32<L>(c);
        typename L::D u, v, corr;
        const typename L::M valid = sample_dic_lanes<L>(dic, cm >= 0, cm, load<L>(x), load<L>(y),
                                                        min_corrcoef, u, v, corr);
        for (int lane = 0; lane < L::width && i + lane < n; ++lane) {
            out[i + lane] = valid[lane] != 0 ? DicSample{u[lane], v[lane], corr[lane], true} : DicSample{};
        }
    }
}

// Hints for the DIC nodes that a pixel's sample will read, as prefetch_dic
// gives them, with the address arithmetic done once per node for the three
// double fields when they share their strides (as arrays of one shape do).
class DicHints {
public:
    explicit DicHints(const DicFieldStack& dic)
        : dic_(dic), scale_(grid_scale(dic)), width_(dic.reduced_width), height_(dic.reduced_height),
          shared_(dic.v.strides[0] == dic.u.strides[0] && dic.v.strides[1] == dic.u.strides[1] &&
                  dic.v.strides[2] == dic.u.strides[2] && dic.corrcoef.strides[0] == dic.u.strides[0] &&
                  dic.corrcoef.strides[1] == dic.u.strides[1] &&
                  dic.corrcoef.strides[2] == dic.u.strides[2]) {}

    void operator()(int c, double px, double py) const {
        if (!shared_) {
            prefetch_dic(dic_, scale_, c, px, py);
            return;
        }
        const double gx = px * scale_;
        const double gy = py * scale_;
        if (!(gx >= 0.0 && gy >= 0.0 && gx < width_ && gy < height_)) {
            return;
        }
        const auto x0 = static_cast<std::int64_t>(gx);
        const auto y0 = static_cast<std::int64_t>(gy);
        const std::int64_t y1 = y0 + 1 < dic_.reduced_height ? y0 + 1 : y0;
        const std::int64_t at = c * dic_.u.strides[0] + y0 * dic_.u.strides[1] + x0 * dic_.u.strides[2];
        const std::int64_t down = (y1 - y0) * dic_.u.strides[1];
        for (const std::int64_t node : {at, at + down}) {
            __builtin_prefetch(dic_.u.data + node);
            __builtin_prefetch(dic_.v.data + node);
            __builtin_prefetch(dic_.corrcoef.data + node);
        }
        __builtin_prefetch(dic_.valid.address(c, y0, x0));
        __builtin_prefetch(dic_.valid.address(c, y1, x0));
    }

private:
    const DicFieldStack& dic_;
    double scale_;
    double width_, height_;
    bool shared_;
};

// ---- Tracks -----------------------------------------------------------------

constexpr int kTrackBlock = 64;
// Sightings gathered per block, unless one track alone has more.
constexpr std::int64_t kTrackBlockObservations = 512;

// Fields of SightingBuffers::values, each an array of `capacity` doubles.
enum SightingField { kUvRefX, kUvRefY, kUvDefX, kUvDefY, kRayRefX, kRayRefY, kRayDefX, kRayDefY,
                     kErrRef, kErrDef, kSampleCorr };
static_assert(kSampleCorr + 1 == kSightingFields);

// Per-track values of one block of tracks.
struct TrackBlock {
    std::int64_t first = 0;  // output row of track 0
    int count = 0;
    std::int64_t sightings = 0;
    std::int64_t id[kTrackBlock];
    std::int64_t start[kTrackBlock];  // first sighting
    std::int64_t n[kTrackBlock];      // sightings
    alignas(64) double corr_sum[kTrackBlock];
    // Xr then Xd. A register of points loaded from near the end of a row
    // reads on into the next row, and past the last row into X_tail: those
    // lanes are never used.
    alignas(64) double X[6][kTrackBlock];
    double X_tail[8];
    alignas(64) double err_sum[2][kTrackBlock];
    alignas(64) double row[18][kTrackBlock];  // the six three-vector outputs
    bool triangulated[kTrackBlock];
    bool valid[kTrackBlock];
};

// Samples every observation of tracks [first, first + count) and keeps the
// valid ones as sightings. A camera index outside the arrays that the
// boundary checked (it may have changed since) is an invalid sample. Three
// passes over the block's observations: their cameras and pixels are read
// in track order (the rows lie anywhere in the table), then sampled W at a
// time, then the valid samples are packed into sightings, in place.
template <typename L>
void gather_sightings(const ObservedScene& scene, const TrackGroups& groups,
                      const TrackSettings& settings, std::int64_t cameras, TrackBlock& block,
                      const SightingBuffers& buf) {
    constexpr std::int64_t kPrefetchAhead = 32;
    const DicHints hint(scene.dic);
    const ObservationTable& obs = scene.observations;
    const std::int64_t entries = static_cast<std::int64_t>(groups.entries.size());
    double* const f = buf.values;
    const std::int64_t cap = buf.capacity;
    const std::int64_t e0 = groups.starts[static_cast<std::size_t>(block.first)];
    const std::int64_t n = groups.starts[static_cast<std::size_t>(block.first + block.count)] - e0;
    // 1. Observation e of the block at position e; a camera outside the
    // arrays becomes -1. Its DIC nodes are asked for now and read in pass 2.
    for (std::int64_t e = 0; e < n; ++e) {
        const std::int64_t k = e0 + e;
        if (k + kPrefetchAhead < entries) {
            obs.prefetch(groups.entries[static_cast<std::size_t>(k + kPrefetchAhead)].row);
        }
        const std::int64_t i = groups.entries[static_cast<std::size_t>(k)].row;
        const int c = obs.cam_indices(i);
        const Vector2 uv = obs.pixel(i);
        const bool usable = c >= 0 && c < cameras;
        if (usable) {
            hint(c, uv.x, uv.y);
        }
        buf.cams[e] = usable ? c : -1;
        f[kUvRefX * cap + e] = uv.x;
        f[kUvRefY * cap + e] = uv.y;
    }
    for (std::int64_t pad = n; pad < n + L::width; ++pad) {
        buf.cams[pad] = -1;
        f[kUvRefX * cap + pad] = 0.0;
        f[kUvRefY * cap + pad] = 0.0;
    }
    // 2. The samples; an invalid one sets its camera to -1.
    for (std::int64_t e = 0; e < n; e += L::width) {
        using D = typename L::D;
        const typename L::M c = load_int32<L>(&buf.cams[e]);
        const D px = load<L>(&f[kUvRefX * cap + e]);
        const D py = load<L>(&f[kUvRefY * cap + e]);
        D u, v, corr;
        const typename L::M valid =
            sample_dic_lanes<L>(scene.dic, c >= 0, c, px, py, settings.min_corrcoef, u, v, corr);
        store<L>(&f[kUvDefX * cap + e], px + u);
        store<L>(&f[kUvDefY * cap + e], py + v);
        store<L>(&f[kSampleCorr * cap + e], corr);
        for (int lane = 0; lane < L::width; ++lane) {
            if (valid[lane] == 0) {
                buf.cams[e + lane] = -1;
            }
        }
    }
    // 3. Sightings in track order; sighting s comes from observation e >= s.
    std::int64_t s = 0;
    std::int64_t e = 0;
    for (int t = 0; t < block.count; ++t) {
        const std::int64_t r = block.first + t;
        const std::int64_t end = groups.starts[static_cast<std::size_t>(r + 1)] - e0;
        block.id[t] = groups.entries[static_cast<std::size_t>(e0 + e)].id;
        block.start[t] = s;
        double corr_sum = 0.0;
        for (; e < end; ++e) {
            const int c = buf.cams[e];
            if (c < 0) {
                continue;
            }
            buf.cams[s] = c;
            buf.owner[s] = t;
            for (const int field : {kUvRefX, kUvRefY, kUvDefX, kUvDefY}) {
                f[field * cap + s] = f[field * cap + e];
            }
            corr_sum += f[kSampleCorr * cap + e];
            ++s;
        }
        block.n[t] = s - block.start[t];
        block.corr_sum[t] = corr_sum;
    }
    block.sightings = s;
    // Whole registers past the last sighting repeat it, so every lane loads
    // a sighting of this block.
    for (std::int64_t pad = s; s > 0 && pad < s + L::width; ++pad) {
        buf.cams[pad] = buf.cams[s - 1];
        buf.owner[pad] = buf.owner[s - 1];
        for (int field = 0; field < kSightingFields; ++field) {
            f[field * cap + pad] = f[field * cap + s - 1];
        }
    }
}

// Both rays of every sighting, three registers of W sightings at a time so
// that six fixed-point chains overlap.
template <typename L>
void undistort_sightings(const CameraSource<L>& cols, const TrackBlock& block,
                         const SightingBuffers& buf) {
    using D = typename L::D;
    double* const f = buf.values;
    const std::int64_t cap = buf.capacity;
    const auto rays = [&]<int R>(std::int64_t s) {
        CameraLanes<L> cam[R];
        const CameraLanes<L>* cams[2 * R];
        D px[2 * R], py[2 * R], x[2 * R], y[2 * R];
        for (int r = 0; r < R; ++r) {
            const std::int64_t sr = s + r * L::width;
            gather_lens<L>(cam[r], cols, load_int32<L>(&buf.cams[sr]));
            cams[2 * r] = cams[2 * r + 1] = &cam[r];
            px[2 * r] = load<L>(&f[kUvRefX * cap + sr]);
            py[2 * r] = load<L>(&f[kUvRefY * cap + sr]);
            px[2 * r + 1] = load<L>(&f[kUvDefX * cap + sr]);
            py[2 * r + 1] = load<L>(&f[kUvDefY * cap + sr]);
        }
        normalize_pixels_lanes<L, 2 * R>(cams, px, py, x, y);
        for (int r = 0; r < R; ++r) {
            const std::int64_t sr = s + r * L::width;
            store<L>(&f[kRayRefX * cap + sr], x[2 * r]);
            store<L>(&f[kRayRefY * cap + sr], y[2 * r]);
            store<L>(&f[kRayDefX * cap + sr], x[2 * r + 1]);
            store<L>(&f[kRayDefY * cap + sr], y[2 * r + 1]);
        }
    };
    std::int64_t s = 0;
    // The padding covers one register past the last sighting, so every
    // register after the first is computed only when it starts before the end.
    for (; s + 2 * L::width < block.sightings; s += 3 * L::width) {
        rays.template operator()<3>(s);
    }
    for (; s + L::width < block.sightings; s += 2 * L::width) {
        rays.template operator()<2>(s);
    }
    if (s < block.sightings) {
        rays.template operator()<1>(s);
    }
}

// triangulate_dlt of both states of W tracks per register, a group of
// registers at a time; a track is solved only with at least min_views (and
// two) sightings.
template <typename L>
void triangulate_tracks(const CameraSource<L>& cols, const TrackSettings& settings,
                        TrackBlock& block, const SightingBuffers& buf) {
    using D = typename L::D;
    using M = typename L::M;
    constexpr int G = kSolveGroup<L>;
    static_assert(kTrackBlock % (G * L::width) == 0, "a block holds whole groups of registers");
    const double* const f = buf.values;
    const std::int64_t cap = buf.capacity;
    for (int t0 = 0; t0 < block.count; t0 += G * L::width) {
        Jacobi4Lanes<L> ref[G], def[G];
        Jacobi4Lanes<L>* solves[2 * G];
        M eligible[G];
        bool any_eligible = false;
        for (int g = 0; g < G; ++g) {
            const int t = t0 + g * L::width;
            eligible[g] = mask_of<L>(false);
            std::int64_t most = 0;
            for (int lane = 0; lane < L::width && t + lane < block.count; ++lane) {
                const std::int64_t n = block.n[t + lane];
                block.triangulated[t + lane] = false;
                if (n >= settings.min_views && n >= 2) {
                    eligible[g][lane] = -1;
                    most = std::max(most, n);
                }
            }
            solves[2 * g] = &ref[g];
            solves[2 * g + 1] = &def[g];
            for (int i = 0; i < 16; ++i) {
                ref[g].A[i] = def[g].A[i] = broadcast<L>(0.0);
            }
            jacobi4_start(ref[g], eligible[g]);
            jacobi4_start(def[g], eligible[g]);
            if (!any<L>(eligible[g])) {
                continue;
            }
            any_eligible = true;
            // Sighting k of each lane's track; lanes past their last sighting
            // read sighting 0 of the block and add nothing.
            const M start = load_int64<L>(&block.start[t]);
            const M count = load_int64<L>(&block.n[t]);
            const auto ray = [&](int field) {
                return reinterpret_cast<const unsigned char*>(&f[field * cap]);
            };
            for (std::int64_t k = 0; k < most; ++k) {
                const M has = eligible[g] & (count > k);
                const M s = select<L>(has, start + k, index_lanes<L>(0));
                const M offset = s * static_cast<std::int64_t>(sizeof(double));
                CameraLanes<L> cam;
                gather_pose<L>(cam, cols, gather_int32<L>(buf.cams, s));
                accumulate_sighting<L>(ref[g].A, has, gather<L>(ray(kRayRefX), offset),
                                       gather<L>(ray(kRayRefY), offset), cam.pose);
                accumulate_sighting<L>(def[g].A, has, gather<L>(ray(kRayDefX), offset),
                                       gather<L>(ray(kRayDefY), offset), cam.pose);
            }
        }
        if (!any_eligible) {
            continue;
        }
        jacobi4_solve<L, 2 * G>(solves);
        for (int g = 0; g < G; ++g) {
            const int t = t0 + g * L::width;
            if (!any<L>(eligible[g])) {
                continue;
            }
            D Xr[3], Xd[3];
            const M ok = eligible[g] & jacobi4_point(ref[g], Xr) & jacobi4_point(def[g], Xd);
            for (int k = 0; k < 3; ++k) {
                store<L>(&block.X[k][t], Xr[k]);
                store<L>(&block.X[3 + k][t], Xd[k]);
            }
            for (int lane = 0; lane < L::width && t + lane < block.count; ++lane) {
                block.triangulated[t + lane] = ok[lane] != 0;
            }
        }
    }
}

// Pixel errors of both points of each sighting's track, two registers of W
// sightings at a time so that their divisions overlap (only registers that
// hold a triangulated track).
template <typename L>
void reproject_sightings(const CameraSource<L>& cols, const TrackBlock& block,
                         const SightingBuffers& buf) {
    using D = typename L::D;
    using M = typename L::M;
    double* const f = buf.values;
    const std::int64_t cap = buf.capacity;
    const auto needed = [&](std::int64_t s) {
        bool any_triangulated = false;
        for (int lane = 0; lane < L::width; ++lane) {
            any_triangulated = any_triangulated || block.triangulated[buf.owner[s + lane]];
        }
        return any_triangulated;
    };
    const auto errors = [&]<int R>(const std::int64_t(&at)[R]) {
        CameraLanes<L> cam[R];
        D u[R][2], v[R][2];
        for (int r = 0; r < R; ++r) {
            const M c = load_int32<L>(&buf.cams[at[r]]);
            gather_lens<L>(cam[r], cols, c);
            gather_pose<L>(cam[r], cols, c);
            // Owners never decrease along the sightings: a register's tracks
            // usually lie within W of its first, whose W points are loaded
            // whole and permuted into the lanes.
            const M owner = load_int32<L>(&buf.owner[at[r]]);
            const std::int64_t first = owner[0];
            D X[6];
            if (owner[L::width - 1] - first < L::width) {
                for (int k = 0; k < 6; ++k) {
                    X[k] = lookup<L>(load<L>(&block.X[k][first]), owner - first);
                }
            } else {
                for (int k = 0; k < 6; ++k) {
                    X[k] = gather<L>(reinterpret_cast<const unsigned char*>(block.X[k]), owner * 8);
                }
            }
            project_lanes<L>(cam[r], X[0], X[1], X[2], u[r][0], v[r][0]);
            project_lanes<L>(cam[r], X[3], X[4], X[5], u[r][1], v[r][1]);
        }
        for (int r = 0; r < R; ++r) {
            const std::int64_t s = at[r];
            store<L>(&f[kErrRef * cap + s],
                     pixel_error_lanes<L>(u[r][0], v[r][0], load<L>(&f[kUvRefX * cap + s]),
                                          load<L>(&f[kUvRefY * cap + s])));
            store<L>(&f[kErrDef * cap + s],
                     pixel_error_lanes<L>(u[r][1], v[r][1], load<L>(&f[kUvDefX * cap + s]),
                                          load<L>(&f[kUvDefY * cap + s])));
        }
    };
    // Registers that need their errors are paired as they come.
    std::int64_t waiting = -1;
    for (std::int64_t s = 0; s < block.sightings; s += L::width) {
        if (!needed(s)) {
            continue;
        }
        if (waiting < 0) {
            waiting = s;
            continue;
        }
        const std::int64_t at[2] = {waiting, s};
        errors.template operator()<2>(at);
        waiting = -1;
    }
    if (waiting >= 0) {
        const std::int64_t at[1] = {waiting};
        errors.template operator()<1>(at);
    }
}

// Output slots of TrackBlock::row.
enum TrackRowField { kPointsRef = 0, kPointsDef = 3, kDispSfm = 6, kPointsRefWorld = 9,
                     kPointsDefWorld = 12, kDispWorld = 15 };

// Mean errors, the reprojection gate and the row values, W tracks at a time.
template <typename L>
void finish_tracks(const TrackSettings& settings, TrackBlock& block, const SightingBuffers& buf) {
    using D = typename L::D;
    using M = typename L::M;
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    const double* const f = buf.values;
    const std::int64_t cap = buf.capacity;
    // Each mean is summed in sighting order, as in the scalar loop.
    for (int t = 0; t < block.count; ++t) {
        double sums[2] = {0.0, 0.0};
        if (block.triangulated[t]) {
            for (std::int64_t s = block.start[t]; s < block.start[t] + block.n[t]; ++s) {
                sums[0] += f[kErrRef * cap + s];
                sums[1] += f[kErrDef * cap + s];
            }
        }
        block.err_sum[0][t] = sums[0];
        block.err_sum[1][t] = sums[1];
    }
    // Mean errors and mean correlation live beside the point values.
    double(&err_ref)[kTrackBlock] = block.err_sum[0];
    double(&err_def)[kTrackBlock] = block.err_sum[1];
    for (int t = 0; t < block.count; t += L::width) {
        M triangulated = mask_of<L>(false);
        D n = broadcast<L>(1.0);
        for (int lane = 0; lane < L::width && t + lane < block.count; ++lane) {
            triangulated[lane] = block.triangulated[t + lane] ? -1 : 0;
            n[lane] = static_cast<double>(block.n[t + lane]);
        }
        const D inf = broadcast<L>(kInfinity);
        const D mean_ref = select<L>(triangulated, load<L>(&err_ref[t]) / n, inf);
        const D mean_def = select<L>(triangulated, load<L>(&err_def[t]) / n, inf);
        // NaN on either side fails both comparisons.
        const M valid = triangulated & (settings.max_reprojection_error_px >= mean_ref) &
                        (settings.max_reprojection_error_px >= mean_def);
        const D zero = broadcast<L>(0.0);
        for (int k = 0; k < 3; ++k) {
            const D Xr = load<L>(&block.X[k][t]);
            const D Xd = load<L>(&block.X[3 + k][t]);
            const D pr = select<L>(valid, Xr, zero);
            const D pd = select<L>(valid, Xd, zero);
            const D d = select<L>(valid, Xd - Xr, zero);
            store<L>(&block.row[kPointsRef + k][t], pr);
            store<L>(&block.row[kPointsDef + k][t], pd);
            store<L>(&block.row[kDispSfm + k][t], d);
            store<L>(&block.row[kPointsRefWorld + k][t], pr * settings.scale);
            store<L>(&block.row[kPointsDefWorld + k][t], pd * settings.scale);
            store<L>(&block.row[kDispWorld + k][t], d * settings.scale);
        }
        const D corr = load<L>(&block.corr_sum[t]);
        store<L>(&block.corr_sum[t], select<L>(n > 0.0, corr / n, zero));
        store<L>(&err_ref[t], mean_ref);
        store<L>(&err_def[t], mean_def);
        for (int lane = 0; lane < L::width && t + lane < block.count; ++lane) {
            block.valid[t + lane] = valid[lane] != 0;
        }
    }
}

// A template only so that each target's translation unit has its own copy.
template <typename L>
void write_track_block(const TrackOutputs& out, const TrackBlock& block) {
    const ArrayView<double, 2>* triples[6] = {&out.points_ref_sfm,   &out.points_def_sfm,
                                              &out.displacement_sfm, &out.points_ref_world,
                                              &out.points_def_world, &out.displacement_world};
    for (int t = 0; t < block.count; ++t) {
        const std::int64_t r = block.first + t;
        out.point_indices(r) = block.id[t];
        for (int a = 0; a < 6; ++a) {
            for (int k = 0; k < 3; ++k) {
                (*triples[a])(r, k) = block.row[3 * a + k][t];
            }
        }
        out.num_views(r) = static_cast<std::int32_t>(block.n[t]);
        out.mean_corrcoef(r) = block.corr_sum[t];
        out.reprojection_error_ref(r) = block.err_sum[0][t];
        out.reprojection_error_def(r) = block.err_sum[1][t];
        out.valid(r) = block.valid[t] ? 1 : 0;
    }
}

template <typename L>
void track_rows_lanes(const ObservedScene& scene, const TrackGroups& groups,
                      const TrackSettings& settings, const TrackOutputs& out, std::int64_t first,
                      std::int64_t last, SightingScratch& scratch) {
    static_assert(kTrackBlock % L::width == 0, "a block holds whole lane groups");
    const std::int64_t cameras = usable_cameras(scene);
    const CameraSource<L> cols = camera_source<L>(scene.cameras, cameras);
    TrackBlock block{};
    for (block.first = first; block.first < last; block.first += block.count) {
        // As many tracks as fit the block, and always at least one.
        const auto begin = groups.starts[static_cast<std::size_t>(block.first)];
        std::int64_t end = block.first + 1;
        while (end < last && end - block.first < kTrackBlock &&
               groups.starts[static_cast<std::size_t>(end + 1)] - begin <= kTrackBlockObservations) {
            ++end;
        }
        block.count = static_cast<int>(end - block.first);
        const SightingBuffers buf =
            reserve_sightings(scratch, groups.starts[static_cast<std::size_t>(end)] - begin);
        gather_sightings<L>(scene, groups, settings, cameras, block, buf);
        undistort_sightings<L>(cols, block, buf);
        triangulate_tracks<L>(cols, settings, block, buf);
        reproject_sightings<L>(cols, block, buf);
        finish_tracks<L>(settings, block, buf);
        write_track_block<L>(out, block);
    }
}

// ---- Pair points ------------------------------------------------------------

constexpr int kPairBlock = 64;

// Inputs of the pair points of one block whose two samples are valid.
enum PairInput { kRefAX, kRefAY, kRefBX, kRefBY, kDefAX, kDefAY, kDefBX, kDefBY, kCorrA, kCorrB,
                 kPairInputs };
// Results; the three-vectors take three slots each.
enum PairResult { kXr = 0, kXd = 3, kXrWorld = 6, kXdWorld = 9, kDispSfmP = 12, kDispWorldP = 15,
                  kDispNorm = 18, kCorrComb, kReprojRef, kReprojDef, kPairResults };

struct PairBlock {
    int count = 0;
    std::int64_t id[kPairBlock];
    // Room for a whole group of registers past the last point.
    alignas(64) double in[kPairInputs][kPairBlock + 16];
    alignas(64) double res[kPairResults][kPairBlock + 16];
    bool ok[kPairBlock + 16];
    bool valid[kPairBlock + 16];
};

// Samples both cameras of points [begin, end) and keeps those with two
// valid samples.
template <typename L>
void gather_pair_points(const ObservedScene& scene, const PairGroups& groups,
                        const PairSettings& settings, std::int64_t begin, std::int64_t end,
                        PairBlock& block) {
    constexpr std::int64_t kPrefetchAhead = 8;
    const DicHints hint(scene.dic);
    const ObservationTable& obs = scene.observations;
    const auto points = static_cast<std::int64_t>(groups.points.size());
    int n = 0;
    for (std::int64_t index = begin; index < end; ++index) {
        // The two rows of a point lie anywhere in the table and its pixels
        // anywhere in the DIC grids: ask early for what later points will read.
        if (index + kPrefetchAhead < points) {
            const PairSlots& ahead = groups.points[static_cast<std::size_t>(index + kPrefetchAhead)];
            obs.prefetch(ahead.row_a);
            obs.prefetch(ahead.row_b);
        }
        if (index + kPrefetchAhead / 2 < points) {
            const PairSlots& ahead = groups.points[static_cast<std::size_t>(index + kPrefetchAhead / 2)];
            const Vector2 uv_a = obs.pixel(ahead.row_a);
            const Vector2 uv_b = obs.pixel(ahead.row_b);
            hint(settings.cam_a, uv_a.x, uv_a.y);
            hint(settings.cam_b, uv_b.x, uv_b.y);
        }
        const PairSlots& slots = groups.points[static_cast<std::size_t>(index)];
        const Vector2 uv_a = obs.pixel(slots.row_a);
        const Vector2 uv_b = obs.pixel(slots.row_b);
        // Both samples are taken before either is tested.
        const DicSample a = sample_dic(scene.dic, settings.cam_a, uv_a.x, uv_a.y, settings.min_corrcoef);
        const DicSample b = sample_dic(scene.dic, settings.cam_b, uv_b.x, uv_b.y, settings.min_corrcoef);
        if (!a.valid || !b.valid) {
            continue;
        }
        block.id[n] = slots.id;
        block.in[kRefAX][n] = uv_a.x;
        block.in[kRefAY][n] = uv_a.y;
        block.in[kRefBX][n] = uv_b.x;
        block.in[kRefBY][n] = uv_b.y;
        block.in[kDefAX][n] = uv_a.x + a.u;
        block.in[kDefAY][n] = uv_a.y + a.v;
        block.in[kDefBX][n] = uv_b.x + b.u;
        block.in[kDefBY][n] = uv_b.y + b.v;
        block.in[kCorrA][n] = a.corr;
        block.in[kCorrB][n] = b.corr;
        ++n;
    }
    block.count = n;
    // Whole groups of registers past the last point repeat it.
    static_assert(kSolveGroup<L> * L::width <= 16, "the padding fits the block");
    for (int pad = n; n > 0 && pad < n + kSolveGroup<L> * L::width; ++pad) {
        for (int field = 0; field < kPairInputs; ++field) {
            block.in[field][pad] = block.in[field][n - 1];
        }
    }
}

// Everything of W pair points per register, a group of registers from b0
// on, from their pixels to their rows.
template <typename L>
void compute_pair_lanes(const CameraLanes<L>& cam_a, const CameraLanes<L>& cam_b,
                        const PairSettings& settings, PairBlock& block, int b0) {
    using D = typename L::D;
    using M = typename L::M;
    constexpr int G = kSolveGroup<L>;
    // Pixels in the order ref A, ref B, def A, def B, with their cameras.
    const CameraLanes<L>* const cams[4] = {&cam_a, &cam_b, &cam_a, &cam_b};
    constexpr int kPixelX[4] = {kRefAX, kRefBX, kDefAX, kDefBX};
    constexpr int kPixelY[4] = {kRefAY, kRefBY, kDefAY, kDefBY};
    const M all = mask_of<L>(true);
    D px[G][4], py[G][4];
    Jacobi4Lanes<L> ref[G], def[G];
    Jacobi4Lanes<L>* solves[2 * G];
    for (int g = 0; g < G; ++g) {
        const int b = b0 + g * L::width;
        for (int k = 0; k < 4; ++k) {
            px[g][k] = load<L>(&block.in[kPixelX[k]][b]);
            py[g][k] = load<L>(&block.in[kPixelY[k]][b]);
        }
        D x[4], y[4];
        normalize_pixels_lanes<L, 4>(cams, px[g], py[g], x, y);
        for (int i = 0; i < 16; ++i) {
            ref[g].A[i] = def[g].A[i] = broadcast<L>(0.0);
        }
        accumulate_sighting<L>(ref[g].A, all, x[0], y[0], cam_a.pose);
        accumulate_sighting<L>(ref[g].A, all, x[1], y[1], cam_b.pose);
        accumulate_sighting<L>(def[g].A, all, x[2], y[2], cam_a.pose);
        accumulate_sighting<L>(def[g].A, all, x[3], y[3], cam_b.pose);
        jacobi4_start(ref[g], all);
        jacobi4_start(def[g], all);
        solves[2 * g] = &ref[g];
        solves[2 * g + 1] = &def[g];
    }
    jacobi4_solve<L, 2 * G>(solves);

    for (int g = 0; g < G; ++g) {
        const int b = b0 + g * L::width;
        const auto in = [&](int field) { return load<L>(&block.in[field][b]); };
        const auto put = [&](int field, D v) { store<L>(&block.res[field][b], v); };
        D Xr[3], Xd[3];
        const M ok = jacobi4_point(ref[g], Xr) & jacobi4_point(def[g], Xd);
        D u[4], v[4];
        project_lanes<L>(cam_a, Xr[0], Xr[1], Xr[2], u[0], v[0]);
        project_lanes<L>(cam_b, Xr[0], Xr[1], Xr[2], u[1], v[1]);
        project_lanes<L>(cam_a, Xd[0], Xd[1], Xd[2], u[2], v[2]);
        project_lanes<L>(cam_b, Xd[0], Xd[1], Xd[2], u[3], v[3]);
        const D reproj_ref = 0.5 * (pixel_error_lanes<L>(u[0], v[0], px[g][0], py[g][0]) +
                                    pixel_error_lanes<L>(u[1], v[1], px[g][1], py[g][1]));
        const D reproj_def = 0.5 * (pixel_error_lanes<L>(u[2], v[2], px[g][2], py[g][2]) +
                                    pixel_error_lanes<L>(u[3], v[3], px[g][3], py[g][3]));
        const D corr_a = in(kCorrA);
        const D corr_b = in(kCorrB);
        // The minimum; a tie or a NaN comparison keeps corr_a.
        const D corr_comb = select<L>(corr_a > corr_b, corr_b, corr_a);
        // Inclusive bounds; NaN on either side fails.
        const M valid = (corr_comb >= settings.min_corrcoef) &
                        (reproj_ref <= settings.max_reprojection_error_px) &
                        (reproj_def <= settings.max_reprojection_error_px);
        D sum = broadcast<L>(0.0);
        for (int k = 0; k < 3; ++k) {
            const D d = Xd[k] - Xr[k];
            put(kXr + k, Xr[k]);
            put(kXd + k, Xd[k]);
            put(kXrWorld + k, Xr[k] * settings.scale);
            put(kXdWorld + k, Xd[k] * settings.scale);
            put(kDispSfmP + k, d);
            const D dw = d * settings.scale;
            put(kDispWorldP + k, dw);
            sum = sum + dw * dw;
        }
        put(kDispNorm, L::sqrt(sum));
        put(kCorrComb, corr_comb);
        put(kReprojRef, reproj_ref);
        put(kReprojDef, reproj_def);
        for (int lane = 0; lane < L::width; ++lane) {
            block.ok[b + lane] = ok[lane] != 0;
            block.valid[b + lane] = valid[lane] != 0;
        }
    }
}

// The kept points of a block, compactly from output row `row`; returns how
// many. A template only so that each target's translation unit has its own copy.
template <typename L>
std::int64_t write_pair_block(const PairOutputs& out, const PairBlock& block, std::int64_t row) {
    const std::int64_t start = row;
    const ArrayView<double, 2>* pixels[4] = {&out.uv_ref_a, &out.uv_ref_b, &out.uv_def_a,
                                             &out.uv_def_b};
    const ArrayView<double, 2>* triples[6] = {&out.points_ref_sfm,   &out.points_def_sfm,
                                              &out.points_ref_world, &out.points_def_world,
                                              &out.displacement_sfm, &out.displacement_world};
    for (int j = 0; j < block.count; ++j) {
        if (!block.ok[j]) {
            continue;
        }
        out.point_indices(row) = block.id[j];
        for (int p = 0; p < 4; ++p) {
            (*pixels[p])(row, 0) = block.in[2 * p][j];
            (*pixels[p])(row, 1) = block.in[2 * p + 1][j];
        }
        for (int a = 0; a < 6; ++a) {
            for (int k = 0; k < 3; ++k) {
                (*triples[a])(row, k) = block.res[3 * a + k][j];
            }
        }
        out.displacement_norm_world(row) = block.res[kDispNorm][j];
        out.corr_a(row) = block.in[kCorrA][j];
        out.corr_b(row) = block.in[kCorrB][j];
        out.corr_comb(row) = block.res[kCorrComb][j];
        out.reprojection_error_ref(row) = block.res[kReprojRef][j];
        out.reprojection_error_def(row) = block.res[kReprojDef][j];
        out.valid_points(row) = block.valid[j] ? 1 : 0;
        ++row;
    }
    return row - start;
}

template <typename L>
std::int64_t pair_rows_lanes(const ObservedScene& scene, const PairGroups& groups,
                             const PairSettings& settings, const PairOutputs& out,
                             std::int64_t first, std::int64_t last, std::int64_t out_row) {
    static_assert(kPairBlock % (kSolveGroup<L> * L::width) == 0, "a block holds whole groups");
    if (first >= last) {
        return 0;
    }
    const CameraLanes<L> cam_a = broadcast_camera<L>(scene.cameras, settings.cam_a);
    const CameraLanes<L> cam_b = broadcast_camera<L>(scene.cameras, settings.cam_b);
    PairBlock block{};
    std::int64_t written = 0;
    for (std::int64_t begin = first; begin < last; begin += kPairBlock) {
        const std::int64_t end = std::min<std::int64_t>(begin + kPairBlock, last);
        gather_pair_points<L>(scene, groups, settings, begin, end, block);
        for (int b = 0; b < block.count; b += kSolveGroup<L> * L::width) {
            compute_pair_lanes<L>(cam_a, cam_b, settings, block, b);
        }
        written += write_pair_block<L>(out, block, out_row + written);
    }
    return written;
}

}  // namespace kestrine::simd
