// The four-lane closed form of the finite-source models by either processor path, so that the
// tests can hold the two to the same bits.

#include "bindings.hpp"
#include <vector>

#include "models/fspl_chord.hpp"
#include "models/fspl_lanes.hpp"
#include "models/fspl_table_moments.hpp"

namespace lumagnis::testing {
namespace {

using models::fspl::DiskLanes;

// Whether the lanes a call names can run here; if not, the error is set. `avx2` asks for the
// AVX2 kernels, which run where `available` says the processor has them.
bool lanes_serve(int avx2, bool available) {
    if (avx2 && !available) {
        PyErr_SetString(PyExc_RuntimeError, "no AVX2 on this processor");
        return false;
    }
    return true;
}

// (a0..a3, du0..du3, drho0..drho3) of four disks.
PyObject* lanes_tuple(const DiskLanes& out) {
    PyObject* result = PyTuple_New(12);
    if (result == nullptr) return nullptr;
    for (int i = 0; i < 4; ++i) {
        PyTuple_SET_ITEM(result, i, PyFloat_FromDouble(out.a[i]));
        PyTuple_SET_ITEM(result, 4 + i, PyFloat_FromDouble(out.da_du[i]));
        PyTuple_SET_ITEM(result, 8 + i, PyFloat_FromDouble(out.da_dradius[i]));
    }
    return result;
}

// fspl_disk_lanes(u, r0, r1, r2, r3, avx2, gradient) -> (a0..a3, du0..du3, dr0..dr3)
PyObject* fspl_disk_lanes(PyObject*, PyObject* args) noexcept {
    double u;
    double radius[4];
    int avx2;
    int gradient;
    if (!PyArg_ParseTuple(args, "dddddpp", &u, &radius[0], &radius[1], &radius[2], &radius[3],
                          &avx2, &gradient))
        return nullptr;
    if (!lanes_serve(avx2, models::fspl::lanes::vectorised())) return nullptr;
    DiskLanes out{};
    namespace lanes = models::fspl::lanes;
    if (avx2)
        gradient ? lanes::avx2::closed_lanes<true>(u, radius, out)
                 : lanes::avx2::closed_lanes<false>(u, radius, out);
    else
        gradient ? lanes::portable::closed_lanes<true>(u, radius, out)
                 : lanes::portable::closed_lanes<false>(u, radius, out);
    return lanes_tuple(out);
}

// fspl_disk_lanes_two(u, r0, .., r7, avx2, gradient) -> the tuples of the two fours, one after
// the other, from the kernel that runs their iterations side by side.
PyObject* fspl_disk_lanes_two(PyObject*, PyObject* args) noexcept {
    double u;
    double radius[8];
    int avx2;
    int gradient;
    if (!PyArg_ParseTuple(args, "dddddddddpp", &u, &radius[0], &radius[1], &radius[2], &radius[3],
                          &radius[4], &radius[5], &radius[6], &radius[7], &avx2, &gradient))
        return nullptr;
    if (!lanes_serve(avx2, models::fspl::lanes::vectorised())) return nullptr;
    DiskLanes out[2]{};
    namespace lanes = models::fspl::lanes;
    if (avx2)
        gradient ? lanes::avx2::closed_lanes_two<true>(u, radius, out)
                 : lanes::avx2::closed_lanes_two<false>(u, radius, out);
    else
        gradient ? lanes::portable::closed_lanes_two<true>(u, radius, out)
                 : lanes::portable::closed_lanes_two<false>(u, radius, out);
    PyObject* first = lanes_tuple(out[0]);
    if (first == nullptr) return nullptr;
    PyObject* second = lanes_tuple(out[1]);
    if (second == nullptr) {
        Py_DECREF(first);
        return nullptr;
    }
    PyObject* both = PySequence_Concat(first, second);
    Py_DECREF(first);
    Py_DECREF(second);
    return both;
}

// fspl_far_row(u0..u3, rho0..rho3, avx2, gradient) -> (a0..a3, du0..du3, drho0..drho3) of the
// uniform disk's far-field series, or None for a row that the lanes leave to single points.
PyObject* fspl_far_row(PyObject*, PyObject* args) noexcept {
    double u[4];
    double radius[4];
    int avx2;
    int gradient;
    if (!PyArg_ParseTuple(args, "ddddddddpp", &u[0], &u[1], &u[2], &u[3], &radius[0], &radius[1],
                          &radius[2], &radius[3], &avx2, &gradient))
        return nullptr;
    if (!lanes_serve(avx2, models::fspl::lanes::vectorised())) return nullptr;
    DiskLanes out{};
    namespace rows = models::fspl::far_rows;
    const models::fspl::Moments& moments = models::fspl::uniform_moments();
    const bool done = avx2 ? (gradient ? rows::avx2::row<true>(u, radius, moments, out)
                                       : rows::avx2::row<false>(u, radius, moments, out))
                           : (gradient ? rows::portable::row<true>(u, radius, moments, out)
                                       : rows::portable::row<false>(u, radius, moments, out));
    if (!done) Py_RETURN_NONE;
    return lanes_tuple(out);
}

// fspl_disk_points(u, radius, avx2, slopes) -> the closed form's values for eight points, u
// and radius sequences of eight floats, a four at a time; with slopes, (a0..a7, du0..du7,
// dr0..dr7) from the kernel with the slopes.
PyObject* fspl_disk_points(PyObject*, PyObject* args) noexcept {
    PyObject* u_seq;
    PyObject* r_seq;
    int avx2;
    int slopes;
    if (!PyArg_ParseTuple(args, "OOpp", &u_seq, &r_seq, &avx2, &slopes)) return nullptr;
    if (!lanes_serve(avx2, models::fspl::lanes::vectorised())) return nullptr;
    if (PySequence_Size(u_seq) != 8 || PySequence_Size(r_seq) != 8) {
        PyErr_SetString(PyExc_ValueError, "eight separations and eight radii");
        return nullptr;
    }
    double u[8];
    double radius[8];
    for (Py_ssize_t i = 0; i < 8; ++i) {
        PyObject* x = PySequence_GetItem(u_seq, i);
        PyObject* r = x == nullptr ? nullptr : PySequence_GetItem(r_seq, i);
        u[i] = x == nullptr ? -1.0 : PyFloat_AsDouble(x);
        radius[i] = r == nullptr ? -1.0 : PyFloat_AsDouble(r);
        Py_XDECREF(x);
        Py_XDECREF(r);
        if (PyErr_Occurred()) return nullptr;
    }
    namespace lanes = models::fspl::lanes;
    if (slopes) {
        DiskLanes out[2]{};
        for (int four = 0; four < 2; ++four)
            avx2
                ? lanes::avx2::closed_points_slopes(u + 4 * four, radius + 4 * four, out[four])
                : lanes::portable::closed_points_slopes(u + 4 * four, radius + 4 * four, out[four]);
        PyObject* result = PyTuple_New(24);
        if (result == nullptr) return nullptr;
        for (int i = 0; i < 8; ++i) {
            const DiskLanes& four = out[i / 4];
            PyTuple_SET_ITEM(result, i, PyFloat_FromDouble(four.a[i % 4]));
            PyTuple_SET_ITEM(result, 8 + i, PyFloat_FromDouble(four.da_du[i % 4]));
            PyTuple_SET_ITEM(result, 16 + i, PyFloat_FromDouble(four.da_dradius[i % 4]));
        }
        return result;
    }
    double a[8];
    for (int four = 0; four < 8; four += 4)
        avx2 ? lanes::avx2::closed_points(u + four, radius + four, a + four)
             : lanes::portable::closed_points(u + four, radius + four, a + four);
    PyObject* result = PyTuple_New(8);
    if (result == nullptr) return nullptr;
    for (int i = 0; i < 8; ++i) PyTuple_SET_ITEM(result, i, PyFloat_FromDouble(a[i]));
    return result;
}

// fspl_chord_mu(u, rho, avx2, gradient) -> (F, dF/du, dF/drho) of the linear law's limb term by
// chords, on the lanes `avx2` names.
PyObject* fspl_chord_mu(PyObject*, PyObject* args) noexcept {
    double u;
    double rho;
    int avx2;
    int gradient;
    if (!PyArg_ParseTuple(args, "ddpp", &u, &rho, &avx2, &gradient)) return nullptr;
    if (!lanes_serve(avx2, models::fspl::lanes::vectorised())) return nullptr;
    if (!models::fspl::chord::serves(u, rho)) {
        PyErr_SetString(PyExc_ValueError, "outside the chords' range");
        return nullptr;
    }
    namespace chord = models::fspl::chord;
    const models::fspl::DiskValue out =
        gradient ? chord::mu_disk_on<true>(u, rho, avx2) : chord::mu_disk_on<false>(u, rho, avx2);
    return Py_BuildValue("(ddd)", out.a, out.da_du, out.da_dradius);
}

// fspl_table_moments(y, d, terms, avx2) -> [sum_j d_j T_m(y_j), m < terms], y and d sequences
// of floats of one length, |y| <= 1, 2 <= terms <= the kernel's maximum.
PyObject* fspl_table_moments(PyObject*, PyObject* args) noexcept {
    PyObject* y_seq;
    PyObject* d_seq;
    Py_ssize_t terms;
    int avx2;
    if (!PyArg_ParseTuple(args, "OOnp", &y_seq, &d_seq, &terms, &avx2)) return nullptr;
    namespace moments = models::fspl::table_moments;
    if (!lanes_serve(avx2, moments::vectorised())) return nullptr;
    const Py_ssize_t count = PySequence_Size(y_seq);
    if (count < 0 || PySequence_Size(d_seq) != count || terms < 2 ||
        terms > static_cast<Py_ssize_t>(moments::max_terms)) {
        PyErr_SetString(PyExc_ValueError, "y and d of one length, 2 <= terms <= max_terms");
        return nullptr;
    }
    std::vector<double> y(static_cast<std::size_t>(count));
    std::vector<double> d(static_cast<std::size_t>(count));
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* a = PySequence_GetItem(y_seq, j);
        PyObject* b = a == nullptr ? nullptr : PySequence_GetItem(d_seq, j);
        y[static_cast<std::size_t>(j)] = a == nullptr ? -1.0 : PyFloat_AsDouble(a);
        d[static_cast<std::size_t>(j)] = b == nullptr ? -1.0 : PyFloat_AsDouble(b);
        Py_XDECREF(a);
        Py_XDECREF(b);
        if (PyErr_Occurred()) return nullptr;
    }
    std::vector<double> out(static_cast<std::size_t>(terms));
    (avx2 ? moments::avx2::moments : moments::portable::moments)(y.data(), d.data(), y.size(),
                                                                 out.size(), out.data());
    PyObject* result = PyList_New(terms);
    if (result == nullptr) return nullptr;
    for (Py_ssize_t m = 0; m < terms; ++m)
        PyList_SET_ITEM(result, m, PyFloat_FromDouble(out[static_cast<std::size_t>(m)]));
    return result;
}

// fspl_table_positions(x, lo, inverse, crowd, avx2) -> the samples' positions in a piece,
// crowd 0 (none), 1 (towards lo) or 2 (towards its end).
PyObject* fspl_table_positions(PyObject*, PyObject* args) noexcept {
    PyObject* x_seq;
    double lo;
    double inverse;
    int crowd;
    int avx2;
    if (!PyArg_ParseTuple(args, "Oddip", &x_seq, &lo, &inverse, &crowd, &avx2)) return nullptr;
    namespace moments = models::fspl::table_moments;
    if ((avx2 && !moments::vectorised()) || crowd < 0 || crowd > 2) {
        PyErr_SetString(PyExc_ValueError, "crowd 0, 1 or 2; avx2 only where it runs");
        return nullptr;
    }
    const Py_ssize_t count = PySequence_Size(x_seq);
    if (count < 0) return nullptr;
    std::vector<double> x(static_cast<std::size_t>(count));
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* a = PySequence_GetItem(x_seq, j);
        x[static_cast<std::size_t>(j)] = a == nullptr ? -1.0 : PyFloat_AsDouble(a);
        Py_XDECREF(a);
        if (PyErr_Occurred()) return nullptr;
    }
    std::vector<double> out(x.size());
    (avx2 ? moments::avx2::positions : moments::portable::positions)(
        x.data(), x.size(), lo, inverse, static_cast<moments::Crowd>(crowd), out.data());
    PyObject* result = PyList_New(count);
    if (result == nullptr) return nullptr;
    for (Py_ssize_t j = 0; j < count; ++j)
        PyList_SET_ITEM(result, j, PyFloat_FromDouble(out[static_cast<std::size_t>(j)]));
    return result;
}

