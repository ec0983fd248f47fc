// The extension inside the package `lumagnis_fspl` (which re-exports its public names): the
// modeller's door onto the finite-source models. Every function binds and converts its
// arguments, checks all of them, then runs its loop with the interpreter lock released; no
// numerics here. The profiles are classes of the binding library; the functions are builtins.

#include <nanobind/nanobind.h>

#include <array>
#include <cmath>
#include <cstddef>

#include "fspl_module/broadcast.hpp"
#include "fspl_module/call.hpp"
#include "fspl_module/compute.hpp"
#include "fspl_module/profiles.hpp"
#include "fspl_module/texts.hpp"
#include "models/fspl.hpp"
#include "numerics/constants.hpp"

namespace nb = nanobind;

namespace lumagnis::fspl_module {
namespace {

namespace fspl = models::fspl;

// The rules the values of each parameter follow. NaN separations are allowed element by
// element, so only a separation that compares below zero is refused. Closures rather than
// functions, so that the check of a whole array compiles to one loop.
constexpr auto separation = [](double u) { return !(u < 0.0); };
constexpr auto finite = [](double x) { return std::isfinite(x); };
constexpr auto finite_positive = [](double x) { return std::isfinite(x) && x > 0.0; };
// NaN compares false and is refused too.
constexpr auto source_radius = [](double rho) {
    return rho >= constants::fspl_rho_min && rho <= constants::fspl_rho_max;
};

const fspl::Source& uniform_source() {
    static const fspl::Source source{fspl::Uniform{}};
    return source;
}

// The law a profile argument names: None is the uniform disk.
const fspl::Source& source_of(PyObject* profile, const char* type_text) {
    if (profile == nullptr || profile == Py_None) return uniform_source();
    const fspl::Source* source = prepared_source(profile);
    if (source == nullptr) raise(PyExc_TypeError, type_text);
    return *source;
}

template <class Inputs>
PyRef point_source_of(const Inputs& in, bool gradient, std::size_t threads) {
    in.require(0, separation, texts::u);
    if (!gradient) {
        return compute<1, 1>(in, threads, [](const std::array<double, 1>& v) {
            return std::array{fspl::point_source(v[0])};
        });
    }
    return compute<1, 2>(in, threads, [](const std::array<double, 1>& v) {
        const fspl::Gradient g = fspl::point_source_gradient(v[0]);
        return std::array{g.a, g.da_du};
    });
}

PyRef point_source(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"u", "gradient", "threads"};
    static constexpr Parameters parameters{"point_source", names, 1, 2};
    const Slots bound = bind(parameters, args, nargs, kwnames);
    const bool gradient = flag(bound[1], "gradient");
    const std::size_t threads = thread_count(bound[2]);
    if (const auto in = Scalars<1>::read({bound[0]})) {
        return point_source_of(*in, gradient, threads);
    }
    return point_source_of(Broadcast{{bound[0], "u"}}, gradient, threads);
}

// The far-field elements of a disk function, a row at a time (see RowEach): the value, or the
// value and its slopes in u and rho.
template <bool WithGradient> struct FarRow {
    static constexpr std::size_t lanes = fspl::far_lanes;
    static constexpr std::size_t results = WithGradient ? 3 : 1;
    const fspl::Source* source;

    bool takes(const std::array<double, 2>& v) const {
        if constexpr (WithGradient) return source->in_gradient_row(v[0], v[1]);
        return source->in_value_row(v[0], v[1]);
    }

    void operator()(const std::array<std::array<double, lanes>, 2>& columns,
                    const std::array<double*, results>& out,
                    const std::array<std::size_t, lanes>& index) const {
        fspl::DiskLanes g;
        source->row<WithGradient>(columns[0].data(), columns[1].data(), g);
        for (std::size_t l = 0; l < lanes; ++l) {
            out[0][index[l]] = g.a[l];
            if constexpr (WithGradient) {
                out[1][index[l]] = g.da_du[l];
                out[2][index[l]] = g.da_dradius[l];
            }
        }
    }

    // The lanes u[0 .. lanes) and rho[0 .. lanes), in place, when the row takes every one of
    // them: their results written to out[k][i .. i + lanes); false, with nothing written, if not.
    bool direct(const std::array<const double*, 2>& at, const std::array<double*, results>& out,
                std::size_t i) const {
        bool all = true;
        for (std::size_t l = 0; l < lanes; ++l) all = all && takes({at[0][l], at[1][l]});
        if (!all) return false;
        fspl::DiskLanes g;
        source->row<WithGradient>(at[0], at[1], g);
        for (std::size_t l = 0; l < lanes; ++l) {
            out[0][i + l] = g.a[l];
            if constexpr (WithGradient) {
                out[1][i + l] = g.da_du[l];
                out[2][i + l] = g.da_dradius[l];
            }
        }
        return true;
    }
};

template <class Inputs>
PyRef disk(const Inputs& in, const fspl::Source& source, bool gradient, bool coefficients,
           std::size_t threads) {
    if (coefficients) {
        const std::size_t count = source.coefficient_count();
        if (!gradient) {
            return compute_with_coefficients<2, 1>(
                in, threads, count, [&source](const std::array<double, 2>& v, double* d) {
                    return std::array{source.with_coefficients<false>(v[0], v[1], d).a};
                });
        }
        return compute_with_coefficients<2, 3>(
            in, threads, count, [&source](const std::array<double, 2>& v, double* d) {
                const fspl::Gradient g = source.with_coefficients<true>(v[0], v[1], d);
                return std::array{g.a, g.da_du, g.da_drho};
            });
    }
    if (!gradient) {
        return compute<2, 1>(
            in, threads,
            [&source](const std::array<double, 2>& v) {
                return std::array{source.magnification(v[0], v[1])};
            },
            FarRow<false>{&source});
    }
    return compute<2, 3>(
        in, threads,
        [&source](const std::array<double, 2>& v) {
            const fspl::Gradient g = source.gradient(v[0], v[1]);
            return std::array{g.a, g.da_du, g.da_drho};
        },
        FarRow<true>{&source});
}

// The separations and radii of a disk function, checked; then the source its profile names.
template <class Inputs>
PyRef disk_of(const Inputs& in, PyObject* profile, bool gradient, bool coefficients,
              std::size_t threads) {
    in.require(0, separation, texts::u);
    in.require(1, source_radius, texts::rho);
    return disk(in, source_of(profile, texts::profile_or_none_type), gradient, coefficients,
                threads);
}

PyRef disk_call(PyObject* u, PyObject* rho, PyObject* profile, bool gradient, bool coefficients,
                std::size_t threads) {
    if (const auto in = Scalars<2>::read({u, rho})) {
        return disk_of(*in, profile, gradient, coefficients, threads);
    }
    return disk_of(Broadcast{{u, "u"}, {rho, "rho"}}, profile, gradient, coefficients, threads);
}

PyRef uniform(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"u", "rho", "gradient", "threads"};
    static constexpr Parameters parameters{"uniform", names, 2, 3};
    const Slots bound = bind(parameters, args, nargs, kwnames);
    const bool gradient = flag(bound[2], "gradient");
    const std::size_t threads = thread_count(bound[3]);
    return disk_call(bound[0], bound[1], nullptr, gradient, false, threads);
}

