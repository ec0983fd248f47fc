// The extension inside the package `lumagnis_fspl` (which re-exports its public names): the
// modeller's door onto the finite-source models. Every function
// converts and broadcasts its arguments, checks all of them, then runs its loop with the
// interpreter lock released; no numerics here.

#include <nanobind/nanobind.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <memory>
#include <vector>

#include "fspl_module/broadcast.hpp"
#include "fspl_module/profiles.hpp"
#include "fspl_module/texts.hpp"
#include "models/fspl.hpp"
#include "numerics/constants.hpp"

namespace nb = nanobind;

namespace lumagnis::fspl_module {
namespace {

namespace fspl = models::fspl;
using namespace nb::literals;

// The rules the values of each parameter follow. NaN separations are allowed element by
// element, so only a separation that compares below zero is refused.
bool separation(double u) { return !(u < 0.0); }
bool finite(double x) { return std::isfinite(x); }
bool finite_positive(double x) { return std::isfinite(x) && x > 0.0; }
// NaN compares false and is refused too.
bool source_radius(double rho) {
    return rho >= constants::fspl_rho_min && rho <= constants::fspl_rho_max;
}

const fspl::Source& uniform_source() {
    static const fspl::Source source{fspl::Uniform{}};
    return source;
}

// Fills K result buffers, element by element, with the interpreter lock released: only the
// broadcast columns and the buffers are touched there, never a Python object.
template <std::size_t K, class Each> nb::object compute(const Broadcast& inputs, Each each) {
    Results<K> results(inputs);
    std::array<double*, K> out;
    for (std::size_t k = 0; k < K; ++k) out[k] = results[k];
    {
        const nb::gil_scoped_release unlocked;
        const std::size_t n = inputs.size();
        for (std::size_t i = 0; i < n; ++i) each(i, out);
    }
    return results.release();
}

// As compute, with one more result last: the derivatives in the law's `count` coefficients, an
// array of the broadcast shape with a trailing axis of that length.
template <std::size_t K, class Each>
nb::object compute_with_coefficients(const Broadcast& inputs, std::size_t count, Each each) {
    Results<K> results(inputs);
    std::array<double*, K> out;
    for (std::size_t k = 0; k < K; ++k) out[k] = results[k];
    const std::size_t n = inputs.size();
    std::unique_ptr<double[]> coefficients(new double[n * count + 1]);
    {
        const nb::gil_scoped_release unlocked;
        for (std::size_t i = 0; i < n; ++i) each(i, out, coefficients.get() + i * count);
    }
    std::vector<std::size_t> shape = inputs.shape();
    shape.push_back(count);
    nb::object first = results.release();
    nb::object last = hand_to_numpy(coefficients, shape);
    if constexpr (K == 1)
        return nb::make_tuple(first, last);
    else
        return nb::tuple(first) + nb::make_tuple(last);
}

nb::object point_source(nb::handle u, bool gradient) {
    const Broadcast in{u};
    in.require(0, separation, texts::u);
    const Column us = in[0];
    if (!gradient) {
        return compute<1>(in, [us](std::size_t i, const std::array<double*, 1>& out) {
            out[0][i] = fspl::point_source(us[i]);
        });
    }
    return compute<2>(in, [us](std::size_t i, const std::array<double*, 2>& out) {
        const fspl::Gradient g = fspl::point_source_gradient(us[i]);
        out[0][i] = g.a;
        out[1][i] = g.da_du;
    });
}

nb::object disk(const Broadcast& in, const fspl::Source& source, bool gradient,
                bool coefficients = false) {
    const Column us = in[0];
    const Column rhos = in[1];
    if (coefficients) {
        const std::size_t count = source.coefficient_count();
        if (!gradient) {
            return compute_with_coefficients<1>(
                in, count,
                [&source, us, rhos](std::size_t i, const std::array<double*, 1>& out, double* d) {
                    out[0][i] = source.with_coefficients<false>(us[i], rhos[i], d).a;
                });
        }
        return compute_with_coefficients<3>(
            in, count,
            [&source, us, rhos](std::size_t i, const std::array<double*, 3>& out, double* d) {
                const fspl::Gradient g = source.with_coefficients<true>(us[i], rhos[i], d);
                out[0][i] = g.a;
                out[1][i] = g.da_du;
                out[2][i] = g.da_drho;
            });
    }
    if (!gradient) {
        return compute<1>(in,
                          [&source, us, rhos](std::size_t i, const std::array<double*, 1>& out) {
                              out[0][i] = source.magnification(us[i], rhos[i]);
                          });
    }
    return compute<3>(in, [&source, us, rhos](std::size_t i, const std::array<double*, 3>& out) {
        const fspl::Gradient g = source.gradient(us[i], rhos[i]);
        out[0][i] = g.a;
        out[1][i] = g.da_du;
        out[2][i] = g.da_drho;
    });
}

Broadcast separations_and_radii(nb::handle u, nb::handle rho) {
    Broadcast in{u, rho};
    in.require(0, separation, texts::u);
    in.require(1, source_radius, texts::rho);
    return in;
}

nb::object uniform(nb::handle u, nb::handle rho, bool gradient) {
    const Broadcast in = separations_and_radii(u, rho);
    return disk(in, uniform_source(), gradient);
}

nb::object limb_darkened(nb::handle u, nb::handle rho, nb::handle profile, bool gradient,
                         bool coefficients) {
    const Broadcast in = separations_and_radii(u, rho);
    const fspl::Source* source = prepared_source(profile);
    if (source == nullptr) throw nb::type_error(texts::profile_type);
    return disk(in, *source, gradient, coefficients);
}

nb::object magnification_curve(nb::handle t, nb::handle t0, nb::handle u0, nb::handle te,
                               nb::handle rho, nb::handle profile, bool gradient,
                               bool coefficients) {
    const Broadcast in{t, t0, u0, te, rho};
    in.require(1, finite, texts::t0);
    in.require(2, finite, texts::u0);
    in.require(3, finite_positive, texts::te);
    in.require(4, source_radius, texts::rho);
    const fspl::Source* source = profile.is_none() ? &uniform_source() : prepared_source(profile);
    if (source == nullptr) throw nb::type_error(texts::profile_or_none_type);
    const std::array<Column, 5> c{in[0], in[1], in[2], in[3], in[4]};
    if (coefficients && !gradient) {
        return compute_with_coefficients<1>(
            in, source->coefficient_count(),
            [source, c](std::size_t i, const std::array<double*, 1>& out, double* d) {
                out[0][i] = fspl::curve_with_coefficients(*source, c[0][i], c[1][i], c[2][i],
                                                          c[3][i], c[4][i], d);
            });
    }
    if (coefficients) {
        return compute_with_coefficients<5>(
            in, source->coefficient_count(),
            [source, c](std::size_t i, const std::array<double*, 5>& out, double* d) {
                const fspl::CurveGradient g = fspl::curve_gradient_with_coefficients(
                    *source, c[0][i], c[1][i], c[2][i], c[3][i], c[4][i], d);
                out[0][i] = g.a;
                out[1][i] = g.da_dt0;
                out[2][i] = g.da_du0;
                out[3][i] = g.da_dte;
                out[4][i] = g.da_drho;
            });
    }
    if (!gradient) {
        return compute<1>(in, [source, c](std::size_t i, const std::array<double*, 1>& out) {
            out[0][i] =
                fspl::curve_magnification(*source, c[0][i], c[1][i], c[2][i], c[3][i], c[4][i]);
        });
    }
    return compute<5>(in, [source, c](std::size_t i, const std::array<double*, 5>& out) {
        const fspl::CurveGradient g =
            fspl::curve_gradient(*source, c[0][i], c[1][i], c[2][i], c[3][i], c[4][i]);
        out[0][i] = g.a;
        out[1][i] = g.da_dt0;
        out[2][i] = g.da_du0;
        out[3][i] = g.da_dte;
        out[4][i] = g.da_drho;
    });
}

} // namespace
} // namespace lumagnis::fspl_module

