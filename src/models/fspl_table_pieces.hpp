#pragma once
// The pieces a table's reads cut the range into (fspl_table_reads.cpp): the kink at r = u / rho
// (or its image in mu for a table in mu) splits it, each piece drawn towards the kink as a single
// segment's rule would be, graded panels where a singularity comes near an end, and each piece
// given the fewest nodes its nearest singularities allow.

#include <array>

#include "models/fspl_table_moments.hpp"

namespace lumagnis::models::fspl::table_pieces {

// The rules a piece may take: the fewer nodes, the cheaper both its uniform disks and the
// moments of each sample in it.
enum class PieceRule { n16, n20, n24, n32 };

// How a piece is drawn towards an end, as the segments' rules draw theirs.
using table_moments::Crowd;

struct Piece {
    double lo;
    double hi;
    Crowd crowd;
    PieceRule rule;
};

// At most this many pieces, whatever the grading asks for.
inline constexpr int max_pieces = 48;

struct Pieces {
    std::array<Piece, max_pieces> piece;
    int count = 0;
    void add(double lo, double hi, Crowd crowd) {
        if (count < max_pieces && hi > lo)
            piece[count++] = Piece{.lo = lo, .hi = hi, .crowd = crowd, .rule = PieceRule::n32};
    }
};

// A table in r: the kink at r = z = u / rho.
Pieces pieces_in_r(double z);

// The variable a table's pieces lie in: r for a table in r; for a table in mu, mu itself
// where it serves (see mu_serves), else w = 1 - sqrt(1 - mu) (pieces_in_w).
enum class Variable { r, mu, w };
Variable variable_for(bool mu_table, double z);

// A table in mu, in mu from the limb (mu = 0) to the centre (mu = 1). On either side of the
// kink the integrand is a function of r^2 = 1 - mu^2 (the disk's mean of the point
// magnification is even in its radius), analytic but for the kink at mu_k = sqrt(1 - z^2) and
// its mirror image at -mu_k, and on the outer side (r > z), whose function is singular at r =
// 0 too, the centre mu = 1: the layout of a table in r about mu_k wherever the centre lies as
// far beyond the kink as table_graded allows (where it is nearer, w serves: there the centre
// lies s_k ~ z / sqrt(2) from the kink, in mu only z^2 / 2). A lens outside puts the kink's
// singularity at i sqrt(z^2 - 1), off the limb end: graded panels growing away from it where
// it is near.
Pieces pieces_in_mu(double z);

// A table in mu, in w = 1 - sqrt(1 - mu) from the limb (w = 0) to the centre (w = 1): with
// s = 1 - w, mu = 1 - s^2 and r^2 = s^2 (2 - s^2) are polynomials, so the integrand, a function
// of r^2 on either side of the kink, is analytic in s but where r^2 = z^2: at s = +-s_k,
// s_k = z / sqrt(1 + mu_k), and at s = +-sqrt(2 - s_k^2), beyond the limb by at least
// sqrt(2) - 1 wherever w serves. In s the kink and its mirror image lie at +-s_k as they lie
// at +-z in r, and the outer side's singularity at the centre, r = 0, at s = 0 as at r = 0:
// the layout of a table in r about s_k, turned about (s = 1 - w). It serves where mu does not:
// there, in mu, the centre lies only z^2 / 2 beyond the kink. (In t = tan(phi / 2), the
// variable of the segments' rules, the poles at t = +-i and the kink's images +-1 / t_k would
// cut the range into more pieces.)
Pieces pieces_in_w(double z);

// Each piece's rule, by the singularities of the integrand off it (see the source file).
void choose_rules(Pieces& pieces, double z, double rho, Variable variable);

} // namespace lumagnis::models::fspl::table_pieces
