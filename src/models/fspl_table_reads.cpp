// A table with the lens inside the source, or just outside its limb. The integral by parts is
// a sum over the table's segments of slope_k (G(x_k+1) - G(x_k)), with G the integral of the
// radial integrand from the limb or the centre: one function per separation, smooth but for
// the kink at r = u / rho. Regrouped by sample, it is sum_j d_j G(x_j) with d_j the change of
// slope at sample j, a weight fixed per table. G is formed once per separation on the pieces
// that the kink splits the range into, each drawn towards the kink as a single segment's rule
// would be, as a Legendre series per piece (the cumulative integral of the interpolant at the
// rule's nodes), and read at every sample. The reads are gathered per piece first: the moments
// mu_m = sum d_j T_m(y_j) of the samples in it (Chebyshev polynomials, the cheapest recurrence), so
// that the series themselves are never formed, only their products with the moments, which are
// weights at the rule's nodes.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <vector>

#include "models/fspl.hpp"
#include "models/fspl_rules.hpp"
#include "models/fspl_table_moments.hpp"
#include "models/fspl_table_pieces.hpp"
#include "numerics/gauss_legendre_nodes.hpp"

namespace lumagnis::models::fspl {
namespace {

using numerics::GaussNode;

template <std::size_t N> using Square = std::array<std::array<double, N + 1>, N + 1>;

// The Chebyshev coefficients of the Legendre polynomials P_m, m = 0 .. N: row m holds
// P_m = sum_k c_mk T_k, from the recurrence (m + 1) P_m+1 = (2 m + 1) y P_m - m P_m-1 with
// y T_k = (T_k+1 + T_|k-1|) / 2. Every coefficient lies in [0, 1].
template <std::size_t N> constexpr Square<N> make_chebyshev_of_legendre() {
    Square<N> c{};
    c[0][0] = 1.0;
    c[1][1] = 1.0;
    for (std::size_t m = 1; m < N; ++m) {
        const double md = static_cast<double>(m);
        std::array<double, N + 1> y_p{}; // y P_m
        for (std::size_t k = 0; k <= m; ++k) {
            if (k == 0) {
                y_p[1] += c[m][0];
            } else {
                y_p[k + 1] += 0.5 * c[m][k];
                y_p[k - 1] += 0.5 * c[m][k];
            }
        }
        for (std::size_t k = 0; k <= m + 1; ++k)
            c[m + 1][k] = ((2 * md + 1) * y_p[k] - md * c[m - 1][k]) / (md + 1);
    }
    return c;
}

// The weights of the reads on an N-node rule: with h_i the integrand's values at the nodes
// (times the piece's Jacobian), its interpolant's integral from the start of the piece to y is
// sum_i h_i Lambda_i(y), Lambda_i(y) = (w_i / 2) [P_0 + P_1 + sum_m P_m(y_i) (P_m+1 - P_m-1)](y),
// m = 1 .. N - 1, a polynomial of degree N; column i holds its Chebyshev coefficients (row k
// the coefficients of T_k, so that the weights are formed a row at a time).
template <std::size_t N>
constexpr std::array<std::array<double, N>, N + 1>
make_reads(const std::array<GaussNode, N>& rule) {
    const Square<N> c = make_chebyshev_of_legendre<N>();
    std::array<std::array<double, N>, N + 1> out{};
    for (std::size_t i = 0; i < N; ++i) {
        const double y = 2 * rule[i].x - 1;
        std::array<double, N + 1> sum{};
        for (std::size_t k = 0; k <= N; ++k) sum[k] = c[0][k] + c[1][k];
        double previous = 1.0; // P_m-1(y)
        double current = y;    // P_m(y)
        for (std::size_t m = 1; m < N; ++m) {
            for (std::size_t k = 0; k <= N; ++k) sum[k] += current * (c[m + 1][k] - c[m - 1][k]);
            const double md = static_cast<double>(m);
            const double following = ((2 * md + 1) * y * current - md * previous) / (md + 1);
            previous = current;
            current = following;
        }
        for (std::size_t k = 0; k <= N; ++k) out[k][i] = (0.5 * rule[i].w) * sum[k];
    }
    return out;
}

// The rules a piece may take (see PieceRule).
constexpr auto reads_16 = make_reads(numerics::gauss_legendre_16);
constexpr auto reads_20 = make_reads(numerics::gauss_legendre_20);
constexpr auto reads_24 = make_reads(numerics::gauss_legendre_24);
constexpr auto reads_32 = make_reads(numerics::gauss_legendre_32);

using rules::table_centre;
using table_moments::Crowd;
using table_pieces::Piece;
using table_pieces::PieceRule;
using table_pieces::Pieces;
using table_pieces::Variable;

void positions(const double* x, std::size_t count, const Piece& piece, double* y) {
    table_moments::positions(x, count, piece.lo, 1 / (piece.hi - piece.lo), piece.crowd, y);
}

// The widths in y between consecutive points of a piece, fractions v[l] < v[l + 1] of it, l
// < count, given their differences dv[l] from the samples themselves: two samples a tiny step
// apart keep their step's digits, which the difference of their rounded positions would lose.
// With tau = v^(1 / 4), tau_b - tau_a = (v_b - v_a) / ((tau_a + tau_b)(tau_a^2 + tau_b^2)).
void gaps(const double* v, const double* dv, std::size_t count, Crowd crowd, double* out) {
    for (std::size_t l = 0; l < count; ++l) {
        double step = dv[l];
        if (crowd != Crowd::none && step > 0.0) {
            const double va = crowd == Crowd::left ? v[l] : 1 - v[l + 1];
            const double vb = crowd == Crowd::left ? v[l + 1] : 1 - v[l];
            const double ra = std::sqrt(va);
            const double rb = std::sqrt(vb);
            step /= (std::sqrt(ra) + std::sqrt(rb)) * (ra + rb);
        }
        out[l] = 2 * step;
    }
}

// The step in w = 1 - sqrt(1 - mu) between two samples of a table in mu, from their step in mu,
// which is exact where that of their rounded w would lose the digits of a tiny one:
// sqrt(1 - mu_a) - sqrt(1 - mu_b) = (mu_b - mu_a) / (sqrt(1 - mu_a) + sqrt(1 - mu_b)).
double w_step(double mu_a, double mu_b) {
    return (mu_b - mu_a) / (std::sqrt(1 - mu_a) + std::sqrt(1 - mu_b));
}

// The samples whose moments are taken at a time.
constexpr std::size_t chunk = table_moments::max_placed;

// Past this sum of the changes of slope against the flux (the intensity scaled to a peak of
// 1), the rounding of the reads, which the changes weigh, would no longer be small beside the
// result: such a table (steep steps a narrow segment apart) keeps its segments' rules.
constexpr double max_slope_change = 1e3;

} // namespace

// The changes of slope d_j, from the table's slopes (zero beyond its first and last sample),
// where their sum of magnitudes keeps the reads' rounding small beside the result.
void Source::prepare_table_reads() {
    const bool in_mu = kind_ == Kind::mu_table;
    const std::size_t segments = in_mu ? mu_slope_.size() : table_step_.size();
    if (segments == 0 || concentrated_) return;
    std::vector<double> slope(segments);
    for (std::size_t k = 0; k < segments; ++k)
        slope[k] = in_mu ? mu_slope_[k] : -table_step_[k] / (table_r_[k + 1] - table_r_[k]);
    std::vector<double> change(segments + 1);
    double total = 0.0;
    for (std::size_t j = 0; j <= segments; ++j) {
        change[j] = (j > 0 ? slope[j - 1] : 0.0) - (j < segments ? slope[j] : 0.0);
        total += std::fabs(change[j]);
    }
    if (!(total <= max_slope_change * norm_)) return;
    slope_change_ = std::move(change);
}

namespace {

struct ReadInput {
    double u;
    double rho;
    table_pieces::Variable variable;
    bool rim;
    const Pieces* pieces;
    const std::vector<double>* x; // the samples, ascending, in the pieces' variable
    const std::vector<double>* change;
    const std::vector<double>* mu; // a table in mu: its samples, ascending as x
    // With the derivatives in the samples: the integral of the radial integrand over each
    // segment between consecutive samples, else null.
    double* segment;
};

// out[l] = sum_m g_m (T_m(b[l]) - T_m(a[l])), m = 0 .. terms - 1, l < count, with gap[l] the
// width b[l] - a[l] formed from the samples themselves (see gaps): the integrals
// between a and b of the piece's integrand, from the Chebyshev series g of its cumulative
// integral. The differences are carried by their own recurrence, D_m+1 = 2 b D_m
// + 2 (b - a) T_m(a) - D_m-1, so that two close samples give their small integral to its own
// relative precision, not to that of the whole. The pairs are taken side by side, moment by
// moment over all of them.
constexpr std::size_t difference_chunk = 128;
// Two pairs side by side, the baseline's vectors: the operations are element-wise and correctly
// rounded, so the bits do not depend on how the pairs are grouped.
using Pair = double __attribute__((vector_size(16)));
void chebyshev_differences(const double* g, std::size_t terms, const double* a, const double* b,
                           const double* gap, std::size_t count, double* out) {
    constexpr std::size_t pairs = difference_chunk / 2;
    for (std::size_t first = 0; first < count; first += difference_chunk) {
        const std::size_t n = count - first < difference_chunk ? count - first : difference_chunk;
        const std::size_t used = (n + 1) / 2;
        Pair t_previous[pairs]; // T_m-1(a)
        Pair t_current[pairs];  // T_m(a)
        Pair d_previous[pairs]; // D_m-1
        Pair d_current[pairs];  // D_m
        Pair twice_a[pairs];
        Pair twice_b[pairs];
        Pair twice_width[pairs];
        Pair sum[pairs];
        for (std::size_t q = 0; q < used; ++q) {
            Pair lo = {};
            Pair hi = {};
            Pair width = {};
            for (std::size_t k = 0; k < 2; ++k) {
                const std::size_t l = 2 * q + k;
                lo[k] = l < n ? a[first + l] : 0.0;
                hi[k] = l < n ? b[first + l] : 0.0;
                width[k] = l < n ? gap[first + l] : 0.0;
            }
            twice_a[q] = lo + lo;
            twice_b[q] = hi + hi;
            twice_width[q] = width + width;
            t_previous[q] = Pair{} + 1.0;
            t_current[q] = lo;
            d_previous[q] = Pair{};
            d_current[q] = width;
            sum[q] = g[1] * width;
        }
        for (std::size_t m = 1; m + 1 < terms; ++m) {
            const double c = g[m + 1];
            for (std::size_t q = 0; q < used; ++q) {
                const Pair d_next =
                    twice_b[q] * d_current[q] + twice_width[q] * t_current[q] - d_previous[q];
                const Pair t_next = twice_a[q] * t_current[q] - t_previous[q];
                d_previous[q] = d_current[q];
                d_current[q] = d_next;
                t_previous[q] = t_current[q];
                t_current[q] = t_next;
                sum[q] += c * d_next;
            }
        }
        for (std::size_t l = 0; l < n; ++l) out[first + l] = sum[l / 2][l % 2];
    }
}

// What a pass over the pieces carries from one piece to the next.
struct ReadState {
    std::size_t next = 0; // the first sample not yet read
    Gradient cumulative{.a = 0.0, .da_du = 0.0, .da_drho = 0.0};
    // With the segments: the integral from the last sample read to the current piece's start,
    // where that sample lies in an earlier piece.
    double open = 0.0;
};

// The point of a piece at tau in [0, 1] of its rule: its radius r (in the source's), the
// Jacobian of the variable in which the integral by parts is taken (r, or mu for a table in mu)
// against tau, and the ring's radius rho r.
void node_point(const ReadInput& in, const Piece& piece, double tau, double& r, double& jacobian,
                double& radius) {
    const double length = piece.hi - piece.lo;
    double v = tau;
    double dv = 1.0;
    if (piece.crowd == Crowd::left) {
        const double t3 = tau * tau * tau;
        v = t3 * tau;
        dv = 4 * t3;
    } else if (piece.crowd == Crowd::right) {
        const double s = 1 - tau;
        const double s3 = s * s * s;
        v = 1 - s3 * s;
        dv = 4 * s3;
    }
    const double at = piece.lo + length * v;
    jacobian = length * dv;
    if (in.variable == Variable::mu) {
        r = std::sqrt((1 - at) * (1 + at));
    } else if (in.variable == Variable::w) {
        const double s = 1 - at;
        r = s * std::sqrt((std::sqrt(2.0) - s) * (std::sqrt(2.0) + s));
        jacobian *= 2 * s; // dmu / dw
    } else {
        r = at;
    }
    radius = in.rho * r;
}

// Four nodes of a piece from `first` on (eight where the rule has them, two fours side by
// side): their r, their factor h = jacobian r^2 in the integral by parts, and the uniform disks
// of radius rho r there. Returns how many fours.
template <bool WithGradient, class Rule>
int node_disks(const ReadInput& in, const Piece& piece, const Rule& rule, std::size_t first,
               double (&r)[2 * disk_lanes], double (&h)[2 * disk_lanes], DiskLanes (&disk)[2]) {
    const int groups = fours_at_once(first, rule.size());
    double jacobian[2 * disk_lanes];
    double radius[2 * disk_lanes];
    for (int i = 0; i < groups * disk_lanes; ++i) {
        node_point(in, piece, rule[first + i].x, r[i], jacobian[i], radius[i]);
        h[i] = jacobian[i] * (r[i] * r[i]);
    }
    uniform_disk_closed_fours<WithGradient>(in.u, radius, groups, in.rim, disk);
    return groups;
}

// The segments that end in a piece, samples start .. end - 1, from the integrand at the nodes
// of an N-node rule (times the Jacobian) and its integral over the piece.
template <std::size_t N>
void read_segments(const ReadInput& in, const Piece& piece,
                   const std::array<std::array<double, N>, N + 1>& reads,
                   const std::array<double, N>& at_node, double total, std::size_t start,
                   std::size_t end, ReadState& state) {
    if (end == start) {
        state.open += total;
        return;
    }
    const std::vector<double>& x = *in.x;
    const double length = piece.hi - piece.lo;
    // The series of the cumulative integral on this piece, and from it the segments that end
    // in it.
    std::array<double, N + 1> g{};
    for (std::size_t i = 0; i < N; ++i)
        for (std::size_t k = 0; k <= N; ++k) g[k] += reads[k][i] * at_node[i];
    // Pair l runs from sample l - 1 (the piece's start for the first) to sample l, and a last
    // one from the last sample to the piece's end.
    const std::size_t count = end - start;
    std::vector<double> b(count + 1);
    std::vector<double> a(count + 1);
    positions(&x[start], count, piece, b.data());
    b[count] = 1.0;
    a[0] = -1.0;
    for (std::size_t l = 1; l <= count; ++l) a[l] = b[l - 1];
    // The fractions of the piece at the pairs' ends, and their differences.
    const double inverse = 1 / length;
    std::vector<double> v(count + 2);
    std::vector<double> dv(count + 1);
    v[0] = 0.0;
    v[count + 1] = 1.0;
    for (std::size_t l = 0; l < count; ++l)
        v[l + 1] = std::fmin(1.0, std::fmax(0.0, (x[start + l] - piece.lo) * inverse));
    dv[0] = v[1];
    for (std::size_t l = 1; l < count; ++l) {
        const std::size_t j = start + l;
        double step = x[j] - x[j - 1];
        if (in.variable == Variable::w) step = w_step((*in.mu)[j - 1], (*in.mu)[j]);
        dv[l] = std::fmax(0.0, step * inverse);
    }
    dv[count] = std::fmax(0.0, (piece.hi - x[end - 1]) * inverse);
    std::vector<double> gap(count + 1);
    gaps(v.data(), dv.data(), count + 1, piece.crowd, gap.data());
    std::vector<double> part(count + 1);
    chebyshev_differences(g.data(), N + 1, a.data(), b.data(), gap.data(), count + 1, part.data());
    if (start > 0) in.segment[start - 1] = state.open + part[0];
    for (std::size_t l = 1; l < count; ++l) in.segment[start + l - 1] = part[l];
    state.open = part[count];
}

// The integrand at the 32-node rule's points of a piece (times the Jacobian), and its
// integral over the piece: the segments' series where the value takes a shorter rule. Kept
// out of line, as only the derivatives in the samples take it.
[[gnu::noinline]] double fine_nodes(const ReadInput& in, const Piece& piece,
                                    std::array<double, 32>& fine) {
    double total = 0.0;
    const auto& rule = numerics::gauss_legendre_32;
    for (std::size_t first = 0; first < 32;) {
        double r[2 * disk_lanes];
        double h[2 * disk_lanes];
        DiskLanes disk[2];
        const int groups = node_disks<false>(in, piece, rule, first, r, h, disk);
        for (int i = 0; i < groups * disk_lanes; ++i) {
            if (h[i] == 0.0) continue;
            const double a = disk[i / disk_lanes].a[i % disk_lanes];
            total += (rule[first + i].w * h[i]) * a;
            fine[first + i] = h[i] * a;
        }
        first += static_cast<std::size_t>(groups * disk_lanes);
    }
    return total;
}

// One piece on an N-node rule: adds sum_j d_j G(x_j) over its samples to `sum`, for the value
// and with WithGradient for the slopes in u and rho.
template <bool WithGradient, std::size_t N>
void read_piece(const ReadInput& in, const Piece& piece, const std::array<GaussNode, N>& rule,
                const std::array<std::array<double, N>, N + 1>& reads, ReadState& state,
                Gradient& sum) {
    const std::vector<double>& x = *in.x;
    const std::vector<double>& change = *in.change;
    Gradient& cumulative = state.cumulative;
    // The samples in [lo, hi): their moments, a chunk at a time, the chunks summed in order.
    std::array<double, N + 1> mu{};
    const std::size_t start = state.next;
    // The samples ascend: the first at or past hi, found by halving.
    const auto from = x.begin() + static_cast<std::ptrdiff_t>(start);
    const std::size_t end =
        start + static_cast<std::size_t>(std::lower_bound(from, x.end(), piece.hi) - from);
    const double inverse = 1 / (piece.hi - piece.lo);
    for (std::size_t first = start; first < end; first += chunk) {
        const std::size_t count = end - first < chunk ? end - first : chunk;
        double part_moments[N + 1];
        table_moments::placed_moments(&x[first], &change[first], count, piece.lo, inverse,
                                      piece.crowd, N + 1, part_moments);
        for (std::size_t m = 0; m <= N; ++m) mu[m] += part_moments[m];
    }
    // The changes' own sum is moment 0 (T_0 = 1).
    const double change_sum = mu[0];
    state.next = end;
    // The weight of each node: nu_i = sum_k Lambda_ik mu_k, the product of the cumulative
    // integral's series with the moments mu_k = sum_j d_j T_k(y_j).
    static_assert(N % 4 == 0 && N <= 32 && sizeof(reads) == (N + 1) * N * sizeof(double));
    std::array<double, N> nu{};
    if (end > start) table_moments::node_weights(reads[0].data(), mu.data(), N + 1, N, nu.data());
    Gradient total{.a = 0.0, .da_du = 0.0, .da_drho = 0.0};
    Gradient read{.a = 0.0, .da_du = 0.0, .da_drho = 0.0};
    std::array<double, N> at_node{}; // the integrand at the nodes, with the segments
    for (std::size_t first = 0; first < N;) {
        double r[2 * disk_lanes];
        double h[2 * disk_lanes];
        DiskLanes disks[2];
        const int groups = node_disks<WithGradient>(in, piece, rule, first, r, h, disks);
        for (int i = 0; i < groups * disk_lanes; ++i) {
            const std::size_t node = first + i;
            if (h[i] == 0.0) continue;
            const DiskLanes& disk = disks[i / disk_lanes];
            const int lane = i % disk_lanes;
            total.a += (rule[node].w * h[i]) * disk.a[lane];
            read.a += (nu[node] * h[i]) * disk.a[lane];
            at_node[node] = h[i] * disk.a[lane];
            if constexpr (WithGradient) {
                // A node on the ring through the lens itself: its share of the integrable
                // logarithm is nil.
                if (!std::isfinite(disk.da_du[lane])) continue;
                total.da_du += (rule[node].w * h[i]) * disk.da_du[lane];
                total.da_drho += (rule[node].w * (h[i] * r[i])) * disk.da_dradius[lane];
                read.da_du += (nu[node] * h[i]) * disk.da_du[lane];
                read.da_drho += (nu[node] * (h[i] * r[i])) * disk.da_dradius[lane];
            }
        }
        first += static_cast<std::size_t>(groups * disk_lanes);
    }
    if (in.segment != nullptr) {
        // The segments read the series pointwise, where the kink's logarithm is not averaged
        // out as in the sums over samples: they keep the 32-node series, whatever rule the
        // value takes (which a second pass over the nodes leaves as it is).
        if constexpr (N == 32) {
            read_segments(in, piece, reads, at_node, total.a, start, end, state);
        } else {
            std::array<double, 32> fine{};
            const double fine_total = fine_nodes(in, piece, fine);
            read_segments(in, piece, reads_32, fine, fine_total, start, end, state);
        }
    }
    sum.a += change_sum * cumulative.a + read.a;
    cumulative.a += total.a;
    if constexpr (WithGradient) {
        sum.da_du += change_sum * cumulative.da_du + read.da_du;
        sum.da_drho += change_sum * cumulative.da_drho + read.da_drho;
        cumulative.da_du += total.da_du;
        cumulative.da_drho += total.da_drho;
    }
}

// One pass over the pieces, each on its own rule.
template <bool WithGradient> void read_pieces(const ReadInput& in, Gradient& sum) {
    ReadState state;
    for (int p = 0; p < in.pieces->count; ++p) {
        const Piece& piece = in.pieces->piece[p];
        switch (piece.rule) {
        case PieceRule::n16:
            read_piece<WithGradient>(in, piece, numerics::gauss_legendre_16, reads_16, state, sum);
            break;
        case PieceRule::n20:
            read_piece<WithGradient>(in, piece, numerics::gauss_legendre_20, reads_20, state, sum);
            break;
        case PieceRule::n24:
            read_piece<WithGradient>(in, piece, numerics::gauss_legendre_24, reads_24, state, sum);
            break;
        default:
            read_piece<WithGradient>(in, piece, numerics::gauss_legendre_32, reads_32, state, sum);
        }
    }
    // Samples at the end of the range (r = 1, or the centre) read the whole integral.
    const std::vector<double>& change = *in.change;
    for (std::size_t next = state.next; next < in.x->size(); ++next) {
        if (in.segment != nullptr && next > 0) {
            in.segment[next - 1] = state.open;
            state.open = 0.0;
        }
        sum.a += change[next] * state.cumulative.a;
        if constexpr (WithGradient) {
            sum.da_du += change[next] * state.cumulative.da_du;
            sum.da_drho += change[next] * state.cumulative.da_drho;
        }
    }
}

} // namespace

// The portable positions, here where the roots are taken a vector at a time (see the build's
// options for this file). One loop per crowding, free of branches.
void table_moments::portable::positions(const double* x, std::size_t count, double lo,
                                        double inverse, Crowd crowd, double* y) {
    const auto fraction = [&](double at) {
        const double v = (at - lo) * inverse;
        return v < 0.0 ? 0.0 : v > 1.0 ? 1.0 : v;
    };
    if (crowd == Crowd::left) {
        for (std::size_t l = 0; l < count; ++l) y[l] = 2 * std::sqrt(std::sqrt(fraction(x[l]))) - 1;
    } else if (crowd == Crowd::right) {
        for (std::size_t l = 0; l < count; ++l)
            y[l] = 1 - 2 * std::sqrt(std::sqrt(1 - fraction(x[l])));
    } else {
        for (std::size_t l = 0; l < count; ++l) y[l] = 2 * fraction(x[l]) - 1;
    }
}

template <bool WithGradient>
bool Source::add_table_reads(double u, double rho, Gradient& sum, double* segment) const {
    if (slope_change_.empty() || rho > rules::large_source) return false;
    const double z = u / rho;
    const Variable variable = table_pieces::variable_for(kind_ == Kind::mu_table, z);
    Pieces pieces = variable == Variable::r   ? table_pieces::pieces_in_r(z)
                    : variable == Variable::w ? table_pieces::pieces_in_w(z)
                                              : table_pieces::pieces_in_mu(z);
    table_pieces::choose_rules(pieces, z, rho, variable);
    const ReadInput in{.u = u,
                       .rho = rho,
                       .variable = variable,
                       .rim = variable == Variable::r && z < table_centre,
                       .pieces = &pieces,
                       .x = variable == Variable::mu  ? &table_mu_
                            : variable == Variable::w ? &table_w_
                                                      : &table_r_,
                       .change = &slope_change_,
                       .mu = &table_mu_,
                       .segment = segment};
    read_pieces<WithGradient>(in, sum);
    return true;
}

template bool Source::add_table_reads<false>(double, double, Gradient&, double*) const;
template bool Source::add_table_reads<true>(double, double, Gradient&, double*) const;

} // namespace lumagnis::models::fspl