PyRef limb_darkened(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"u",        "rho",          "profile",
                                            "gradient", "coefficients", "threads"};
    static constexpr Parameters parameters{"limb_darkened", names, 3, 4};
    const Slots bound = bind(parameters, args, nargs, kwnames);
    const bool gradient = flag(bound[3], "gradient");
    const bool coefficients = flag(bound[4], "coefficients");
    const std::size_t threads = thread_count(bound[5]);
    return disk_call(bound[0], bound[1], bound[2], gradient, coefficients, threads);
}

// The far-field epochs of a curve, a row at a time (see RowEach).
template <bool WithGradient> struct CurveRow {
    static constexpr std::size_t lanes = fspl::far_lanes;
    static constexpr std::size_t results = WithGradient ? 5 : 1;
    const fspl::Source* source;

    bool takes(const std::array<double, 5>& v) const {
        const double u = fspl::curve_separation(v[0], v[1], v[2], v[3]);
        if constexpr (WithGradient) return source->in_gradient_row(u, v[4]);
        return source->in_value_row(u, v[4]);
    }

    void operator()(const std::array<std::array<double, lanes>, 5>& columns,
                    const std::array<double*, results>& out,
                    const std::array<std::size_t, lanes>& index) const {
        double args[lanes][5];
        for (std::size_t l = 0; l < lanes; ++l) {
            for (std::size_t k = 0; k < 5; ++k) args[l][k] = columns[k][l];
        }
        std::array<fspl::CurveGradient, lanes> g;
        fspl::curve_row<WithGradient>(*source, args, g.data());
        for (std::size_t l = 0; l < lanes; ++l) {
            out[0][index[l]] = g[l].a;
            if constexpr (WithGradient) {
                out[1][index[l]] = g[l].da_dt0;
                out[2][index[l]] = g[l].da_du0;
                out[3][index[l]] = g[l].da_dte;
                out[4][index[l]] = g[l].da_drho;
            }
        }
    }
};

