#pragma once
// The fixed texts of the modeller's module, written once: each names the parameter and the rule
// it breaks. The texts about a profile's coefficients belong to the models (profile_error).

namespace lumagnis::fspl_module::texts {

inline constexpr const char* u = "u must not be negative (NaN is accepted and gives NaN)";
inline constexpr const char* rho = "rho must be within [1e-100, 1e6] (Einstein radii)";
inline constexpr const char* t0 = "t0 must be finite";
inline constexpr const char* u0 = "u0 must be finite";
inline constexpr const char* te = "tE must be finite and positive";
inline constexpr const char* gamma =
    "gamma must be greater than -2 and at most 1 (so that a = 3 gamma / (2 + gamma) is finite "
    "and at most 1)";
inline constexpr const char* tabulated_dimensions =
    "Tabulated: r and intensity must be one-dimensional";
inline constexpr const char* profile_type =
    "profile must be a Linear, Quadratic, SquareRoot, Power2, Nonlinear or Tabulated object";
inline constexpr const char* profile_or_none_type =
    "profile must be None or a Linear, Quadratic, SquareRoot, Power2, Nonlinear or Tabulated "
    "object";

} // namespace lumagnis::fspl_module::texts