NB_MODULE(_native, module) {
    namespace fm = lumagnis::fspl_module;
    using namespace nb::literals;

    module.doc() = "The compiled core of lumagnis_fspl; import lumagnis_fspl instead.";
    module.attr("__version__") = LUMAGNIS_VERSION;
    // Profile objects still referenced from other modules' globals when the interpreter
    // finalises (a test runner's parametrisations, for one) would be reported as leaks at exit;
    // the references the binding takes are checked by the tests instead.
    nb::set_leak_warnings(false);

    // Built now, not on the first call, so that no call pays for it.
    (void)fm::uniform_source();
    fm::bind_profiles(module);

    module.def("point_source", &fm::point_source, "u"_a, "gradient"_a = false,
               nb::sig("def point_source(u, gradient=False)"),
               R"(The magnification of a point source at separation u (Einstein radii).

A = (u^2 + 2) / (u sqrt(u^2 + 4)): +inf at u = 0, 1 at u = +inf, NaN for NaN.
With gradient=True, returns (A, dA_du), dA_du = -8 / (u^2 (u^2 + 4)^(3/2)).

>>> round(point_source(1.0), 12)
1.3416407865
>>> [round(x, 12) for x in point_source(1.0, gradient=True)]
[1.3416407865, -0.7155417528]
>>> point_source([float("inf"), 2.0]).shape
(2,)
)");

    module.def("uniform", &fm::uniform, "u"_a, "rho"_a, "gradient"_a = false,
               nb::sig("def uniform(u, rho, gradient=False)"),
               R"(The magnification of a uniformly bright source disk.

u is the lens-source separation and rho the source radius, both in Einstein radii. The mean of
the point-source magnification over the disk, in closed form through the complete elliptic
integrals (Bulirsch's general integral, with the complements 1 - n and 1 - m formed exactly, so
that it keeps its digits beside the limb; a closed form of its own at u = rho); beyond 15 rho,
a series in (rho / u)^2. With gradient=True, returns (A, dA_du, dA_drho); at u = rho they are
-inf and +inf, and dA_du is 0 at u = 0.

At the centre, A = sqrt(rho^2 + 4) / rho:

>>> round(uniform(0.0, 0.1), 10)
20.0249843945
>>> uniform(float("inf"), 0.1)
1.0
)");

    module.def("limb_darkened", &fm::limb_darkened, "u"_a, "rho"_a, "profile"_a.none(),
               "gradient"_a = false, nb::kw_only(), "coefficients"_a = false,
               nb::sig("def limb_darkened(u, rho, profile, gradient=False, *, "
                       "coefficients=False)"),
               R"(The magnification of a limb-darkened source disk.

u is the lens-source separation and rho the source radius, both in Einstein radii; profile is
a Linear, Quadratic, SquareRoot, Power2, Nonlinear or Tabulated intensity law. The brightness-weighted
mean of the point-source magnification over the disk: a radial integral of uniform-disk
magnifications (by parts, against the slope of the intensity), split at the radius r = u / rho
where its integrand has a kink, by fixed Gauss-Legendre rules; beyond 15 rho, a series in the
source's moments. With gradient=True, returns (A, dA_du, dA_drho), carried through the same
operations. With coefficients=True, the result (or the tuple) is followed by dA_dcoefficients,
an array of the broadcast shape with one more axis: the derivatives in the law's coefficients
in its constructor's order (a Tabulated profile: in each intensity sample). They come from the
same integrals, the magnification being a ratio of two integrals linear in the intensity; the
value and the other derivatives are the same bits as without them.

>>> round(limb_darkened(0.0, 0.1, Linear(0.6)), 10)
21.8045035637
>>> limb_darkened([0.0, 0.05, 1.0], 0.1, Quadratic(0.4, 0.3)).shape
(3,)
>>> A, dA_dcoefficients = limb_darkened([0.0, 0.05], 0.1, Quadratic(0.4, 0.3), coefficients=True)
>>> dA_dcoefficients.shape
(2, 2)
)");

    module.def("magnification_curve", &fm::magnification_curve, "t"_a, "t0"_a, "u0"_a, "tE"_a,
               "rho"_a, "profile"_a.none() = nb::none(), "gradient"_a = false, nb::kw_only(),
               "coefficients"_a = false,
               nb::sig("def magnification_curve(t, t0, u0, tE, rho, profile=None, "
                       "gradient=False, *, coefficients=False)"),
               R"(The magnification along a straight trajectory: a light curve.

u = sqrt(u0^2 + ((t - t0) / tE)^2) with t and t0 in any one time unit, tE the Einstein time in
that unit, u0 the impact parameter and rho the source radius in Einstein radii. profile=None
is the uniform disk, otherwise a Linear, Quadratic, SquareRoot, Power2, Nonlinear or
Tabulated law. With gradient=True, returns (A, dA_dt0, dA_du0, dA_dtE, dA_drho), by the chain
rule through the trajectory. With coefficients=True, the result (or the tuple) is followed by
dA_dcoefficients, with one more axis than A: the derivatives in the law's coefficients, as
limb_darkened gives them (no axis length for the uniform disk).

>>> round(magnification_curve(0.0, 0.0, 0.0, 20.0, 0.1), 10)
20.0249843945
>>> import numpy
>>> magnification_curve(numpy.linspace(-5, 5, 11), 0.0, 0.01, 20.0, 0.01, Linear(0.6)).shape
(11,)
)");
}