// fspl_table_placed_moments(x, d, lo, inverse, crowd, terms, avx2) -> the moments of the samples
// at their positions in a piece, taken together (at most max_placed samples).
PyObject* fspl_table_placed_moments(PyObject*, PyObject* args) noexcept {
    PyObject* sequences[2];
    double lo;
    double inverse;
    int crowd;
    Py_ssize_t terms;
    int avx2;
    if (!PyArg_ParseTuple(args, "OOddinp", &sequences[0], &sequences[1], &lo, &inverse, &crowd,
                          &terms, &avx2))
        return nullptr;
    namespace moments = models::fspl::table_moments;
    const Py_ssize_t count = PySequence_Size(sequences[0]);
    if ((avx2 && !moments::vectorised()) || crowd < 0 || crowd > 2 || count < 0 ||
        count > static_cast<Py_ssize_t>(moments::max_placed) ||
        PySequence_Size(sequences[1]) != count || terms < 2 ||
        terms > static_cast<Py_ssize_t>(moments::max_terms)) {
        PyErr_SetString(PyExc_ValueError, "x and d of one length up to max_placed, crowd 0, 1 "
                                          "or 2, 2 <= terms <= max_terms; avx2 where it runs");
        return nullptr;
    }
    std::vector<double> values[2];
    for (int s = 0; s < 2; ++s) {
        values[s].resize(static_cast<std::size_t>(count));
        for (Py_ssize_t j = 0; j < count; ++j) {
            PyObject* a = PySequence_GetItem(sequences[s], j);
            values[s][static_cast<std::size_t>(j)] = a == nullptr ? -1.0 : PyFloat_AsDouble(a);
            Py_XDECREF(a);
            if (PyErr_Occurred()) return nullptr;
        }
    }
    std::vector<double> out(static_cast<std::size_t>(terms));
    (avx2 ? moments::avx2::placed_moments : moments::portable::placed_moments)(
        values[0].data(), values[1].data(), values[0].size(), lo, inverse,
        static_cast<moments::Crowd>(crowd), out.size(), out.data());
    PyObject* result = PyList_New(terms);
    if (result == nullptr) return nullptr;
    for (Py_ssize_t m = 0; m < terms; ++m)
        PyList_SET_ITEM(result, m, PyFloat_FromDouble(out[static_cast<std::size_t>(m)]));
    return result;
}