template <class Inputs>
PyRef curve_of(const Inputs& in, PyObject* profile, bool gradient, bool coefficients,
               std::size_t threads) {
    in.require(1, finite, texts::t0);
    in.require(2, finite, texts::u0);
    in.require(3, finite_positive, texts::te);
    in.require(4, source_radius, texts::rho);
    const fspl::Source& source = source_of(profile, texts::profile_or_none_type);
    if (coefficients && !gradient) {
        return compute_with_coefficients<5, 1>(
            in, threads, source.coefficient_count(),
            [&source](const std::array<double, 5>& v, double* d) {
                return std::array{
                    fspl::curve_with_coefficients(source, v[0], v[1], v[2], v[3], v[4], d)};
            });
    }
    if (coefficients) {
        return compute_with_coefficients<5, 5>(
            in, threads, source.coefficient_count(),
            [&source](const std::array<double, 5>& v, double* d) {
                const fspl::CurveGradient g =
                    fspl::curve_gradient_with_coefficients(source, v[0], v[1], v[2], v[3], v[4], d);
                return std::array{g.a, g.da_dt0, g.da_du0, g.da_dte, g.da_drho};
            });
    }
    if (!gradient) {
        return compute<5, 1>(
            in, threads,
            [&source](const std::array<double, 5>& v) {
                return std::array{fspl::curve_magnification(source, v[0], v[1], v[2], v[3], v[4])};
            },
            CurveRow<false>{&source});
    }
    return compute<5, 5>(
        in, threads,
        [&source](const std::array<double, 5>& v) {
            const fspl::CurveGradient g =
                fspl::curve_gradient(source, v[0], v[1], v[2], v[3], v[4]);
            return std::array{g.a, g.da_dt0, g.da_du0, g.da_dte, g.da_drho};
        },
        CurveRow<true>{&source});
}

PyRef magnification_curve(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr const char* names[] = {"t",       "t0",       "u0",           "tE",     "rho",
                                            "profile", "gradient", "coefficients", "threads"};
    static constexpr Parameters parameters{"magnification_curve", names, 5, 7};
    const Slots bound = bind(parameters, args, nargs, kwnames);
    const bool gradient = flag(bound[6], "gradient");
    const bool coefficients = flag(bound[7], "coefficients");
    const std::size_t threads = thread_count(bound[8]);
    if (const auto in = Scalars<5>::read({bound[0], bound[1], bound[2], bound[3], bound[4]})) {
        return curve_of(*in, bound[5], gradient, coefficients, threads);
    }
    const Broadcast in{
        {bound[0], "t"}, {bound[1], "t0"}, {bound[2], "u0"}, {bound[3], "tE"}, {bound[4], "rho"}};
    return curve_of(in, bound[5], gradient, coefficients, threads);
}

// The interpreter's entry for `Body`. Not noexcept, for the forced unwind `guarded` lets
// through.
template <PyRef (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* entry(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] { return Body(args, nargs, kwnames); });
}

template <PyRef (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
const PyCFunction entry_function =
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&entry<Body>));

// The docstrings open with the signature in the form the interpreter reads into
// __text_signature__, so that inspect.signature and help() show the parameters.
constexpr const char point_source_doc[] = R"(point_source(u, gradient=False, *, threads=1)
--

The magnification of a point source at separation u (Einstein radii).

A = (u^2 + 2) / (u sqrt(u^2 + 4)): +inf at u = 0, 1 at u = +inf, NaN for NaN.
With gradient=True, returns (A, dA_du), dA_du = -8 / (u^2 (u^2 + 4)^(3/2)).

threads is the number of threads the call may use: 1, the default, computes on the calling
thread alone; 0 means the CPUs this process may run on. The results are the same bits for any
number of threads; arrays under 1024 elements are always computed on the calling thread.

>>> round(point_source(1.0), 12)
1.3416407865
>>> [round(x, 12) for x in point_source(1.0, gradient=True)]
[1.3416407865, -0.7155417528]
>>> point_source([float("inf"), 2.0]).shape
(2,)
)";

constexpr const char uniform_doc[] = R"(uniform(u, rho, gradient=False, *, threads=1)
--

The magnification of a uniformly bright source disk.

u is the lens-source separation and rho the source radius, both in Einstein radii. The mean of
the point-source magnification over the disk, in closed form through the complete elliptic
integrals (Bulirsch's general integral, with the complements 1 - n and 1 - m formed exactly, so
that it keeps its digits beside the limb; a closed form of its own at u = rho); beyond 10 rho,
a series in (rho / u)^2. With gradient=True, returns (A, dA_du, dA_drho); at u = rho they are
-inf and +inf, and dA_du is 0 at u = 0.

At the centre, A = sqrt(rho^2 + 4) / rho:

threads is the number of threads the call may use: 1, the default, computes on the calling
thread alone; 0 means the CPUs this process may run on. The results are the same bits for any
number of threads; arrays under 1024 elements are always computed on the calling thread.

