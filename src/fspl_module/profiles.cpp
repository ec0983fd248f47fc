// Every class is a law's coefficients plus its prepared source. The coefficients are checked at
// construction (unpickling included), so an object that exists is always usable; the
// attributes are read-only and the classes final, so it stays that way. Equality, hash, repr
// and pickling all go through one tuple of the coefficients, the object's state.

#include "fspl_module/profiles.hpp"

#include <nanobind/stl/string.h>

#include <array>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "fspl_module/call.hpp"
#include "fspl_module/texts.hpp"

namespace lumagnis::fspl_module {
namespace {

namespace fspl = models::fspl;
using namespace nb::literals;

template <class Law> struct Bound {
    Law law;
    fspl::Source source;

    // `law` has passed profile_error.
    explicit Bound(Law valid_law) : law(std::move(valid_law)), source(law) {}
};

template <class Law> Law checked_law(Law law) {
    if (const char* text = fspl::profile_error(law)) throw nb::value_error(text);
    return law;
}

// The floats of a state tuple, or a TypeError that says what the state must hold.
template <std::size_t Count>
std::array<double, Count> state_floats(nb::handle state, const char* name,
                                       const char* const (&fields)[Count]) {
    const bool shaped = PyTuple_Check(state.ptr()) &&
                        PyTuple_GET_SIZE(state.ptr()) == static_cast<Py_ssize_t>(Count);
    std::array<double, Count> values{};
    for (std::size_t i = 0; shaped && i < Count; ++i) {
        PyObject* item = PyTuple_GET_ITEM(state.ptr(), static_cast<Py_ssize_t>(i));
        if (!PyFloat_Check(item) && !PyLong_Check(item)) break;
        values[i] = PyFloat_AsDouble(item);
        if (values[i] == -1.0 && PyErr_Occurred() != nullptr) throw nb::python_error();
        if (i + 1 == Count) return values;
    }
    std::string listed;
    for (const char* field : fields) listed += std::string(listed.empty() ? "" : ", ") + field;
    if (Count == 1) listed += ",";
    const nb::str text =
        nb::steal<nb::str>(PyUnicode_FromFormat(texts::state_floats, name, listed.c_str()));
    throw nb::type_error(text.c_str());
}

// The per-law facts: the class name, the attribute names in constructor order, and the
// conversion between the law and its state tuple.
template <class Law> struct Traits;

template <> struct Traits<fspl::Linear> {
    static constexpr const char* name = "Linear";
    static constexpr const char* fields[] = {"a"};
    static nb::tuple state(const fspl::Linear& law) { return nb::make_tuple(law.a); }
    static fspl::Linear from(nb::handle s) {
        const auto v = state_floats(s, name, fields);
        return {v[0]};
    }
};
template <> struct Traits<fspl::Quadratic> {
    static constexpr const char* name = "Quadratic";
    static constexpr const char* fields[] = {"a", "b"};
    static nb::tuple state(const fspl::Quadratic& law) { return nb::make_tuple(law.a, law.b); }
    static fspl::Quadratic from(nb::handle s) {
        const auto v = state_floats(s, name, fields);
        return {v[0], v[1]};
    }
};
template <> struct Traits<fspl::SquareRoot> {
    static constexpr const char* name = "SquareRoot";
    static constexpr const char* fields[] = {"c", "d"};
    static nb::tuple state(const fspl::SquareRoot& law) { return nb::make_tuple(law.c, law.d); }
    static fspl::SquareRoot from(nb::handle s) {
        const auto v = state_floats(s, name, fields);
        return {v[0], v[1]};
    }
};
template <> struct Traits<fspl::Power2> {
    static constexpr const char* name = "Power2";
    static constexpr const char* fields[] = {"c", "alpha"};
    static nb::tuple state(const fspl::Power2& law) { return nb::make_tuple(law.c, law.alpha); }
    static fspl::Power2 from(nb::handle s) {
        const auto v = state_floats(s, name, fields);
        return {v[0], v[1]};
    }
};

template <> struct Traits<fspl::Nonlinear> {
    static constexpr const char* name = "Nonlinear";
    static constexpr const char* fields[] = {"a1", "a2", "a3", "a4"};
    static nb::tuple state(const fspl::Nonlinear& law) {
        return nb::make_tuple(law.a1, law.a2, law.a3, law.a4);
    }
    static fspl::Nonlinear from(nb::handle s) {
        const auto v = state_floats(s, name, fields);
        return {v[0], v[1], v[2], v[3]};
    }
};

nb::tuple as_tuple(const std::vector<double>& values) {
    nb::list items;
    for (const double value : values) items.append(nb::float_(value));
    return nb::tuple(items);
}

// Anything numpy.asarray accepts, as float64 samples; several dimensions are refused rather
// than flattened, since a flattened table would pair radii and intensities arbitrarily.
std::vector<double> samples(nb::handle values) {
    const nb::object np = nb::module_::import_("numpy");
    const nb::object array = np.attr("asarray")(values, "dtype"_a = np.attr("float64"));
    if (nb::cast<int>(array.attr("ndim")) != 1) throw nb::value_error(texts::tabulated_dimensions);
    std::vector<double> result;
    for (const nb::handle value : array.attr("tolist")()) result.push_back(nb::cast<double>(value));
    return result;
}

// The class Tabulated holds a table in r or, made by Tabulated.from_mu, one in mu.
struct Table {
    bool in_mu;
    std::vector<double> x; // r or mu
    std::vector<double> intensity;

