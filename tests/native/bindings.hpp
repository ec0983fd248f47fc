#pragma once
// The test-only module `lumagnis_testing` exposes internals of lumagnis to pytest. It is built
// only for the test run and never installed. Each subsystem contributes its own functions;
// every list ends with the zero sentinel.

#include <Python.h>

namespace lumagnis::testing {

const PyMethodDef* special_methods();
const PyMethodDef* numerics_methods();
const PyMethodDef* models_methods();
const PyMethodDef* fspl_methods();
const PyMethodDef* exit_methods();

} // namespace lumagnis::testing
