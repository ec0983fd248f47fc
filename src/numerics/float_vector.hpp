#pragma once
// FloatVector: the owned, contiguous array of doubles that every sequence argument becomes and
// every list result is made from.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <vector>

namespace lumagnis::numerics {

// Running out of native memory is not something a caller can recover from in the middle of a
// call, so the allocator reports the request size on standard error and aborts, instead of
// throwing std::bad_alloc through code that promises never to throw.
template <class T> struct AbortingAllocator {
    using value_type = T;

    AbortingAllocator() = default;
    template <class U> constexpr AbortingAllocator(const AbortingAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        const std::size_t bytes = n * sizeof(T);
        void* memory = (n > max_items()) ? nullptr : ::operator new(bytes, std::nothrow);
        if (memory == nullptr) {
            std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
            std::abort();
        }
        return static_cast<T*>(memory);
    }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(p); }

    static constexpr std::size_t max_items() noexcept {
        return static_cast<std::size_t>(PTRDIFF_MAX) / sizeof(T);
    }

    friend bool operator==(const AbortingAllocator&, const AbortingAllocator&) = default;
};

using FloatVector = std::vector<double, AbortingAllocator<double>>;

} // namespace lumagnis::numerics
