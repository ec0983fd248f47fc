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
inline constexpr const char* threads_value =
    "threads must be within [0, 256]: 0 for the CPUs this process may use";
inline constexpr const char* tabulated_dimensions =
    "Tabulated: r and intensity must be one-dimensional";
inline constexpr const char* profile_type =
    "profile must be a Linear, Quadratic, SquareRoot, Power2, Nonlinear or Tabulated object";
inline constexpr const char* profile_or_none_type =
    "profile must be None or a Linear, Quadratic, SquareRoot, Power2, Nonlinear or Tabulated "
    "object";

} // namespace lumagnis::fspl_module::texts

// Texts completed with the parameter's name (and, for flag_type, the type given; for
// threads_type, the type alone).
namespace lumagnis::fspl_module::texts {

inline constexpr const char* flag_type = "%s must be True or False (a bool or numpy.bool_), not %U";
inline constexpr const char* threads_type =
    "threads must be an int (0 for the CPUs this process may use), not %U";
inline constexpr const char* complex_values =
    "%s must be real numbers: complex values are not accepted";
inline constexpr const char* time_values =
    "%s must be numbers, not datetime64 or timedelta64 values: pass times as numbers, say days "
    "(for instance (t - t_ref) / numpy.timedelta64(1, 'D'))";
inline constexpr const char* masked_values =
    "%s is a masked array, whose mask would be lost: pass its valid values (for instance "
    "numpy.ma.compressed(x)) instead";
inline constexpr const char* not_broadcast =
    "%s with shape %S and %s with shape %S cannot be broadcast to a single shape";
inline constexpr const char* profile_not_ready =
    "profile: this %s object is not initialised (it was made by %s.__new__ without __init__)";
inline constexpr const char* state_floats = "%s state must be a tuple (%s) of floats";
inline constexpr const char* state_tables =
    "Tabulated state must be a tuple (r, intensity), or (None, intensity, mu) for a table in mu, "
    "of one-dimensional sequences of floats";

} // namespace lumagnis::fspl_module::texts
