// The special functions, each under its own name with its mathematical parameter names.

#include "bindings.hpp"

#include "module/entry.hpp"
#include "special/carlson.hpp"
#include "special/complete_elliptic.hpp"

namespace lumagnis::testing {

namespace {

using module::ArgumentSpec;
using module::entry_function;

constexpr const char* xyz[] = {"x", "y", "z"};
constexpr const char* xyzp[] = {"x", "y", "z", "p"};
constexpr const char* xy[] = {"x", "y"};
constexpr const char* m_only[] = {"m"};
constexpr const char* nm[] = {"n", "m"};

constexpr ArgumentSpec elliprf_spec{"elliprf", xyz, 3};
constexpr ArgumentSpec elliprd_spec{"elliprd", xyz, 3};
constexpr ArgumentSpec elliprj_spec{"elliprj", xyzp, 4};
constexpr ArgumentSpec elliprc_spec{"elliprc", xy, 2};
constexpr ArgumentSpec ellipk_spec{"ellipk", m_only, 1};
constexpr ArgumentSpec ellipe_spec{"ellipe", m_only, 1};
constexpr ArgumentSpec ellippi_spec{"ellippi", nm, 2};

constexpr int fastcall = METH_FASTCALL | METH_KEYWORDS;

} // namespace

const PyMethodDef* special_methods() {
    static PyMethodDef methods[] = {
        {"elliprf", entry_function<elliprf_spec, &special::elliprf, double, double, double>,
         fastcall, "elliprf(x, y, z)\n--\n\nCarlson's R_F(x, y, z)."},
        {"elliprd", entry_function<elliprd_spec, &special::elliprd, double, double, double>,
         fastcall, "elliprd(x, y, z)\n--\n\nCarlson's R_D(x, y, z)."},
        {"elliprj", entry_function<elliprj_spec, &special::elliprj, double, double, double, double>,
         fastcall, "elliprj(x, y, z, p)\n--\n\nCarlson's R_J(x, y, z, p)."},
        {"elliprc", entry_function<elliprc_spec, &special::elliprc, double, double>, fastcall,
         "elliprc(x, y)\n--\n\nCarlson's R_C(x, y)."},
        {"ellipk", entry_function<ellipk_spec, &special::ellipk, double>, fastcall,
         "ellipk(m)\n--\n\nComplete elliptic integral of the first kind K(m)."},
        {"ellipe", entry_function<ellipe_spec, &special::ellipe, double>, fastcall,
         "ellipe(m)\n--\n\nComplete elliptic integral of the second kind E(m)."},
        {"ellippi", entry_function<ellippi_spec, &special::ellippi, double, double>, fastcall,
         "ellippi(n, m)\n--\n\nComplete elliptic integral of the third kind Pi(n, m)."},
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

} // namespace lumagnis::testing
