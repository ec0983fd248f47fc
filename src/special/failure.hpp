#pragma once
// Numeric failures of the special functions: the fixed texts, written once.

namespace lumagnis::special {

// The outcome of a special function that could not produce a value. It carries one of the
// fixed texts below and nothing else: never owned, never formatted.
struct Failure {
    const char* message;
};

namespace failures {

inline constexpr Failure rf_domain{
    "elliprf: x, y, and z must be non-negative, and at most one can be zero."};
inline constexpr Failure rf_no_convergence{"elliprf: Failed to converge."};

inline constexpr Failure rd_domain_xy{
    "elliprd: x and y must be non-negative, and at most one can be zero."};
inline constexpr Failure rd_domain_z{"elliprd: z must be positive"};
inline constexpr Failure rd_no_convergence{"elliprd: Failed to converge."};

inline constexpr Failure rj_domain{
    "elliprj: x, y, and z must be non-negative, and at most one can be zero."};
inline constexpr Failure rj_zero_p{"elliprj: p must be non-zero"};
inline constexpr Failure rj_no_convergence{"elliprj: Fail to converge"};

inline constexpr Failure rc_negative_x{"elliprc: x must be non-negative."};
inline constexpr Failure rc_zero_y{"elliprc: y must be non-zero."};

inline constexpr Failure ellipk_domain{"ellipk: m must be less than 1."};
inline constexpr Failure ellipe_domain{"ellipe: m must be less than 1."};
inline constexpr Failure ellippi_domain_m{"ellippi: m must be less than 1."};
inline constexpr Failure ellippi_domain_n{"ellippi: n must be less than 1."};

} // namespace failures
} // namespace lumagnis::special
