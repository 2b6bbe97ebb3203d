#pragma once

// Fresh memory reaches a process one page at a time: the first write to each
// 4 KiB page faults, and the kernel clears the page. For the buffers of a
// large family (the gathered values, the running sums) those faults cost
// more than the sort of the values: about 4,000 faults for two buffers of
// 10^6 doubles, some 15 ms of a call here. Advising the kernel to back a
// buffer with 2 MiB pages (transparent huge pages) makes that about 8
// faults; numpy does the same for its arrays of 4 MiB and more, and so
// numpy.sort's own copy is cheap. The advice changes no value: the memory
// reads the same whatever backs it. Where the kernel does not support it (or
// the system turned it off) the call fails quietly and the buffer stays as it
// was. Buffers this code allocates itself start on a 2 MiB boundary, so that
// no part of them is left to 4 KiB pages.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tarvimo::common {

constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{1} << 21;
// Buffers from this size on are advised, as numpy advises its arrays.
constexpr std::size_t HUGE_PAGE_ADVICE_BYTES = std::size_t{1} << 22;

// The whole 2 MiB pages within [first, first + bytes): the part of a buffer
// that the advice can cover (the kernel takes only aligned ranges).
struct PageRange {
    std::uintptr_t start = 0;
    std::size_t bytes = 0;
};

inline PageRange whole_huge_pages(const void* first, std::size_t bytes) {
    const std::uintptr_t begin = reinterpret_cast<std::uintptr_t>(first);
    const std::uintptr_t start = (begin + HUGE_PAGE_BYTES - 1) & ~(std::uintptr_t{HUGE_PAGE_BYTES} - 1);
    const std::uintptr_t end = (begin + bytes) & ~(std::uintptr_t{HUGE_PAGE_BYTES} - 1);
    return end > start ? PageRange{start, static_cast<std::size_t>(end - start)} : PageRange{};
}

// Advises 2 MiB pages for a buffer of `bytes` at `first` that is about to be
// written, if it is large enough to matter. Advice only: nothing fails.
inline void advise_huge_pages(const void* first, std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (bytes >= HUGE_PAGE_ADVICE_BYTES) {
        const PageRange pages = whole_huge_pages(first, bytes);
        if (pages.bytes > 0) {
            madvise(reinterpret_cast<void*>(pages.start), pages.bytes, MADV_HUGEPAGE);
        }
    }
#else
    (void)first;
    (void)bytes;
#endif
}

// Reserves room for n entries of a vector and advises its pages as above.
// The advice reaches only memory not yet written: a vector that already had
// the room keeps its pages as they are.
template <typename T>
void reserve_advised(std::vector<T>& values, std::size_t n) {
    values.reserve(n);
    advise_huge_pages(values.data(), values.capacity() * sizeof(T));
}

struct FreeMemory {
    void operator()(double* values) const { std::free(values); }
};

// An array of doubles from allocate_doubles.
using DoubleArray = std::unique_ptr<double[], FreeMemory>;

// Room for n doubles, left uninitialised: from HUGE_PAGE_ADVICE_BYTES on
// aligned to and rounded up to 2 MiB pages and advised as above. Throws
// std::bad_alloc when the memory is not there.
inline DoubleArray allocate_doubles(std::size_t n) {
    if (n > (std::numeric_limits<std::size_t>::max() - HUGE_PAGE_BYTES) / sizeof(double)) {
        throw std::bad_alloc();
    }
    const std::size_t bytes = n * sizeof(double);
    void* memory = nullptr;
    if (bytes >= HUGE_PAGE_ADVICE_BYTES) {
        const std::size_t rounded = (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
        memory = std::aligned_alloc(HUGE_PAGE_BYTES, rounded);
        if (memory != nullptr) {
            advise_huge_pages(memory, rounded);
        }
    } else {
        memory = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return DoubleArray(static_cast<double*>(memory));
}

}  // namespace tarvimo::common
