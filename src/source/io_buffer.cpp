#include "source/io_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>

namespace mdf {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t roundUp(std::size_t v, std::size_t a) {
    return (v + a - 1) / a * a;
}

// Mapped on its own rather than taken from the heap: advice given to heap memory would stay with
// it when the allocator hands it out again for small things.
IoBuffer mapHuge(std::size_t size, std::size_t alignment) {
    alignment = std::max(alignment, kHugePage);
    const std::size_t length = roundUp(size, kHugePage);
    void* p = ::mmap(nullptr, length + alignment, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return IoBuffer(nullptr, IoBufferFree{});
    auto* const start = static_cast<std::uint8_t*>(p);
    auto* const aligned = reinterpret_cast<std::uint8_t*>(
        roundUp(reinterpret_cast<std::uintptr_t>(start), alignment));
    if (aligned > start) ::munmap(start, static_cast<std::size_t>(aligned - start));
    const std::size_t tail =
        static_cast<std::size_t>(start + length + alignment - aligned) - length;
    if (tail > 0) ::munmap(aligned + length, tail);
    // Only advice: without huge pages the buffer works as well, just slower.
    (void)::madvise(aligned, length, MADV_HUGEPAGE);
    return IoBuffer(aligned, IoBufferFree{length});
}

}  // namespace

void IoBufferFree::operator()(std::uint8_t* p) const {
    if (mapped > 0)
        ::munmap(p, mapped);
    else
        std::free(p);
}

IoBufferFree ioBufferFreeFor(std::size_t size) {
    return IoBufferFree{size >= kHugePage ? roundUp(size, kHugePage) : 0};
}

IoBuffer allocateIoBuffer(std::size_t size, std::size_t alignment) {
    if (size >= kHugePage) return mapHuge(size, alignment);
    void* p = nullptr;
    if (::posix_memalign(&p, alignment, size) != 0) return IoBuffer(nullptr, IoBufferFree{});
    return IoBuffer(static_cast<std::uint8_t*>(p), IoBufferFree{});
}

}  // namespace mdf
