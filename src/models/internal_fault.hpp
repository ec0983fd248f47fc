#pragma once
// Internal faults: violated preconditions inside a call.
//
// Unlike a numeric failure, which is an ordinary outcome returned as a value, an internal fault
// means the call cannot go on. It is thrown, and only the call entry of the module catches it:
// the entry writes the diagnostic block from the carried location and raises the fault
// exception. This is the one exception that the numeric code throws.

#include <source_location>
#include <string>
#include <utility>

namespace lumagnis::models {

struct InternalFault {
    std::string message;
    std::source_location location;
    // False for a fault resumed from a fault exception that came back from Python code: its
    // diagnostic was written where it first happened, and is not written again.
    bool write_diagnostic = true;
};

[[noreturn]] inline void
internal_fault(std::string message, std::source_location where = std::source_location::current()) {
    throw InternalFault{std::move(message), where};
}

} // namespace lumagnis::models
