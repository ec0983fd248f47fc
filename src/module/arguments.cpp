#include "module/arguments.hpp"

#include <algorithm>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "module/failures.hpp"

namespace lumagnis::module {
namespace {

// A size hint is only a hint: a caller's `__len__` may overstate it without bound, and
// reserving what it claims could exhaust memory before a single item is read. Beyond this many
// items the vector grows as iteration proceeds.
constexpr std::size_t max_reserved_items = std::size_t{1} << 20;

PyRef type_error(const std::string& message) { return new_exception(PyExc_TypeError, message); }

// Joins message pieces. (Chains of std::string operator+ trip a false -Wrestrict in g++ 12.)
std::string concat(std::initializer_list<std::string_view> pieces) {
    std::string text;
    for (std::string_view piece : pieces) text.append(piece);
    return text;
}

std::string quoted_names(std::span<const char* const> names) {
    std::string joined;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() == 2) {
                joined += " and ";
            } else {
                joined += (i + 1 == names.size()) ? ", and " : ", ";
            }
        }
        joined += '\'';
        joined += names[i];
        joined += '\'';
    }
    return joined;
}

std::string function_label(const ArgumentSpec& spec) { return concat({spec.function_name, "()"}); }

std::string type_qualname(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    if (name) {
        Py_ssize_t size = 0;
        if (const char* data = PyUnicode_AsUTF8AndSize(name.get(), &size)) {
            return std::string(data, size);
        }
    }
    fetch_pending_exception();
    return "<failed to extract type name>";
}

// Exactly numpy's ndarray. numpy defines it as a static type named "numpy.ndarray"; a class
// written in Python is always a heap type, so a subclass, or any class that merely takes that
// name, fails the test. Subclasses may override iteration and must keep it.
bool is_exact_ndarray(PyTypeObject* type) {
    return !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) &&
           std::strcmp(type->tp_name, "numpy.ndarray") == 0;
}

// Exactly the standard library's array.array. It is a heap type created from C, which marks it
// immutable; classes written in Python never carry that flag, whatever name they are given.
bool is_exact_array(PyTypeObject* type) {
    return PyType_HasFeature(type, Py_TPFLAGS_IMMUTABLETYPE) &&
           std::strcmp(type->tp_name, "array.array") == 0;
}

// A one-dimensional buffer of native doubles, read in place of iterating.
//
// For exact ndarrays and array.arrays of native float64 the copy gives what iteration gives:
// iterating yields one float (or numpy float64, a float subclass whose value is read directly)
// per element, in index order, carrying the element's bits, and runs no Python code that could
// change the array or fail. Iterating a numpy array costs one scalar object per element, several
// times the cost of reading a list. Everything else (other dtypes, byte orders or dimensions,
// subclasses) is left to iteration, which defines the result.
std::optional<FloatVector> read_double_buffer(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (!is_exact_ndarray(type) && !is_exact_array(type)) return std::nullopt;
    Py_buffer view;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) != 0) {
        // Iteration then decides, and reports whatever error it meets itself.
        fetch_pending_exception();
        return std::nullopt;
    }
    std::optional<FloatVector> vector;
    if (view.ndim == 1 && view.itemsize == sizeof(double) && view.format != nullptr &&
        std::strcmp(view.format, "d") == 0) {
        const auto count = static_cast<std::size_t>(view.shape[0]);
        vector.emplace(count);
        const Py_ssize_t stride = view.strides != nullptr ? view.strides[0] : view.itemsize;
        const char* item = static_cast<const char*>(view.buf);
        if (stride == static_cast<Py_ssize_t>(sizeof(double))) {
            if (count > 0) std::memcpy(vector->data(), item, count * sizeof(double));
        } else {
            // Any stride, negative included; items need not be aligned, so each is copied
            // bytewise.
            for (std::size_t i = 0; i < count; ++i, item += stride) {
                std::memcpy(&(*vector)[i], item, sizeof(double));
            }
        }
    }
    PyBuffer_Release(&view);
    return vector;
}

} // namespace

