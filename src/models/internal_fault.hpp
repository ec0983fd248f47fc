#pragma once
// Internal faults: violated preconditions inside a call.
//
// Unlike a numeric failure, which is an ordinary outcome returned as a value, an internal fault
// means the call cannot go on. It is thrown, and only the call entry of the module catches it:
// the entry writes the diagnostic block from the carried location and raises the fault
// exception. This is the one exception that the numeric code throws.

#include <source_location>
#include <string>
#include <string_view>
#include <utility>

namespace lumagnis::models {

struct InternalFault {
    // A fixed text is kept as its literal, and only a composed one is owned: one of the faults
    // is running out of memory, and reporting it must not need memory of its own.
    const char* fixed_text = nullptr;
    std::string composed_text;
    std::source_location location;
    // False for a fault resumed from a fault exception that came back from Python code: its
    // diagnostic was written where it first happened, and is not written again.
    bool write_diagnostic = true;

    std::string_view message() const noexcept {
        return fixed_text != nullptr ? std::string_view(fixed_text)
                                     : std::string_view(composed_text);
    }
};

[[noreturn]] inline void
internal_fault(const char* fixed_text,
               std::source_location where = std::source_location::current()) {
    throw InternalFault{.fixed_text = fixed_text, .composed_text = {}, .location = where};
}

[[noreturn]] inline void
internal_fault(std::string message, std::source_location where = std::source_location::current()) {
    throw InternalFault{
        .fixed_text = nullptr, .composed_text = std::move(message), .location = where};
}

} // namespace lumagnis::models
