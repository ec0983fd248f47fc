#pragma once
// The lane type of the kernels' formulas. A formula written once as a template over a lane
// type `L` runs on one double (ScalarLanes, here) or on a vector of doubles (the AVX2 kernels
// define their own, file-local, lane type). Arithmetic is written with the built-in operators,
// which the compiler's vector extension gives the vector type too; everything else goes
// through `L`:
//   L::Value, L::Mask                      a value and a comparison outcome
//   L::splat(x)                            x in every lane
//   L::sqrt, L::abs, L::max                correctly rounded in every lane
//   L::less, greater, greater_equal, equal  comparisons, false where an operand is NaN
//   L::not_equal                           true where an operand is NaN, as != is
//   L::both, L::either, L::but_not, L::any             masks
//   L::select(mask, a, b)                  a where mask holds, b elsewhere
// Calls into the mathematics library are not here: the caller makes them (lane by lane for a
// vector) and hands their values to the formula, so that every lane gets the platform's bits.

#include <cmath>

namespace lumagnis::numerics {

struct ScalarLanes {
    using Value = double;
    using Mask = bool;

    static double splat(double x) { return x; }
    static double sqrt(double x) { return std::sqrt(x); }
    static double abs(double x) { return std::fabs(x); }
    // Drops a NaN operand, as the scalar routines always have.
    static double max(double a, double b) { return std::fmax(a, b); }

    static bool less(double a, double b) { return a < b; }
    static bool greater(double a, double b) { return a > b; }
    static bool greater_equal(double a, double b) { return a >= b; }
    static bool equal(double a, double b) { return a == b; }
    static bool not_equal(double a, double b) { return a != b; }

    static bool both(bool a, bool b) { return a && b; }
    static bool either(bool a, bool b) { return a || b; }
    static bool but_not(bool a, bool b) { return a && !b; }
    static bool any(bool m) { return m; }
    static double select(bool m, double a, double b) { return m ? a : b; }
};

} // namespace lumagnis::numerics
