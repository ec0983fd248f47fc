// Conversion goes through numpy.asarray, so that every input numpy accepts as real numbers is
// accepted (lists, other dtypes, byte orders, strides, objects with __float__), with numpy's
// own errors; what it would turn into numbers without meaning them is refused first.

#include "fspl_module/broadcast.hpp"

#include <algorithm>

#include "fspl_module/texts.hpp"

namespace lumagnis::fspl_module {
namespace {

[[noreturn]] void refuse(const char* text, const char* name) {
    PyErr_Format(PyExc_TypeError, text, name);
    throw Raised{};
}

// The kind letter of an array's dtype: 'f', 'i', 'c', 'M', ...
char kind_of(PyObject* array) {
    const PyRef dtype = checked(PyObject_GetAttrString(array, "dtype"));
    const PyRef kind = checked(PyObject_GetAttrString(dtype.get(), "kind"));
    const char* text = PyUnicode_AsUTF8(kind.get());
    if (text == nullptr) throw Raised{};
    return text[0];
}

Operand convert(PyObject* object, const char* name) {
    Operand operand;
    operand.name = name;
    // Plain numbers, the common scalar case, skip numpy.
    if (plain_value(object, operand.value)) return operand;
    const Numpy& np = numpy();
    // numpy.asarray keeps a masked array's values and drops its mask.
    const int masked = PyObject_IsInstance(object, np.masked_array_type);
    if (masked < 0) throw Raised{};
    if (masked != 0) refuse(texts::masked_values, name);

    const PyRef raw = checked(PyObject_CallOneArg(np.asarray, object));
    switch (kind_of(raw.get())) {
    case 'c':
        refuse(texts::complex_values, name);
    case 'M':
    case 'm':
        refuse(texts::time_values, name);
    default:
        break;
    }
    operand.array =
        checked(PyObject_CallFunctionObjArgs(np.asarray, raw.get(), np.float64, nullptr));

    Py_buffer view;
    if (PyObject_GetBuffer(operand.array.get(), &view, PyBUF_RECORDS_RO) < 0) throw Raised{};
    operand.data = static_cast<const char*>(view.buf);
    operand.shape.assign(view.shape, view.shape + view.ndim);
    operand.strides.assign(view.strides, view.strides + view.ndim);
    // The array, held by the operand, keeps its memory; the view is not needed to read it.
    PyBuffer_Release(&view);
    return operand;
}

} // namespace

bool plain_value(PyObject* object, double& value) {
    // A float subclass (numpy.float64 is one) holds its value as a float does.
    if (PyFloat_Check(object)) {
        value = PyFloat_AS_DOUBLE(object);
        return true;
    }
    if (PyLong_CheckExact(object)) {
        value = PyLong_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred() != nullptr) throw Raised{};
        return true;
    }
    return false;
}

PyRef shape_tuple(const std::vector<Py_ssize_t>& shape) {
    PyRef tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    for (std::size_t d = 0; d < shape.size(); ++d) {
        PyObject* extent = PyLong_FromSsize_t(shape[d]);
        if (extent == nullptr) throw Raised{};
        PyTuple_SET_ITEM(tuple.get(), static_cast<Py_ssize_t>(d), extent);
    }
    return tuple;
}

namespace {

[[noreturn]] void mismatch(const Operand& first, const Operand& second) {
    const PyRef first_shape = shape_tuple(first.shape);
    const PyRef second_shape = shape_tuple(second.shape);
    PyErr_Format(PyExc_ValueError, texts::not_broadcast, first.name, first_shape.get(), second.name,
                 second_shape.get());
    throw Raised{};
}

} // namespace

Broadcast::Broadcast(std::initializer_list<Argument> arguments) {
    operands_.reserve(arguments.size());
    std::size_t dims = 0;
    for (const Argument& argument : arguments) {
        operands_.push_back(convert(argument.object, argument.name));
        dims = std::max(dims, operands_.back().shape.size());
    }
    // Aligned on the right; `setter[d]` is the operand that gave dimension d its extent.
    shape_.assign(dims, 1);
    std::vector<std::size_t> setter(dims, 0);
    for (std::size_t k = 0; k < operands_.size(); ++k) {
        const std::vector<Py_ssize_t>& own = operands_[k].shape;
        const std::size_t missing = dims - own.size();
        for (std::size_t d = 0; d < own.size(); ++d) {
            Py_ssize_t& extent = shape_[missing + d];
            if (own[d] == 1 || own[d] == extent) continue;
            if (extent != 1) mismatch(operands_[setter[missing + d]], operands_[k]);
            extent = own[d];
            setter[missing + d] = k;
        }
    }
    for (const Py_ssize_t extent : shape_) size_ *= static_cast<std::size_t>(extent);
}

Walk<1> Broadcast::own_walk(std::size_t i) const {
    const Operand& operand = operands_[i];
    Walk<1> result;
    result.first[0] = operand.first();
    for (std::size_t d = 0; d < operand.shape.size(); ++d) {
        result.size *= static_cast<std::size_t>(operand.shape[d]);
        if (operand.shape[d] == 1) continue;
        result.extents.push_back(operand.shape[d]);
        result.strides[0].push_back(operand.strides[d]);
    }
    return result;
}

} // namespace lumagnis::fspl_module
