// Binding by position and keyword with the texts the interpreter gives its own builtins, so that
// a wrong call reads the same as a wrong call of any other function.

#include "fspl_module/call.hpp"

#include <pythread.h>

#include "fspl_module/pool.hpp"
#include "fspl_module/texts.hpp"

namespace lumagnis::fspl_module {

void raise(PyObject* type, const char* text) {
    PyErr_SetString(type, text);
    throw Raised{};
}

PyRef checked(PyObject* object) {
    if (object == nullptr) throw Raised{};
    return PyRef::steal(object);
}

namespace {

// The index of the parameter called `name`, or names.size().
std::size_t position_of(const Parameters& parameters, PyObject* name) {
    for (std::size_t i = 0; i < parameters.names.size(); ++i) {
        if (PyUnicode_CompareWithASCIIString(name, parameters.names[i]) == 0) return i;
    }
    return parameters.names.size();
}

} // namespace

Slots bind(const Parameters& parameters, PyObject* const* args, Py_ssize_t nargs,
           PyObject* kwnames) {
    Slots bound{};
    const std::size_t count = parameters.names.size();
    const auto given = static_cast<std::size_t>(nargs);
    if (given > parameters.positional) {
        if (parameters.positional == count) {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)",
                         parameters.function, count, nargs);
        } else {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zu positional arguments (%zd given)",
                         parameters.function, parameters.positional, nargs);
        }
        throw Raised{};
    }
    for (std::size_t i = 0; i < given; ++i) bound[i] = args[i];
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject* const name = PyTuple_GET_ITEM(kwnames, k);
        const std::size_t i = position_of(parameters, name);
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         parameters.function, name);
            throw Raised{};
        }
        if (bound[i] != nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "argument for %s() given by name ('%s') and position (%zu)",
                         parameters.function, parameters.names[i], i + 1);
            throw Raised{};
        }
        bound[i] = args[nargs + k];
    }
    for (std::size_t i = 0; i < parameters.required; ++i) {
        if (bound[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)",
                         parameters.function, parameters.names[i], i + 1);
            throw Raised{};
        }
    }
    return bound;
}

bool flag(PyObject* value, const char* name) {
    if (value == nullptr || value == Py_False) return false;
    if (value == Py_True) return true;
    if (Py_TYPE(value) == reinterpret_cast<PyTypeObject*>(numpy().bool_type)) {
        const int truth = PyObject_IsTrue(value);
        if (truth < 0) throw Raised{};
        return truth != 0;
    }
    const PyRef type_name = checked(PyType_GetName(Py_TYPE(value)));
    PyErr_Format(PyExc_TypeError, texts::flag_type, name, type_name.get());
    throw Raised{};
}

std::size_t thread_count(PyObject* value) {
    if (value == nullptr) return 1;
    // A bool is an int to the interpreter, but True threads is a mistake, not a count.
    const bool integer =
        PyLong_Check(value)
            ? !PyBool_Check(value)
            : PyIndex_Check(value) != 0 &&
                  Py_TYPE(value) != reinterpret_cast<PyTypeObject*>(numpy().bool_type);
    if (!integer) {
        const PyRef type_name = checked(PyType_GetName(Py_TYPE(value)));
        PyErr_Format(PyExc_TypeError, texts::threads_type, type_name.get());
        throw Raised{};
    }
    const PyRef index = checked(PyNumber_Index(value));
    int overflow = 0;
    const long long count = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    if (count == -1 && overflow == 0 && PyErr_Occurred() != nullptr) throw Raised{};
    if (overflow != 0 || count < 0 || count > static_cast<long long>(max_threads)) {
        raise(PyExc_ValueError, texts::threads_value);
    }
    return count == 0 ? available_cpus() : static_cast<std::size_t>(count);
}

namespace {

// Filled once, under the interpreter lock, when the module is imported; read-only afterwards.
Numpy cells{};

PyObject* attribute(PyObject* owner, const char* name) {
    return owner == nullptr ? nullptr : PyObject_GetAttrString(owner, name);
}

} // namespace

const Numpy& numpy() { return cells; }

bool prepare_numpy() {
    const PyRef np = PyRef::steal(PyImport_ImportModule("numpy"));
    const PyRef ma = PyRef::steal(PyImport_ImportModule("numpy.ma"));
    const PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    const PyRef main_thread = PyRef::steal(
        threading ? PyObject_CallMethod(threading.get(), "main_thread", nullptr) : nullptr);
    const PyRef ident = PyRef::steal(attribute(main_thread.get(), "ident"));
    Numpy found{
        .asarray = attribute(np.get(), "asarray"),
        .empty = attribute(np.get(), "empty"),
        .float64 = attribute(np.get(), "float64"),
        .bool_type = attribute(np.get(), "bool_"),
        .masked_array_type = attribute(ma.get(), "MaskedArray"),
        .main_thread = ident ? PyLong_AsUnsignedLong(ident.get()) : 0,
    };
    if (PyErr_Occurred() != nullptr) {
        for (PyObject* cell : {found.asarray, found.empty, found.float64, found.bool_type,
                               found.masked_array_type}) {
            Py_XDECREF(cell);
        }
        return false;
    }
    // Kept for the life of the process, as the module's own cells are.
    cells = found;
    return true;
}

bool on_main_thread() {
    return PyThread_get_thread_ident() == cells.main_thread &&
           PyThreadState_GetInterpreter(PyThreadState_Get()) == PyInterpreterState_Main();
}

} // namespace lumagnis::fspl_module