>>> round(uniform(0.0, 0.1), 10)
20.0249843945
>>> uniform(float("inf"), 0.1)
1.0
)";

constexpr const char limb_darkened_doc[] =
    R"(limb_darkened(u, rho, profile, gradient=False, *, coefficients=False, threads=1)
--

The magnification of a limb-darkened source disk.

u is the lens-source separation and rho the source radius, both in Einstein radii; profile is
a Linear, Quadratic, SquareRoot, Power2, Nonlinear or Tabulated intensity law, or None for the
uniform disk. The brightness-weighted
mean of the point-source magnification over the disk: a radial integral of uniform-disk
magnifications (by parts, against the slope of the intensity), split at the radius r = u / rho
where its integrand has a kink, by fixed Gauss-Legendre rules; beyond 4 rho, a series in the
source's moments. With gradient=True, returns (A, dA_du, dA_drho), carried through the same
operations. With coefficients=True, the result (or the tuple) is followed by dA_dcoefficients,
an array of the broadcast shape with one more axis: the derivatives in the law's coefficients
in its constructor's order (a Tabulated profile: in each intensity sample). They come from the
same integrals, the magnification being a ratio of two integrals linear in the intensity; the
value and the other derivatives are the same bits as without them.

threads is the number of threads the call may use: 1, the default, computes on the calling
thread alone; 0 means the CPUs this process may run on. The results are the same bits for any
number of threads; arrays under 1024 elements are always computed on the calling thread.

>>> round(limb_darkened(0.0, 0.1, Linear(0.6)), 10)
21.8045035637
>>> limb_darkened([0.0, 0.05, 1.0], 0.1, Quadratic(0.4, 0.3)).shape
(3,)
>>> A, dA_dcoefficients = limb_darkened([0.0, 0.05], 0.1, Quadratic(0.4, 0.3), coefficients=True)
>>> dA_dcoefficients.shape
(2, 2)
)";

constexpr const char magnification_curve_doc[] =
    R"(magnification_curve(t, t0, u0, tE, rho, profile=None, gradient=False, *, coefficients=False, threads=1)
--

The magnification along a straight trajectory: a light curve.

u = sqrt(u0^2 + ((t - t0) / tE)^2) with t and t0 in any one time unit, tE the Einstein time in
that unit, u0 the impact parameter and rho the source radius in Einstein radii. profile=None
is the uniform disk, otherwise a Linear, Quadratic, SquareRoot, Power2, Nonlinear or
Tabulated law. With gradient=True, returns (A, dA_dt0, dA_du0, dA_dtE, dA_drho), by the chain
rule through the trajectory. With coefficients=True, the result (or the tuple) is followed by
dA_dcoefficients, with one more axis than A: the derivatives in the law's coefficients, as
limb_darkened gives them (no axis length for the uniform disk).

threads is the number of threads the call may use: 1, the default, computes on the calling
thread alone; 0 means the CPUs this process may run on. The results are the same bits for any
number of threads; arrays under 1024 elements are always computed on the calling thread.

>>> round(magnification_curve(0.0, 0.0, 0.0, 20.0, 0.1), 10)
20.0249843945
>>> import numpy
>>> magnification_curve(numpy.linspace(-5, 5, 11), 0.0, 0.01, 20.0, 0.01, Linear(0.6)).shape
(11,)
)";

// The functions are plain builtins: argument binding of their own, and no binding layer's
// dispatch between the interpreter and the guard around each call.
PyMethodDef functions[] = {
    {"point_source", entry_function<point_source>, METH_FASTCALL | METH_KEYWORDS, point_source_doc},
    {"uniform", entry_function<uniform>, METH_FASTCALL | METH_KEYWORDS, uniform_doc},
    {"limb_darkened", entry_function<limb_darkened>, METH_FASTCALL | METH_KEYWORDS,
     limb_darkened_doc},
    {"magnification_curve", entry_function<magnification_curve>, METH_FASTCALL | METH_KEYWORDS,
     magnification_curve_doc},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace
} // namespace lumagnis::fspl_module

NB_MODULE(_native, module) {
    namespace fm = lumagnis::fspl_module;

    module.doc() = "The compiled core of lumagnis_fspl; import lumagnis_fspl instead.";
    module.attr("__version__") = LUMAGNIS_VERSION;
    // Profile objects still referenced from other modules' globals when the interpreter
    // finalises (a test runner's parametrisations, for one) would be reported as leaks at exit;
    // the references the binding takes are checked by the tests instead.
    nb::set_leak_warnings(false);

    // Built now, not on the first call, so that no call pays for it.
    (void)fm::uniform_source();
    fm::bind_profiles(module);

    if (!fm::prepare_numpy()) throw nb::python_error();
    if (PyModule_AddFunctions(module.ptr(), fm::functions) < 0) throw nb::python_error();
}
