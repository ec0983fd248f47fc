#pragma once
// The intensity laws as small immutable Python classes. Each instance carries its law prepared
// once for evaluation, so that a call pays nothing to use it.

#include <nanobind/nanobind.h>

#include "models/fspl.hpp"

namespace lumagnis::fspl_module {

namespace nb = nanobind;

// Adds Linear, Quadratic, SquareRoot, Power2 and Tabulated to `module`.
void bind_profiles(nb::module_& module);

// The prepared source of a profile object, or nullptr when `profile` is not one.
const models::fspl::Source* prepared_source(nb::handle profile);

} // namespace lumagnis::fspl_module