    operator fspl::Profile() const {
        if (in_mu) return fspl::TabulatedMu{x, intensity};
        return fspl::Tabulated{x, intensity};
    }
};

// The state of a table in r is (r, intensity); that of a table in mu (None, intensity, mu), so
// that the attributes r and intensity read the same places in both.
template <> struct Traits<Table> {
    static constexpr const char* name = "Tabulated";
    static constexpr const char* fields[] = {"r", "intensity"};
    static nb::tuple state(const Table& law) {
        if (law.in_mu) return nb::make_tuple(nb::none(), as_tuple(law.intensity), as_tuple(law.x));
        return nb::make_tuple(as_tuple(law.x), as_tuple(law.intensity));
    }
    static Table from(nb::handle s) {
        const Py_ssize_t size = PyTuple_Check(s.ptr()) ? PyTuple_GET_SIZE(s.ptr()) : 0;
        if (size == 3 && PyTuple_GET_ITEM(s.ptr(), 0) == Py_None) {
            return {true, samples(PyTuple_GET_ITEM(s.ptr(), 2)),
                    samples(PyTuple_GET_ITEM(s.ptr(), 1))};
        }
        if (size != 2) throw nb::type_error(texts::state_tables);
        return {false, samples(PyTuple_GET_ITEM(s.ptr(), 0)),
                samples(PyTuple_GET_ITEM(s.ptr(), 1))};
    }
};

template <class Law> nb::object state_of(const Bound<Law>& self) {
    return Traits<Law>::state(self.law);
}

// Name(field=value, ...), with each value's own repr, so that eval() gives the object back.
template <class Law> std::string repr(const Bound<Law>& self) {
    const nb::tuple values = Traits<Law>::state(self.law);
    std::string text = std::string(Traits<Law>::name) + "(";
    std::size_t i = 0;
    for (const char* field : Traits<Law>::fields) {
        if (i > 0) text += ", ";
        text += std::string(field) + "=" + nb::repr(values[i]).c_str();
        ++i;
    }
    return text + ")";
}

template <> std::string repr<Table>(const Bound<Table>& self) {
    const nb::tuple values = Traits<Table>::state(self.law);
    if (!self.law.in_mu) {
        return std::string("Tabulated(r=") + nb::repr(values[0]).c_str() +
               ", intensity=" + nb::repr(values[1]).c_str() + ")";
    }
    return std::string("Tabulated.from_mu(mu=") + nb::repr(values[2]).c_str() +
           ", intensity=" + nb::repr(values[1]).c_str() + ")";
}

// What pickling calls to rebuild the object: the class with the state, or for a table in mu,
// Tabulated.from_mu(mu, intensity), the way it was made.
template <class Law> nb::tuple reduce(nb::handle self) {
    return nb::make_tuple(self.type(), state_of(nb::cast<const Bound<Law>&>(self)));
}

template <> nb::tuple reduce<Table>(nb::handle self) {
    const Bound<Table>& table = nb::cast<const Bound<Table>&>(self);
    if (!table.law.in_mu) return nb::make_tuple(self.type(), state_of(table));
    return nb::make_tuple(self.type().attr("from_mu"),
                          nb::make_tuple(as_tuple(table.law.x), as_tuple(table.law.intensity)));
}

template <class Law> nb::class_<Bound<Law>> bind_common(nb::module_& module, const char* doc) {
    using Self = Bound<Law>;
    nb::class_<Self> cls(module, Traits<Law>::name, nb::is_final(), doc);
    std::size_t i = 0;
    for (const char* field : Traits<Law>::fields) {
        cls.def_prop_ro(
            field, [i](const Self& self) -> nb::object { return Traits<Law>::state(self.law)[i]; });
        ++i;
    }
    cls.def("__repr__", &repr<Law>);
    cls.def(
        "__eq__",
        [](const Self& self, nb::handle other) -> nb::object {
            if (!nb::isinstance<Self>(other)) return nb::borrow(Py_NotImplemented);
            return nb::bool_(state_of(self).equal(state_of(nb::cast<const Self&>(other))));
        },
        nb::is_operator());
    cls.def("__hash__", [](const Self& self) {
        return nb::hash(nb::make_tuple(Traits<Law>::name, state_of(self)));
    });
    cls.def("__getstate__", &state_of<Law>);
    // The state is checked before anything is built from it; a pickle of any protocol calls
    // the class with it, so that loading one is a construction like any other.
    cls.def(
        "__setstate__",
        [](Self* self, nb::handle state) {
            new (self) Self(checked_law(Traits<Law>::from(state)));
        },
        nb::arg("state").none());
    cls.def("__reduce__", &reduce<Law>);
    return cls;
}

template <class Law> const fspl::Source* source_if(nb::handle profile) {
    if (!nb::isinstance<Bound<Law>>(profile)) return nullptr;
    // Made by __new__ alone (or a failed __setstate__): the instance holds no law yet.
    if (!nb::inst_ready(profile)) {
        PyErr_Format(PyExc_TypeError, texts::profile_not_ready, Traits<Law>::name,
                     Traits<Law>::name);
        throw Raised{};
    }
    return &nb::inst_ptr<Bound<Law>>(profile)->source;
}

// Linear.from_gamma, a builtin like the functions, for its signature.
PyObject* from_gamma(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&] {
        static constexpr const char* names[] = {"gamma"};
        static constexpr Parameters parameters{"from_gamma", names, 1};
        const Slots bound = bind(parameters, args, nargs, kwnames);
        const double gamma = PyFloat_AsDouble(bound[0]);
        if (gamma == -1.0 && PyErr_Occurred() != nullptr) throw Raised{};
        // Rejects NaN too; 3 gamma / (2 + gamma) runs from -inf up to 1 over this range.
        if (!(gamma > -2.0 && gamma <= 1.0)) raise(PyExc_ValueError, texts::gamma);
        const PyRef a = checked(PyFloat_FromDouble(3.0 * gamma / (2.0 + gamma)));
        PyObject* const linear = nb::type<Bound<fspl::Linear>>().ptr();
        return checked(PyObject_CallOneArg(linear, a.get()));
    });
}

