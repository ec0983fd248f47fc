#pragma once
// Bulirsch's general complete elliptic integral
//
//   cel(kc, p, a, b) = integral over [0, pi/2] of
//       (a cos^2 t + b sin^2 t) / ((cos^2 t + p sin^2 t) sqrt(cos^2 t + kc^2 sin^2 t)) dt,
//
// which is K, E and Pi at once, combined linearly: K(m) = cel(kc, 1, 1, 1),
// E(m) = cel(kc, 1, 1, kc^2), Pi(n, m) = cel(kc, 1 - n, 1, 1) with kc^2 = 1 - m. It takes the
// complements kc^2 = 1 - m and p = 1 - n themselves, so a caller that can form them without
// subtracting from 1 keeps full precision where m and n approach 1, and its iteration (a
// Gauss transformation that converges quadratically, like the arithmetic-geometric mean)
// needs no transcendental function.

#include <cmath>

#include "numerics/dual.hpp"

namespace lumagnis::special {

namespace cel_detail {

// The iteration stops once kc and the running mean agree to this relative tolerance; the
// convergence is quadratic, so the next step's error, about its square, is below the
// rounding error of the result (and the derivatives a Dual carries converge with it).
inline constexpr double tolerance = 1e-8;

// A bound far above the iterations that any kc > 0 representable in double needs (about 7
// for kc = 1e-300), so that a NaN, which never meets the tolerance, still ends the loop.
inline constexpr int max_steps = 40;

} // namespace cel_detail

// (cel(kc, 1, a1, b1) + cel(kc, p2, a2, b2)) / pi, for kc > 0 and p2 > 0 (a and b of any
// sign), in one iteration: the sequences of kc, e and the running mean, and so the stopping
// test, depend on kc alone, so the two integrals share them and their own steps interleave.
// The first integral's p = 1 (E and K combined) needs no root or quotient to start, and the
// factor pi / 2 of cel against 1 / pi leaves an exact halving.
// T is double, numerics::Lanes4 for four sums at once, or a numerics::DualT of either to carry
// derivatives along. The test is made on the values alone, so a DualT takes the steps of its
// value; four lanes go on until every lane has converged, and a further step leaves a
// converged lane at its limit.
template <class T> class CelPair {
public:
    CelPair(T kc, T a1, T b1, T p2, T a2, T b2)
        : kc_(kc), e_(kc), m_(numerics::constant<T>(1.0)), pp1_(m_), pp2_(sqrt_of(p2)), aa1_(a1),
          aa2_(a2), bb1_(b1), bb2_(b2 / pp2_) {}

    // One step of the iteration; false once it has converged, which leaves the state as the
    // result takes it.
    [[gnu::always_inline]] bool step() {
        // Each step divides twice by each p: by its reciprocal, one division instead of two.
        // The divider is what the iteration waits on, the more so on four lanes.
        const T inv1 = 1.0 / pp1_;
        const T inv2 = 1.0 / pp2_;
        const T f1 = aa1_;
        const T f2 = aa2_;
        aa1_ = aa1_ + bb1_ * inv1;
        aa2_ = aa2_ + bb2_ * inv2;
        const T g1 = e_ * inv1;
        const T g2 = e_ * inv2;
        bb1_ = bb1_ + f1 * g1;
        bb2_ = bb2_ + f2 * g2;
        bb1_ = bb1_ + bb1_;
        bb2_ = bb2_ + bb2_;
        pp1_ = g1 + pp1_;
        pp2_ = g2 + pp2_;
        const T previous = m_;
        m_ = kc_ + m_;
        using numerics::apart;
        if (!apart(previous, kc_, cel_detail::tolerance)) return false;
        kc_ = sqrt_of(e_);
        kc_ = kc_ + kc_;
        e_ = kc_ * m_;
        return true;
    }

    // step() for lanes that each stop on their own convergence, as the scalar iteration does:
    // `running` (a lane mask: lanes_apart's type) holds the lanes not yet converged, and a lane
    // once stopped keeps its state, so that every lane ends with the bits converged() gives its
    // values alone (step() instead takes every lane on until the last has converged). False
    // once every lane has stopped.
    template <class Mask> [[gnu::always_inline]] bool step_each(Mask& running) {
        // step() itself, then each lane back to where it was if it had stopped before, or its
        // kc and e if it stops now (step() moves them while any lane goes on).
        const CelPair before = *this;
        step();
        const Mask go_on =
            lanes_both(running, lanes_apart(before.m_, before.kc_, cel_detail::tolerance));
        aa1_ = lanes_select(running, aa1_, before.aa1_);
        aa2_ = lanes_select(running, aa2_, before.aa2_);
        bb1_ = lanes_select(running, bb1_, before.bb1_);
        bb2_ = lanes_select(running, bb2_, before.bb2_);
        pp1_ = lanes_select(running, pp1_, before.pp1_);
        pp2_ = lanes_select(running, pp2_, before.pp2_);
        m_ = lanes_select(running, m_, before.m_);
        kc_ = lanes_select(go_on, kc_, before.kc_);
        e_ = lanes_select(go_on, e_, before.e_);
        running = go_on;
        return lanes_any(running);
    }

    // (x1 / (m (m + pp1)) + x2 / (m (m + pp2))) / 2, over one common denominator.
    [[gnu::always_inline]] T result() const {
        const T s1 = m_ + pp1_;
        const T s2 = m_ + pp2_;
        return 0.5 * (((bb1_ + aa1_ * m_) * s2 + (bb2_ + aa2_ * m_) * s1) / (m_ * (s1 * s2)));
    }

private:
    static T sqrt_of(const T& x) {
        using numerics::sqrt;
        return sqrt(x);
    }
    T kc_, e_, m_, pp1_, pp2_, aa1_, aa2_, bb1_, bb2_;
};

// The iteration run to convergence: the sum's value.
template <class T> [[gnu::always_inline]] inline T converged(CelPair<T> cel) {
    for (int step = 0; step < cel_detail::max_steps; ++step)
        if (!cel.step()) break;
    return cel.result();
}

// The iteration run to convergence lane by lane (step_each), from `running` (every lane): each
// lane's value has the bits of converged() on that lane's values alone.
template <class T, class Mask>
[[gnu::always_inline]] inline T converged_each(CelPair<T> cel, Mask running) {
    for (int step = 0; step < cel_detail::max_steps; ++step)
        if (!cel.step_each(running)) break;
    return cel.result();
}

// Two independent iterations run to convergence, each taking exactly the steps it takes alone
// (so that each result has the bits of converged()): a step of one does not wait on the other, so
// while both run, the divider and the square root of one fill the other's waits.
template <class T> void converge_both(CelPair<T>& first, CelPair<T>& second) {
    bool first_on = true;
    bool second_on = true;
    for (int step = 0; step < cel_detail::max_steps && (first_on || second_on); ++step) {
        if (first_on) first_on = first.step();
        if (second_on) second_on = second.step();
    }
}

} // namespace lumagnis::special
