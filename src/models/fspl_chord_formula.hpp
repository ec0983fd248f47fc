#pragma once
// The integrals along chords through the lens (fspl_chord.cpp), written once over a lane type
// V: one chord per lane, each lane's sums taken node by node in the same order, so that every
// lane has the bits of a chord taken alone, on the portable lanes and on AVX2's.

namespace lumagnis::models::fspl::chord_formula {

// The sums of one set of chords: J = sum_k w_k (g(s + h t_k) + g(s - h t_k)), and with the
// slopes J_s = sum_k w_k (g'(+) + g'(-)) and h J_h = h sum_k w_k t_k (g'(+) - g'(-)), where
// g(x) = (x^2 + 2) / sqrt(x^2 + 4) is the point magnification times |x| and t_k > 0, w_k the
// positive half of a symmetric rule.
template <class V> struct Sums {
    V j;
    V j_s;
    V h_j_h;
};

template <bool WithGradient, class V>
Sums<V> chord_sums(V s, V h, const double* t, const double* w, int pairs, V zero) {
    Sums<V> out{zero, zero, zero};
    V odd = zero;
    for (int k = 0; k < pairs; ++k) {
        const V step = h * t[k];
        const V x_plus = s + step;
        const V x_minus = s - step;
        const V q_plus = x_plus * x_plus + 4.0;
        const V q_minus = x_minus * x_minus + 4.0;
        const V root_plus = sqrt(q_plus);
        const V root_minus = sqrt(q_minus);
        // The pair's two values over one division: the divider, which the roots share, bounds
        // the cost.
        const V g = ((x_plus * x_plus + 2.0) * root_minus + (x_minus * x_minus + 2.0) * root_plus) /
                    (root_plus * root_minus);
        out.j = out.j + g * w[k];
        if constexpr (WithGradient) {
            // g'(x) = x (x^2 + 6) / (x^2 + 4)^(3/2).
            const V d_plus = x_plus * (x_plus * x_plus + 6.0) / (q_plus * root_plus);
            const V d_minus = x_minus * (x_minus * x_minus + 6.0) / (q_minus * root_minus);
            out.j_s = out.j_s + (d_plus + d_minus) * w[k];
            odd = odd + (d_plus - d_minus) * (w[k] * t[k]);
        }
    }
    if constexpr (WithGradient) out.h_j_h = h * odd;
    return out;
}

// The integrand in phi of four chords of midpoints s = u cos and half-lengths^2 h2 at angles
// whose cos and sin are given, the lens at u from the centre: h^2 J, and with the slopes its
// derivatives in u, h^2 cos J_s - u sin^2 (2 J + h J_h), and in rho (over rho), 2 J + h J_h.
template <class V> struct Integrand {
    V value;
    V du;
    V drho;
};

template <bool WithGradient, class V>
Integrand<V> chord_integrand(V u, V s, V h2, V cos, V sin, const double* t, const double* w,
                             int pairs, V zero) {
    const V h = sqrt(h2);
    const Sums<V> sums = chord_sums<WithGradient>(s, h, t, w, pairs, zero);
    Integrand<V> out{h2 * sums.j, zero, zero};
    if constexpr (WithGradient) {
        const V both = 2.0 * sums.j + sums.h_j_h;
        out.du = h2 * (cos * sums.j_s) - (u * (sin * sin)) * both;
        out.drho = both;
    }
    return out;
}

// sin x and cos x for x in [0, pi / 2], lane by lane, for Groups sets of lanes at once: sin and
// cos of x / 2 by their Taylor series through (x / 2)^17 and (x / 2)^16, whose next terms are
// below 1e-17, then the double angle. A few products in place of two library calls a node, the
// sets' series interleaved so that each one's products fill the others' waits; cos x keeps an
// absolute error of a few ulps of 1 near pi / 2, which is all a chord's midpoint u cos x asks.
// The number of sets is fixed at compile time, so that the series stay in registers.
template <int Groups, class V> void sin_cos(const V* x, V* s, V* c) {
    constexpr int terms = 9;
    constexpr auto inverse_factorials = [] {
        double f[2 * terms] = {};
        f[0] = 1.0;
        for (int n = 1; n < 2 * terms; ++n) f[n] = f[n - 1] / n;
        struct Out {
            double sin[terms];
            double cos[terms];
        } out{};
        for (int k = 0; k < terms; ++k) {
            const double sign = k % 2 == 0 ? 1.0 : -1.0;
            out.sin[k] = sign * f[2 * k + 1];
            out.cos[k] = sign * f[2 * k];
        }
        return out;
    }();
    V half[Groups];
    V x2[Groups];
    V ps[Groups];
    V pc[Groups];
    for (int g = 0; g < Groups; ++g) {
        half[g] = x[g] * 0.5;
        x2[g] = half[g] * half[g];
        ps[g] = x2[g] * inverse_factorials.sin[terms - 1] + inverse_factorials.sin[terms - 2];
        pc[g] = x2[g] * inverse_factorials.cos[terms - 1] + inverse_factorials.cos[terms - 2];
    }
    for (int k = terms - 3; k >= 0; --k) {
        for (int g = 0; g < Groups; ++g) {
            ps[g] = ps[g] * x2[g] + inverse_factorials.sin[k];
            pc[g] = pc[g] * x2[g] + inverse_factorials.cos[k];
        }
    }
    for (int g = 0; g < Groups; ++g) {
        const V sh = half[g] * ps[g];
        s[g] = 2.0 * (sh * pc[g]);
        c[g] = (pc[g] - sh) * (pc[g] + sh);
    }
}

// sin_cos of `groups` sets of `width` angles (1 <= groups <= most_groups) read from x and
// written to s and c, with load(p) and store(p, v) moving a set between memory and V.
inline constexpr int most_groups = 4;
template <class V, int Groups, int width, class Load, class Store>
void sin_cos_fixed(const double* x, double* s, double* c, Load load, Store store) {
    V angle[Groups];
    V sine[Groups];
    V cosine[Groups];
    for (int g = 0; g < Groups; ++g) angle[g] = load(x + g * width);
    sin_cos<Groups>(angle, sine, cosine);
    for (int g = 0; g < Groups; ++g) {
        store(s + g * width, sine[g]);
        store(c + g * width, cosine[g]);
    }
}
template <class V, int width, class Load, class Store>
void sin_cos_sets(const double* x, double* s, double* c, int groups, Load load, Store store) {
    switch (groups) {
    case 1:
        return sin_cos_fixed<V, 1, width>(x, s, c, load, store);
    case 2:
        return sin_cos_fixed<V, 2, width>(x, s, c, load, store);
    case 3:
        return sin_cos_fixed<V, 3, width>(x, s, c, load, store);
    default:
        return sin_cos_fixed<V, most_groups, width>(x, s, c, load, store);
    }
}

} // namespace lumagnis::models::fspl::chord_formula