constexpr const char from_gamma_doc[] = R"(from_gamma(gamma)
--

The linear law in the Gamma convention, intensity proportional to 1 - Gamma (1 - 3 mu / 2):
Linear(a) with a = 3 gamma / (2 + gamma). gamma must be greater than -2 and at most 1.

>>> Linear.from_gamma(0.5)
Linear(a=0.6)
)";

PyMethodDef from_gamma_method{
    "from_gamma", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&from_gamma)),
    METH_FASTCALL | METH_KEYWORDS, from_gamma_doc};

} // namespace

void bind_profiles(nb::module_& module) {
    auto linear = bind_common<fspl::Linear>(module, R"(Linear(a)

The linear limb-darkening law: intensity 1 - a (1 - mu), where mu = sqrt(1 - r^2) and r is
the radius in source radii. a must be finite and at most 1, so that the limb is not negative.

>>> Linear(0.6)
Linear(a=0.6)
>>> Linear.from_gamma(0.5) == Linear(0.6)
True
)")
                      .def(
                          "__init__",
                          [](Bound<fspl::Linear>* self, double a) {
                              new (self) Bound<fspl::Linear>(checked_law(fspl::Linear{a}));
                          },
                          "a"_a);

    const nb::object function =
        nb::steal(PyCFunction_NewEx(&from_gamma_method, nullptr, module.ptr()));
    if (!function.is_valid()) throw nb::python_error();
    const nb::object method = nb::steal(PyStaticMethod_New(function.ptr()));
    if (!method.is_valid()) throw nb::python_error();
    nb::setattr(linear, "from_gamma", method);

    bind_common<fspl::Quadratic>(module, R"(Quadratic(a, b)

The quadratic limb-darkening law: intensity 1 - a (1 - mu) - b (1 - mu)^2, where
mu = sqrt(1 - r^2) and r is the radius in source radii. a and b must be finite and keep the
intensity non-negative for every mu in [0, 1] (checked through its exact minimum).

>>> Quadratic(0.4, 0.3)
Quadratic(a=0.4, b=0.3)
>>> Quadratic(0.4, 0.3).b
0.3
)")
        .def(
            "__init__",
            [](Bound<fspl::Quadratic>* self, double a, double b) {
                new (self) Bound<fspl::Quadratic>(checked_law(fspl::Quadratic{a, b}));
            },
            "a"_a, "b"_a);

    bind_common<fspl::SquareRoot>(module, R"(SquareRoot(c, d)

The square-root limb-darkening law: intensity 1 - c (1 - mu) - d (1 - sqrt(mu)), where
mu = sqrt(1 - r^2) and r is the radius in source radii. c and d must be finite and keep the
intensity non-negative for every mu in [0, 1] (checked through its exact minimum).

>>> SquareRoot(0.3, 0.4)
SquareRoot(c=0.3, d=0.4)
)")
        .def(
            "__init__",
            [](Bound<fspl::SquareRoot>* self, double c, double d) {
                new (self) Bound<fspl::SquareRoot>(checked_law(fspl::SquareRoot{c, d}));
            },
            "c"_a, "d"_a);

    bind_common<fspl::Power2>(module, R"(Power2(c, alpha)

The power-2 limb-darkening law: intensity 1 - c (1 - mu^alpha), where mu = sqrt(1 - r^2) and
r is the radius in source radii. alpha must be within [0.001, 200], c finite and at most 1.

>>> Power2(0.6, 0.5)
Power2(c=0.6, alpha=0.5)
)")
        .def(
            "__init__",
            [](Bound<fspl::Power2>* self, double c, double alpha) {
                new (self) Bound<fspl::Power2>(checked_law(fspl::Power2{c, alpha}));
            },
            "c"_a, "alpha"_a);

    bind_common<fspl::Nonlinear>(module, R"(Nonlinear(a1, a2, a3, a4)

The four-coefficient nonlinear limb-darkening law (Claret 2000), the form of the stellar-
atmosphere tables: intensity 1 - a1 (1 - mu^(1/2)) - a2 (1 - mu) - a3 (1 - mu^(3/2))
- a4 (1 - mu^2), where mu = sqrt(1 - r^2) and r is the radius in source radii. The
coefficients must be finite and keep the intensity non-negative for every mu in [0, 1]: in
s = sqrt(mu) it is a quartic, whose sign at the limb and at its minima is decided in exact
arithmetic, so that an intensity touching zero is accepted and one dipping below is refused.

>>> Nonlinear(0.7, -0.6, 1.1, -0.45)
Nonlinear(a1=0.7, a2=-0.6, a3=1.1, a4=-0.45)
>>> Nonlinear(0.0, 0.6, 0.0, 0.0) == Nonlinear(0.0, 0.6, 0.0, 0.0)
True
)")
        .def(
            "__init__",
            [](Bound<fspl::Nonlinear>* self, double a1, double a2, double a3, double a4) {
                new (self) Bound<fspl::Nonlinear>(checked_law(fspl::Nonlinear{a1, a2, a3, a4}));
            },
            "a1"_a, "a2"_a, "a3"_a, "a4"_a);

    bind_common<Table>(module, R"(Tabulated(r, intensity)

A tabulated intensity profile: the samples intensity[i] at the radii r[i] (source radii,
strictly ascending within [0, 1]), interpolated linearly in r; beyond the first and last
radius the intensity is that of the nearest sample. The intensities must be finite,
non-negative and not all zero. Both arguments are one-dimensional, anything numpy.asarray
accepts; the attributes are tuples of floats.

Tabulated.from_mu(mu, intensity) makes a table in mu instead, the form of the stellar-atmosphere
tables; its r attribute is then None and its mu attribute the samples.

>>> Tabulated([0.0, 0.5, 1.0], [1.0, 0.9, 0.5])
Tabulated(r=(0.0, 0.5, 1.0), intensity=(1.0, 0.9, 0.5))
)")
        .def(
            "__init__",
            [](Bound<Table>* self, nb::handle r, nb::handle intensity) {
                Table law{false, samples(r), samples(intensity)};
                new (self) Bound<Table>(checked_law(std::move(law)));
            },
            "r"_a, "intensity"_a)
        .def_prop_ro("mu",
                     [](const Bound<Table>& self) -> nb::object {
                         if (!self.law.in_mu) return nb::none();
                         return as_tuple(self.law.x);
                     })
        // The public Tabulated.from_mu, with its signature and documentation, is the package's
        // own function around this one.
        .def_static(
            "_from_mu",
            [](nb::handle mu, nb::handle intensity) {
                return Bound<Table>(checked_law(Table{true, samples(mu), samples(intensity)}));
            },
            "mu"_a, "intensity"_a);
}

const models::fspl::Source* prepared_source(nb::handle profile) {
    if (const auto* source = source_if<fspl::Linear>(profile)) return source;
    if (const auto* source = source_if<fspl::Quadratic>(profile)) return source;
    if (const auto* source = source_if<fspl::SquareRoot>(profile)) return source;
    if (const auto* source = source_if<fspl::Power2>(profile)) return source;
    if (const auto* source = source_if<fspl::Nonlinear>(profile)) return source;
    return source_if<Table>(profile);
}

} // namespace lumagnis::fspl_module
