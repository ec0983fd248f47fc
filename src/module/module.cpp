// The module `lumagnis`: its one exported initialisation function and its function table.

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "models/flux_map.hpp"
#include "models/heyrovsky.hpp"
#include "models/source_integration.hpp"
#include "models/witt_mao.hpp"
#include "module/entry.hpp"

namespace lumagnis::module {
namespace {

using numerics::FloatVector;

namespace specs {

constexpr const char* l_re_rstar[] = {"l", "re", "rstar"};
constexpr const char* l_re_rstar_bl_bf[] = {"l", "re", "rstar", "bl", "bf"};
constexpr const char* l_r_re_rstar[] = {"l", "r", "re", "rstar"};

constexpr ArgumentSpec witt_mao{"witt_mao_magnification", l_re_rstar, 3};
constexpr ArgumentSpec integrated_witt_mao{"integrated_witt_mao_magnification", l_re_rstar, 3};
constexpr ArgumentSpec integrated_flux_map_witt_mao{"integrated_flux_map_witt_mao_magnification",
                                                    l_re_rstar_bl_bf, 5};
constexpr ArgumentSpec heyrovsky{"heyrovsky_magnification", l_r_re_rstar, 4};
constexpr ArgumentSpec integrated_heyrovsky{"integrated_heyrovsky_magnification", l_re_rstar, 3};
constexpr ArgumentSpec integrated_flux_map_heyrovsky{"integrated_flux_map_heyrovsky_magnification",
                                                     l_re_rstar_bl_bf, 5};
constexpr ArgumentSpec discrete_flux_map_heyrovsky{"discrete_flux_map_heyrovsky_magnification",
                                                   l_re_rstar_bl_bf, 5};

} // namespace specs

// In table order, which is also the order of `__all__`. The stored documentation is the text
// signature block alone, so each function's `__doc__` is None.
PyMethodDef functions[] = {
    {"witt_mao_magnification",
     entry_function<specs::witt_mao, &models::witt_mao_magnification, FloatVector, double, double>,
     METH_FASTCALL | METH_KEYWORDS, "witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_witt_mao_magnification",
     entry_function<specs::integrated_witt_mao, &models::integrated_witt_mao_magnification,
                    FloatVector, double, double>,
     METH_FASTCALL | METH_KEYWORDS, "integrated_witt_mao_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_flux_map_witt_mao_magnification",
     entry_function<specs::integrated_flux_map_witt_mao,
                    &models::integrated_flux_map_witt_mao_magnification, FloatVector, double,
                    double, FloatVector, FloatVector>,
     METH_FASTCALL | METH_KEYWORDS,
     "integrated_flux_map_witt_mao_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"heyrovsky_magnification",
     entry_function<specs::heyrovsky, &models::heyrovsky_kernel, double, double, double, double>,
     METH_FASTCALL | METH_KEYWORDS, "heyrovsky_magnification(l, r, re, rstar)\n--\n\n"},
    {"integrated_heyrovsky_magnification",
     entry_function<specs::integrated_heyrovsky, &models::integrated_heyrovsky_magnification,
                    FloatVector, double, double>,
     METH_FASTCALL | METH_KEYWORDS, "integrated_heyrovsky_magnification(l, re, rstar)\n--\n\n"},
    {"integrated_flux_map_heyrovsky_magnification",
     entry_function<specs::integrated_flux_map_heyrovsky,
                    &models::integrated_flux_map_heyrovsky_magnification, FloatVector, double,
                    double, FloatVector, FloatVector>,
     METH_FASTCALL | METH_KEYWORDS,
     "integrated_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
    {"discrete_flux_map_heyrovsky_magnification",
     entry_function<specs::discrete_flux_map_heyrovsky,
                    &models::discrete_flux_map_heyrovsky_magnification, FloatVector, double, double,
                    FloatVector, FloatVector>,
     METH_FASTCALL | METH_KEYWORDS,
     "discrete_flux_map_heyrovsky_magnification(l, re, rstar, bl, bf)\n--\n\n"},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "lumagnis",
    .m_doc = "Magnification of a finite source star by a single point-mass gravitational lens.",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// One-time cells, each filled at most once with the interpreter lock held.
std::atomic<std::int64_t> interpreter_id{-1};
PyObject* module_cell = nullptr;

PyObject* interned(const char* text) {
    PyObject* name = PyUnicode_FromStringAndSize(text, static_cast<Py_ssize_t>(std::strlen(text)));
    if (name == nullptr) object_creation_failed();
    PyUnicode_InternInPlace(&name);
    return name;
}

PyObject* name_attribute() {
    static PyObject* const name = interned("__name__");
    return name;
}

PyObject* all_attribute() {
    static PyObject* const name = interned("__all__");
    return name;
}

std::string render_exception(PyObject* exception) {
    PyRef traceback = PyRef::steal(PyException_GetTraceback(exception));
    PyRef type_repr = PyRef::steal(PyObject_Repr(reinterpret_cast<PyObject*>(Py_TYPE(exception))));
    PyRef value_repr = PyRef::steal(PyObject_Repr(exception));
    PyErr_Clear();
    auto text = [](const PyRef& repr) {
        const char* data = repr ? PyUnicode_AsUTF8(repr.get()) : nullptr;
        if (data == nullptr) PyErr_Clear();
        return std::string(data ? data : "<unrepresentable>");
    };
    return "PyErr { type: " + text(type_repr) + ", value: " + text(value_repr) +
           ", traceback: " + (traceback ? "<traceback>" : "None") + " }";
}

// Adds one function to the module and its name to `__all__`.
PyResult<bool> add_function(PyObject* module, PyMethodDef& record) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) return std::unexpected(failed_call_exception());
    PyRef function = PyRef::steal(PyCMethod_New(&record, module, module_name.get(), nullptr));
    if (!function) return std::unexpected(failed_call_exception());
    PyRef name = PyRef::steal(PyObject_GetAttr(function.get(), name_attribute()));
    if (!name) return std::unexpected(failed_call_exception());

    PyRef all = PyRef::steal(PyObject_GetAttr(module, all_attribute()));
    if (!all) {
        PyRef error = failed_call_exception();
        if (!PyErr_GivenExceptionMatches(error.get(), PyExc_AttributeError)) {
            return std::unexpected(std::move(error));
        }
        all = PyRef::steal(PyList_New(0));
        if (!all) object_creation_failed();
        if (PyObject_SetAttr(module, all_attribute(), all.get()) < 0) {
            return std::unexpected(failed_call_exception());
        }
    }
    if (PyList_Append(all.get(), name.get()) < 0) {
        PyRef error = failed_call_exception();
        models::internal_fault("could not append __name__ to __all__: " +
                               render_exception(error.get()));
    }
    if (PyObject_SetAttr(module, name.get(), function.get()) < 0) {
        return std::unexpected(failed_call_exception());
    }
    return true;
}

// Only ever made into a throwaway module: it declares what lumagnis is, a module that does not
// support several interpreters, so that creating it runs the interpreter's own check of such
// modules.
PyModuleDef_Slot probe_slots[] = {
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
    {0, nullptr},
};

PyModuleDef probe_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "lumagnis",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = probe_slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

// Whether the current interpreter keeps a module like lumagnis. An isolated interpreter runs
// PyInit_lumagnis and only then discards the module it returns, by the check that creating the
// probe module runs beforehand; the main interpreter keeps every module.
PyResult<bool> keeps_single_interpreter_modules(PyInterpreterState* interpreter) {
    if (interpreter == PyInterpreterState_Main()) return true;
    PyRef spec = PyRef::steal(PyModule_New("lumagnis")); // only its `name` is read
    if (!spec) return std::unexpected(failed_call_exception());
    if (PyModule_AddStringConstant(spec.get(), "name", "lumagnis") < 0) {
        return std::unexpected(failed_call_exception());
    }
    if (PyRef::steal(PyModule_FromDefAndSpec2(&probe_definition, spec.get(), PYTHON_API_VERSION))) {
        return true;
    }
    PyRef error = failed_call_exception();
    if (!PyErr_GivenExceptionMatches(error.get(), PyExc_ImportError)) {
        return std::unexpected(std::move(error));
    }
    return false;
}

PyRef sub_interpreter_refusal() {
    return new_exception(PyExc_ImportError, "single-phase native modules such as lumagnis do not "
                                            "support sub-interpreters yet");
}

PyResult<PyRef> initialise() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id == -1) return std::unexpected(failed_call_exception());
    // An isolated interpreter runs this function and only then discards the module, because it
    // accepts no single-phase modules. Recorded as the first interpreter, it would leave the
    // module refused to every other one, the main interpreter included: refuse it up front.
    PyResult<bool> kept = keeps_single_interpreter_modules(interpreter);
    if (!kept) return std::unexpected(std::move(kept.error()));
    if (!*kept) return std::unexpected(sub_interpreter_refusal());
    std::int64_t expected = -1;
    if (!interpreter_id.compare_exchange_strong(expected, id) && expected != id) {
        return std::unexpected(sub_interpreter_refusal());
    }
    if (module_cell != nullptr) return PyRef::borrow(module_cell);

    PyRef module = PyRef::steal(PyModule_Create2(&definition, 1013));
    if (!module) return std::unexpected(failed_call_exception());
    for (PyMethodDef& record : functions) {
        PyResult<bool> added = add_function(module.get(), record);
        if (!added) return std::unexpected(std::move(added.error()));
    }
    module_cell = PyRef::borrow(module.get()).release(); // the cell keeps its own reference
    return module;
}

} // namespace
} // namespace lumagnis::module

PyMODINIT_FUNC PyInit_lumagnis() {
    return lumagnis::module::call_guarded(lumagnis::module::initialise);
}