PyResult<Slots> bind_arguments(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    const std::size_t count = spec.parameter_names.size();
    if (static_cast<std::size_t>(nargs) > count) {
        return std::unexpected(type_error(
            concat({function_label(spec), " takes ", std::to_string(count),
                    " positional arguments but ", std::to_string(nargs), " were given"})));
    }
    Slots slots{};
    std::copy_n(args, nargs, slots.begin());

    const Py_ssize_t keyword_count = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(keyword, &size);
        if (text == nullptr) PyErr_Clear(); // not valid UTF-8: matches no parameter
        bool matched = false;
        for (std::size_t i = 0; text != nullptr && i < count; ++i) {
            if (std::string_view(text, size) != spec.parameter_names[i]) continue;
            if (slots[i] != nullptr) {
                return std::unexpected(
                    type_error(concat({function_label(spec), " got multiple values for argument '",
                                       spec.parameter_names[i], "'"})));
            }
            slots[i] = args[nargs + k];
            matched = true;
            break;
        }
        if (!matched) {
            return std::unexpected(
                type_error(concat({function_label(spec), " got an unexpected keyword argument '",
                                   display(keyword), "'"})));
        }
    }

    if (static_cast<std::size_t>(nargs) < spec.required_positional) {
        std::array<const char*, max_parameters> missing{};
        std::size_t missing_count = 0;
        for (std::size_t i = static_cast<std::size_t>(nargs); i < spec.required_positional; ++i) {
            if (slots[i] == nullptr) missing[missing_count++] = spec.parameter_names[i];
        }
        if (missing_count > 0) {
            return std::unexpected(type_error(
                concat({function_label(spec), " missing ", std::to_string(missing_count),
                        " required positional ", missing_count == 1 ? "argument" : "arguments",
                        ": ", quoted_names(std::span(missing.data(), missing_count))})));
        }
    }
    return slots;
}

PyResult<double> extract_float(PyObject* object) {
    // An exact float is read directly; everything else follows the interpreter's own rules.
    if (PyFloat_CheckExact(object)) return PyFloat_AS_DOUBLE(object);
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0) {
        // -1.0 is also an ordinary value: only a pending exception makes it a failure.
        if (PyRef error = fetch_pending_exception()) return std::unexpected(std::move(error));
    }
    return value;
}

PyResult<FloatVector> extract_float_vector(PyObject* object) {
    if (PyUnicode_Check(object)) return std::unexpected(type_error("Can't extract `str` to `Vec`"));
    if (!PySequence_Check(object)) {
        return std::unexpected(type_error(
            concat({"'", type_qualname(object), "' object cannot be converted to 'Sequence'"})));
    }
    if (std::optional<FloatVector> copied = read_double_buffer(object)) return std::move(*copied);
    FloatVector vector;
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        fetch_pending_exception(); // the length is only a hint: its failure is discarded
    } else {
        vector.reserve(std::min(static_cast<std::size_t>(hint), max_reserved_items));
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return std::unexpected(failed_call_exception());
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        PyResult<double> value = extract_float(item.get());
        if (!value) return std::unexpected(std::move(value.error()));
        vector.push_back(*value);
        item.clear();
    }
    if (PyRef error = fetch_pending_exception()) return std::unexpected(std::move(error));
    return vector;
}

PyRef wrap_argument_error(const char* name, PyRef error) {
    if (!Py_IS_TYPE(error.get(), reinterpret_cast<PyTypeObject*>(PyExc_TypeError))) return error;
    PyRef wrapped = type_error(concat({"argument '", name, "': ", display(error.get())}));
    PyException_SetCause(wrapped.get(), PyException_GetCause(error.get()));
    return wrapped;
}

PyRef float_to_python(double value) {
    PyRef result = PyRef::steal(PyFloat_FromDouble(value));
    if (!result) object_creation_failed();
    return result;
}

PyRef float_vector_to_list(const FloatVector& vector) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(vector.size())));
    if (!list) object_creation_failed();
    for (std::size_t i = 0; i < vector.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(vector[i]);
        if (item == nullptr) object_creation_failed();
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list;
}

} // namespace lumagnis::module
