// The layout of a table's pieces and the choice of their rules (see fspl_table_pieces.hpp).

#include "models/fspl_table_pieces.hpp"

#include <array>
#include <cmath>
#include <complex>
#include <cstddef>
#include <limits>

#include "models/fspl_rules.hpp"

namespace lumagnis::models::fspl::table_pieces {
namespace {

using rules::graded_ratio;
using rules::limb_panel;
using rules::near_singularity;
using rules::table_graded;

// Graded panels in mu end at the centre once the next would pass this: the last then spans at
// most 1 / last_panel of its start, as far as the partial integrals stay at ~1e-14.
constexpr double last_panel = 0.8;
// A lens outside the source puts the kink's singularity at mu = i sqrt(z^2 - 1), off the limb
// end; closer than this, panels graded from it: farther, one piece of 32 nodes keeps
// R^-32 32^-3 within the kink_tolerance below (R = a + sqrt(a^2 - 1), a = lens + sqrt(1 +
// lens^2) at lens = 0.3).
constexpr double near_lens = 0.3;

} // namespace

Pieces pieces_in_r(double z) {
    Pieces out;
    if (z == 0) {
        out.add(0.0, 1.0, Crowd::none);
    } else if (z < 1) {
        out.add(0.0, z, Crowd::right);
        if (1 - z > table_graded * z) {
            double near = z;
            for (int panel = 0; near < 1.0; ++panel) {
                const double far = out.count + 2 >= max_pieces
                                       ? 1.0
                                       : std::fmin(1.0, panel == 0 ? 2 * z : graded_ratio * near);
                out.add(near, far, panel == 0 ? Crowd::left : Crowd::none);
                near = far;
            }
        } else {
            out.add(z, 1.0, Crowd::left);
        }
    } else {
        const double gap = z - 1;
        if (gap > 0 && gap * table_graded < 1) {
            // Panels from the limb inwards, [1 - 4 d, 1], [1 - 16 d, 1 - 4 d], ..., gathered in
            // ascending order.
            std::array<double, max_pieces> edge{};
            int edges = 0;
            double near = 0;
            edge[edges++] = 1.0;
            while (near < 1.0 && edges + 2 < max_pieces) {
                const double far = std::fmin(1.0, (near == 0 ? gap : near) * graded_ratio);
                edge[edges++] = 1.0 - far;
                near = far;
            }
            if (near < 1.0) edge[edges++] = 0.0;
            for (int e = edges - 1; e > 0; --e)
                out.add(edge[e], edge[e - 1], e == 1 ? Crowd::right : Crowd::none);
        } else {
            out.add(0.0, 1.0, z < 2 ? Crowd::right : Crowd::none);
        }
    }
    return out;
}

namespace {

// Panels from start to the centre (1), each graded_ratio times as far from the limb as the
// last.
void add_graded(Pieces& out, double start) {
    double lo = start;
    while (lo < 1.0) {
        const double next = graded_ratio * lo;
        const double hi = next >= last_panel || out.count + 2 >= max_pieces ? 1.0 : next;
        out.add(lo, hi, Crowd::none);
        lo = hi;
    }
}

// A lens on the limb or outside, with the kink's singularity at i lens off the limb end (0):
// within `near` of it, panels graded away from it.
void add_outside(Pieces& out, double lens, double near) {
    if (lens > 0 && lens < near) {
        out.add(0.0, 2 * lens, Crowd::none);
        add_graded(out, 2 * lens);
    } else if (lens == 0) {
        out.add(0.0, limb_panel, Crowd::left);
        add_graded(out, limb_panel);
    } else {
        out.add(0.0, 1.0, Crowd::none);
    }
}

// Whether a table in mu takes its pieces in mu at z (see pieces_in_mu): a lens on the limb or
// outside, or a kink mu_k inside whose gap to the centre, 1 - mu_k, is at least mu_k /
// table_graded.
bool mu_serves(double z) {
    if (!(z < 1)) return true;
    const double kink = std::sqrt((1 - z) * (1 + z));
    return (1 - kink) * table_graded >= kink;
}

} // namespace

Variable variable_for(bool mu_table, double z) {
    if (!mu_table) return Variable::r;
    return mu_serves(z) ? Variable::mu : Variable::w;
}

Pieces pieces_in_mu(double z) {
    if (z < 1) {
        // The kink and its mirror image at +-mu_k, mu_k = sqrt(1 - z^2), as the kink and its
        // image lie at +-z in r: the same layout about mu_k (the centre, where mu serves, no
        // nearer the kink than that layout's pieces allow).
        return pieces_in_r(std::sqrt((1 - z) * (1 + z)));
    }
    Pieces out;
    add_outside(out, std::sqrt((z - 1) * (z + 1)), near_lens);
    return out;
}

namespace {

// s_k = sqrt(1 - mu_k) at the kink, mu_k = sqrt(1 - z^2), without the differences from 1 that
// lose a small z's digits: 1 - mu_k = z^2 / (1 + mu_k).
double kink_in_s(double z) { return z / std::sqrt(1 + std::sqrt((1 - z) * (1 + z))); }

// The share of w's piece from the limb that takes a plain rule (pieces_in_w).
constexpr double plain_share = 0.4;

} // namespace

Pieces pieces_in_w(double z) {
    const Pieces in_s = pieces_in_r(kink_in_s(z));
    Pieces out;
    for (int p = in_s.count - 1; p >= 0; --p) {
        const Piece& piece = in_s.piece[p];
        const Crowd crowd = piece.crowd == Crowd::left    ? Crowd::right
                            : piece.crowd == Crowd::right ? Crowd::left
                                                          : Crowd::none;
        const double lo = 1 - piece.hi;
        const double hi = 1 - piece.lo;
        // A piece from the limb drawn towards the kink would stretch its limb end fourfold,
        // towards the kink's image beyond the limb (w = 1 - sqrt(2 - s_k^2) <= 1 - sqrt(2) +
        // 0.02): its first plain_share at the limb takes a plain rule, short enough for 16
        // nodes with that image and the kink beyond its ends, and leaving the image 1.2 of the
        // crowded rest's length (in tau) off it.
        if (lo == 0.0 && crowd == Crowd::right) {
            out.add(0.0, plain_share * hi, Crowd::none);
            out.add(plain_share * hi, hi, crowd);
        } else {
            out.add(lo, hi, crowd);
        }
    }
    return out;
}

namespace {

// The rules, by the singularities of the integrand off each piece. On a piece mapped to
// [-1, 1], an interpolant at N nodes of a function analytic inside the Bernstein ellipse of
// parameter R (foci at the ends, sum of distances to them 2a, R = a + sqrt(a^2 - 1)) errs by
// O(R^-N), times a power of N set by the nearest singularity's kind:
// - the kink r = u / rho and its mirror images (in r, r = -u / rho; in mu, +-mu_k, or
//   i sqrt(z^2 - 1) for a lens outside; in w, four points, see singularities_in_w):
//   A_U ~ g + h (R - u) ln|R - u| there, whose Chebyshev coefficients fall like R^-n n^-2, and
//   the cumulative integral that the reads take gains 1 / n: R^-N N^-3;
// - for a larger source the branch points of the point lens, where the distance to the lens
//   is 2i (r = +-u / rho +- 2i / rho, and their images in mu or w): taken as poles of order up
//   to three, R^-N N^2.
// In mu, the outer side's singularity at the centre lies beyond the range, as far from the
// kink as pieces_in_mu ensures; it is not counted here.
// The 32-node rule, the only one until now, held its worst piece (the first graded panel,
// [2z, 8z] with the kink at a sixth of its length before it: R = 2.215) at 2.215^-32 32^-3 =
// 2.6e-16; each piece takes the fewest nodes whose bound, of either kind, stays below that
// (for a piece drawn towards the kink, in tau, where the crowding moves the other points).
// The kink at a crowded end leaves the slopes' integrand a logarithm, tau^3 ln tau, whose
// interpolant's error falls only like N^-8, in proportion to the piece's share: the crowded
// pieces (which span much of the range) keep 32 nodes there, held to ~1e-10.
constexpr double kink_tolerance = 2.6e-16;
constexpr std::array<int, 3> fewer_nodes = {16, 20, 24};
struct Thresholds {
    // The least a (half the sum of the distances to the foci, over the half-length) for each
    // of fewer_nodes, by kind.
    std::array<double, 3> kink;
    std::array<double, 3> pole;
};
const Thresholds thresholds = [] {
    Thresholds out{};
    const auto a_of = [](double log_r) {
        const double r = std::exp(log_r);
        return 0.5 * (r + 1 / r);
    };
    for (std::size_t k = 0; k < fewer_nodes.size(); ++k) {
        const double n = fewer_nodes[k];
        const double log_tolerance = std::log(kink_tolerance);
        out.kink[k] = a_of((-log_tolerance - 3 * std::log(n)) / n);
        out.pole[k] = a_of((-log_tolerance + 2 * std::log(n)) / n);
    }
    return out;
}();

struct Point {
    double re;
    double im;
};

// a for the point s = re + i im and an uncrowded piece [lo, hi]: (|s - lo| + |s - hi|) / L.
// For a crowded piece, in tau: the point's fraction v of the piece from its crowded end (a
// right crowding is a left one seen from the other end), tau^4 = v, and of the four roots the
// principal one (|arg| <= pi / 4) is the nearest to [0, 1], its argument's cosine taken by two
// half angles. The crowded end itself, which the crowding smooths, counts as far off.
double ellipse_sum(const Piece& piece, Point s) {
    const double inverse = 1 / (piece.hi - piece.lo);
    const double v = (piece.crowd == Crowd::right ? piece.hi - s.re : s.re - piece.lo) * inverse;
    const double w = s.im * inverse;
    if (piece.crowd == Crowd::none)
        return std::sqrt(v * v + w * w) + std::sqrt((v - 1) * (v - 1) + w * w);
    const double size = std::sqrt(v * v + w * w);
    if (size == 0.0) return std::numeric_limits<double>::infinity();
    const double root = std::sqrt(std::sqrt(size));
    const double half = std::sqrt(0.5 * (1 + v / size));
    const double quarter = std::sqrt(0.5 * (1 + half));
    return root + std::sqrt(std::fmax(0.0, root * root - 2 * root * quarter + 1));
}

// The singularities near [0, 1] off the real segment and the kink's own (upper half plane
// only: the integrand is real, so they come in conjugate pairs), by kind.
struct Singular {
    std::array<Point, 4> kink;
    int kinks = 0;
    std::array<Point, 5> pole;
    int poles = 0;
};

// In w = 1 - s (pieces_in_w): the kink's images at s = +-s_k and s = +-sqrt(2 - s_k^2) (a lens
// inside; w serves no other), and the point lens's branch points at r = +-z + 2i / rho, at
// s^2 = 1 -+ mu with mu^2 = 1 - r^2, each root of either sign.
Singular singularities_in_w(double z, double rho) {
    Singular out;
    const double k = kink_in_s(z);
    const double image = std::sqrt((std::sqrt(2.0) - k) * (std::sqrt(2.0) + k));
    for (const double at : {k, -k, image, -image}) out.kink[out.kinks++] = {1 - at, 0};
    const std::complex<double> r(z, 2 / rho);
    const std::complex<double> mu = std::sqrt(1.0 - r * r);
    for (const std::complex<double> s : {std::sqrt(1.0 - mu), std::sqrt(1.0 + mu)}) {
        out.pole[out.poles++] = {1 - s.real(), std::fabs(s.imag())};
        out.pole[out.poles++] = {1 + s.real(), std::fabs(s.imag())};
    }
    return out;
}

Singular singularities(double z, double rho, Variable variable) {
    if (variable == Variable::w) return singularities_in_w(z, rho);
    Singular out;
    const double offset = 2 / rho;
    if (variable == Variable::r) {
        if (z > 0) {
            out.kink[out.kinks++] = {z, 0};
            out.kink[out.kinks++] = {-z, 0};
        }
        out.pole[out.poles++] = {z, offset};
        out.pole[out.poles++] = {-z, offset};
        return out;
    }
    if (z < 1) {
        const double k = std::sqrt((1 - z) * (1 + z));
        for (const double at : {k, -k}) out.kink[out.kinks++] = {at, 0};
    } else {
        out.kink[out.kinks++] = {0, std::sqrt((z - 1) * (z + 1))};
    }
    // mu^2 = 1 - r^2 at r = z + 2i / rho (r = -z + 2i / rho gives the conjugate), both roots.
    // Where |mu| >= Re(mu^2)^(1/2) = (1 - z^2 + 4 / rho^2)^(1/2) passes 1 + a / 2 for the
    // largest threshold a, every uncrowded piece's sum, at least 2 (|mu| - 1), passes every
    // threshold (the crowded ones keep 32 nodes in mu): left out, as for any small source.
    const double far = 1 + 0.5 * thresholds.pole.front();
    if (!(1 - z * z + offset * offset >= far * far)) {
        const std::complex<double> r(z, offset);
        const std::complex<double> mu = std::sqrt(1.0 - r * r);
        out.pole[out.poles++] = {mu.real(), std::fabs(mu.imag())};
        out.pole[out.poles++] = {-mu.real(), std::fabs(mu.imag())};
    }
    return out;
}

} // namespace

void choose_rules(Pieces& pieces, double z, double rho, Variable variable) {
    // The least node count each piece may take: a crowded piece keeps 32, and then so do all
    // when no other piece is left.
    std::array<int, max_pieces> floor{};
    bool any = false;
    for (int p = 0; p < pieces.count; ++p) {
        const Crowd crowd = pieces.piece[p].crowd;
        floor[p] = crowd == Crowd::none ? 0 : 32;
        any = any || floor[p] < 32;
    }
    if (!any) return;
    const Singular near = singularities(z, rho, variable);
    for (int p = 0; p < pieces.count; ++p) {
        if (floor[p] >= 32) continue;
        Piece& piece = pieces.piece[p];
        // The least of the sums (never NaN), by a comparison the compiler keeps inline, so
        // that the roots of successive points overlap; the poles only where the kinks leave a
        // rule to choose.
        const auto least = [&piece](const auto& points, int count) {
            double out = std::numeric_limits<double>::infinity();
            for (int k = 0; k < count; ++k) {
                const double sum = ellipse_sum(piece, points[k]);
                out = sum < out ? sum : out;
            }
            return out;
        };
        const double kink = least(near.kink, near.kinks);
        if (!(kink >= thresholds.kink.back())) continue;
        const double pole = least(near.pole, near.poles);
        for (std::size_t k = 0; k < fewer_nodes.size(); ++k) {
            if (fewer_nodes[k] >= floor[p] && kink >= thresholds.kink[k] &&
                pole >= thresholds.pole[k]) {
                piece.rule = static_cast<PieceRule>(k);
                break;
            }
        }
    }
}

} // namespace lumagnis::models::fspl::table_pieces
