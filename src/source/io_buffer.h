#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <vector>

namespace mdf {

struct IoBufferFree {
    std::size_t mapped = 0;  // the length of a mapping of its own; 0 for heap memory
    void operator()(std::uint8_t* p) const;
};
using IoBuffer = std::unique_ptr<std::uint8_t[], IoBufferFree>;

// A buffer for O_DIRECT transfers, aligned to at least `alignment`. One of 2 MiB or more is laid
// on huge pages where the kernel grants them: a direct transfer pins every page of its buffer and
// hands the device one segment per physically contiguous piece, and on 4 KiB pages that cost an
// 8 MiB read a sixth of its time here (reads of the same disk took 3.0 s on 4 KiB pages and 1.9 s
// on huge ones; 2 GiB of writes 1.7 s and 1.2 s). Null when the memory cannot be had.
IoBuffer allocateIoBuffer(std::size_t size, std::size_t alignment);

// How IoBufferFree must release a buffer of `size` bytes from allocateIoBuffer.
IoBufferFree ioBufferFreeFor(std::size_t size);

// The same memory for a vector: the scan's windows, which a direct-I/O source reads straight into.
template <class T>
struct IoAllocator {
    using value_type = T;
    static constexpr std::size_t kAlignment = 4096;
    IoAllocator() = default;
    template <class U>
    IoAllocator(const IoAllocator<U>&) {}
    T* allocate(std::size_t n) {
        IoBuffer buffer = allocateIoBuffer(n * sizeof(T), kAlignment);
        if (!buffer) throw std::bad_alloc();
        return reinterpret_cast<T*>(buffer.release());
    }
    void deallocate(T* p, std::size_t n) {
        ioBufferFreeFor(n * sizeof(T))(reinterpret_cast<std::uint8_t*>(p));
    }
    template <class U>
    bool operator==(const IoAllocator<U>&) const {
        return true;
    }
};
using IoBytes = std::vector<std::uint8_t, IoAllocator<std::uint8_t>>;

}  // namespace mdf