// A sequence of floats as doubles; false with the Python error set.
bool read_floats(PyObject* seq, std::vector<double>& out) {
    const Py_ssize_t count = PySequence_Size(seq);
    if (count < 0) return false;
    out.resize(static_cast<std::size_t>(count));
    for (Py_ssize_t j = 0; j < count; ++j) {
        PyObject* item = PySequence_GetItem(seq, j);
        out[static_cast<std::size_t>(j)] = item == nullptr ? -1.0 : PyFloat_AsDouble(item);
        Py_XDECREF(item);
        if (PyErr_Occurred()) return false;
    }
    return true;
}

// fspl_table_node_weights(reads, mu, nodes, avx2) -> [sum_k reads[k nodes + i] mu[k], i <
// nodes]: reads a flat sequence of len(mu) rows of `nodes`, a multiple of 4 up to 32.
PyObject* fspl_table_node_weights(PyObject*, PyObject* args) noexcept {
    PyObject* reads_seq;
    PyObject* mu_seq;
    Py_ssize_t nodes;
    int avx2;
    if (!PyArg_ParseTuple(args, "OOnp", &reads_seq, &mu_seq, &nodes, &avx2)) return nullptr;
    namespace moments = models::fspl::table_moments;
    if (!lanes_serve(avx2, moments::vectorised())) return nullptr;
    std::vector<double> reads;
    std::vector<double> mu;
    if (!read_floats(reads_seq, reads) || !read_floats(mu_seq, mu)) return nullptr;
    if (nodes <= 0 || nodes > 32 || nodes % 4 != 0 ||
        reads.size() != mu.size() * static_cast<std::size_t>(nodes)) {
        PyErr_SetString(PyExc_ValueError, "len(reads) == len(mu) * nodes, nodes in 4, 8, ..., 32");
        return nullptr;
    }
    std::vector<double> out(static_cast<std::size_t>(nodes));
    (avx2 ? moments::avx2::node_weights : moments::portable::node_weights)(
        reads.data(), mu.data(), mu.size(), out.size(), out.data());
    PyObject* result = PyList_New(nodes);
    if (result == nullptr) return nullptr;
    for (Py_ssize_t i = 0; i < nodes; ++i)
        PyList_SET_ITEM(result, i, PyFloat_FromDouble(out[static_cast<std::size_t>(i)]));
    return result;
}

PyObject* fspl_vectorised(PyObject*, PyObject*) noexcept {
    return PyBool_FromLong(models::fspl::lanes::vectorised() ? 1 : 0);
}

PyMethodDef methods[] = {
    {"fspl_disk_lanes", fspl_disk_lanes, METH_VARARGS, nullptr},
    {"fspl_disk_lanes_two", fspl_disk_lanes_two, METH_VARARGS, nullptr},
    {"fspl_far_row", fspl_far_row, METH_VARARGS, nullptr},
    {"fspl_disk_points", fspl_disk_points, METH_VARARGS, nullptr},
    {"fspl_vectorised", fspl_vectorised, METH_NOARGS, nullptr},
    {"fspl_chord_mu", fspl_chord_mu, METH_VARARGS, nullptr},
    {"fspl_table_moments", fspl_table_moments, METH_VARARGS, nullptr},
    {"fspl_table_positions", fspl_table_positions, METH_VARARGS, nullptr},
    {"fspl_table_placed_moments", fspl_table_placed_moments, METH_VARARGS, nullptr},
    {"fspl_table_node_weights", fspl_table_node_weights, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

const PyMethodDef* fspl_methods() { return methods; }

} // namespace lumagnis::testing
