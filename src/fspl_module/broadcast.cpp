// numpy does the conversion and the broadcasting, so that every input numpy accepts is
// accepted, with numpy's own errors; the loop then reads plain float64 memory.

#include "fspl_module/broadcast.hpp"

#include <nanobind/ndarray.h>

namespace lumagnis::fspl_module {

using namespace nb::literals;

namespace {

using ContiguousArray = nb::ndarray<const double, nb::c_contig, nb::device::cpu>;

nb::object numpy() { return nb::module_::import_("numpy"); }

} // namespace

Broadcast::Broadcast(std::initializer_list<nb::handle> arguments) {
    const nb::object np = numpy();
    const nb::object float64 = np.attr("float64");
    nb::list shapes;
    for (const nb::handle argument : arguments) {
        nb::object array = np.attr("asarray")(argument, "dtype"_a = float64);
        shapes.append(array.attr("shape"));
        arrays_.push_back(std::move(array));
    }
    const nb::tuple shape = nb::tuple(np.attr("broadcast_shapes")(*shapes));
    for (const nb::handle extent : shape) {
        shape_.push_back(nb::cast<std::size_t>(extent));
        size_ *= shape_.back();
    }
    scalar_ = shape_.empty();

    for (nb::object& array : arrays_) {
        // One value serves every element; an array of the full shape is read in place when it
        // is already contiguous float64 (numpy returns it unchanged); only a partly broadcast
        // one is expanded.
        const bool single = nb::cast<std::size_t>(array.attr("size")) == 1;
        if (!single && !nb::tuple(array.attr("shape")).equal(shape)) {
            array = np.attr("broadcast_to")(array, shape);
        }
        array = np.attr("ascontiguousarray")(array);
        const ContiguousArray view = nb::cast<ContiguousArray>(array, false);
        columns_.push_back(Column{view.data(), single ? std::size_t{0} : std::size_t{1}});
    }
}

nb::object hand_to_numpy(std::unique_ptr<double[]>& buffer, const std::vector<std::size_t>& shape) {
    double* const data = buffer.get();
    const nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<double*>(p); });
    buffer.release(); // the capsule owns it from here
    const nb::ndarray<nb::numpy, double> array(data, shape.size(), shape.data(), owner);
    return nb::cast(array);
}

} // namespace lumagnis::fspl_module
