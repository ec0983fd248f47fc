#include "bindings.hpp"

namespace lumagnis::testing {

const PyMethodDef* models_methods() {
    static PyMethodDef methods[] = {
        {nullptr, nullptr, 0, nullptr},
    };
    return methods;
}

} // namespace lumagnis::testing
