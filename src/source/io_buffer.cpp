#include "source/io_buffer.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>

namespace mdf {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

}  // namespace

void IoBufferFree::operator()(std::uint8_t* p) const {
    std::free(p);
}

IoBuffer allocateIoBuffer(std::size_t size, std::size_t alignment) {
    const bool huge = size >= kHugePage;
    void* p = nullptr;
    if (::posix_memalign(&p, huge ? std::max(alignment, kHugePage) : alignment, size) != 0)
        return nullptr;
    // Only advice: without huge pages the buffer works as well, just slower.
    if (huge) (void)::madvise(p, size, MADV_HUGEPAGE);
    return IoBuffer(static_cast<std::uint8_t*>(p));
}

}  // namespace mdf
