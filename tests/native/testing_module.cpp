// lumagnis_testing: internals of lumagnis for the test suite, in the manner of _testcapi.

#include <Python.h>

#include <vector>

#include "bindings.hpp"

namespace {

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "lumagnis_testing",
    .m_doc = "Internals of lumagnis, for its tests only.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

std::vector<PyMethodDef>& method_table() {
    static std::vector<PyMethodDef> table = [] {
        std::vector<PyMethodDef> all;
        for (const PyMethodDef* group :
             {lumagnis::testing::special_methods(), lumagnis::testing::numerics_methods(),
              lumagnis::testing::models_methods(), lumagnis::testing::fspl_methods(),
              lumagnis::testing::exit_methods()}) {
            for (const PyMethodDef* def = group; def->ml_name != nullptr; ++def)
                all.push_back(*def);
        }
        all.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        return all;
    }();
    return table;
}

} // namespace

PyMODINIT_FUNC PyInit_lumagnis_testing() {
    definition.m_methods = method_table().data();
    return PyModule_Create(&definition);
}
