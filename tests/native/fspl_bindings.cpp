// The four-lane closed form of the finite-source models by either processor path, so that the
// tests can hold the two to the same bits.

#include "bindings.hpp"
#include "models/fspl_lanes.hpp"

namespace lumagnis::testing {
namespace {

using models::fspl::DiskLanes;

// fspl_disk_lanes(u, r0, r1, r2, r3, avx2, gradient) -> (a0..a3, du0..du3, dr0..dr3)
PyObject* fspl_disk_lanes(PyObject*, PyObject* args) noexcept {
    double u;
    double radius[4];
    int avx2;
    int gradient;
    if (!PyArg_ParseTuple(args, "dddddpp", &u, &radius[0], &radius[1], &radius[2], &radius[3],
                          &avx2, &gradient))
        return nullptr;
    if (avx2 && !models::fspl::lanes::vectorised()) {
        PyErr_SetString(PyExc_RuntimeError, "no AVX2 on this processor");
        return nullptr;
    }
    DiskLanes out{};
    namespace lanes = models::fspl::lanes;
    if (avx2)
        gradient ? lanes::avx2::closed_lanes<true>(u, radius, out)
                 : lanes::avx2::closed_lanes<false>(u, radius, out);
    else
        gradient ? lanes::portable::closed_lanes<true>(u, radius, out)
                 : lanes::portable::closed_lanes<false>(u, radius, out);
    PyObject* result = PyTuple_New(12);
    if (result == nullptr) return nullptr;
    for (int i = 0; i < 4; ++i) {
        PyTuple_SET_ITEM(result, i, PyFloat_FromDouble(out.a[i]));
        PyTuple_SET_ITEM(result, 4 + i, PyFloat_FromDouble(out.da_du[i]));
        PyTuple_SET_ITEM(result, 8 + i, PyFloat_FromDouble(out.da_dradius[i]));
    }
    return result;
}

PyObject* fspl_vectorised(PyObject*, PyObject*) noexcept {
    return PyBool_FromLong(models::fspl::lanes::vectorised() ? 1 : 0);
}

PyMethodDef methods[] = {
    {"fspl_disk_lanes", fspl_disk_lanes, METH_VARARGS, nullptr},
    {"fspl_vectorised", fspl_vectorised, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

const PyMethodDef* fspl_methods() { return methods; }

} // namespace lumagnis::testing
