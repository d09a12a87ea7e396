// Loaded with LD_PRELOAD into the command-line program by the hostile-input tests, to give it the
// faults of a dying disk and a full one without either:
//   MDF_FAULT_FILE=path  MDF_FAULT_EIO=first:count,...   reads touching those 512-byte sectors of
//                                                        that file fail with EIO
//   MDF_FAULT_FULL=prefix MDF_FAULT_FULL_AFTER=bytes     writes to files whose path starts with
//                                                        prefix fail with ENOSPC past that many
//                                                        bytes
//   MDF_FAULT_FILE=path  MDF_FAULT_SLOW_MS_PER_MIB=ms    reads of that file take that long for
//                                                        every MiB, as on a slow disk
// That file keeps no holes, as a disk keeps none: its empty stretches are read, never passed
// over, so that their faults are met.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr int kMaxFd = 4096;
std::atomic<bool> faultyRead[kMaxFd];
std::atomic<bool> faultyWrite[kMaxFd];
std::atomic<long long> bytesWritten{0};

const char* env(const char* name) {
    const char* v = std::getenv(name);
    return v && *v ? v : nullptr;
}

std::vector<std::pair<long long, long long>> badSectors() {
    static const std::vector<std::pair<long long, long long>> ranges = [] {
        std::vector<std::pair<long long, long long>> out;
        const char* text = env("MDF_FAULT_EIO");
        while (text && *text) {
            char* end = nullptr;
            long long first = std::strtoll(text, &end, 10);
            long long count = *end == ':' ? std::strtoll(end + 1, &end, 10) : 1;
            out.push_back({first, count});
            text = *end == ',' ? end + 1 : end + std::strlen(end);
        }
        return out;
    }();
    return ranges;
}

void track(int fd, const char* path) {
    if (fd < 0 || fd >= kMaxFd || !path) return;
    const char* file = env("MDF_FAULT_FILE");
    const char* full = env("MDF_FAULT_FULL");
    char real[4096];
    const char* resolved = realpath(path, real) ? real : path;
    faultyRead[fd] = file && std::strcmp(resolved, file) == 0;
    faultyWrite[fd] = full && std::strncmp(resolved, full, std::strlen(full)) == 0;
}

template <typename F>
F next(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool touchesBadSector(int fd, size_t size, off_t offset) {
    if (fd < 0 || fd >= kMaxFd || !faultyRead[fd]) return false;
    const long long first = offset / 512, last = (offset + static_cast<off_t>(size) + 511) / 512;
    for (auto [start, count] : badSectors())
        if (first < start + count && start < last) return true;
    return false;
}

// Gives a test the time to stop a scan halfway, however fast the machine reads.
void slowDown(int fd, size_t size) {
    if (fd < 0 || fd >= kMaxFd || !faultyRead[fd]) return;
    const char* perMib = env("MDF_FAULT_SLOW_MS_PER_MIB");
    const long long ms = perMib ? std::atoll(perMib) : 0;
    if (ms > 0)
        ::usleep(static_cast<useconds_t>(ms * 1000 * static_cast<long long>(size) / (1 << 20)));
}

bool diskFull(int fd, size_t size) {
    if (fd < 0 || fd >= kMaxFd || !faultyWrite[fd]) return false;
    const char* after = env("MDF_FAULT_FULL_AFTER");
    const long long limit = after ? std::atoll(after) : 0;
    return bytesWritten.fetch_add(static_cast<long long>(size)) + static_cast<long long>(size) >
           limit;
}

}  // namespace

extern "C" {

// open and open64 differ only in the symbol they forward to.
static int openTracked(const char* symbol, const char* path, int flags, mode_t mode) {
    auto real = next<int (*)(const char*, int, ...)>(symbol);
    int fd = real(path, flags, mode);
    track(fd, path);
    return fd;
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return openTracked("open", path, flags, mode);
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = flags & (O_CREAT | O_TMPFILE) ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return openTracked("open64", path, flags, mode);
}

using PreadFn = ssize_t (*)(int, void*, size_t, off_t);
using PwriteFn = ssize_t (*)(int, const void*, size_t, off_t);

// pread and pread64 (pwrite and pwrite64) differ only in the symbol they forward to.
static ssize_t faultyPread(PreadFn real, int fd, void* buffer, size_t size, off_t offset) {
    slowDown(fd, size);
    if (touchesBadSector(fd, size, offset)) {
        errno = EIO;
        return -1;
    }
    return real(fd, buffer, size, offset);
}

static ssize_t faultyPwrite(PwriteFn real, int fd, const void* buffer, size_t size, off_t offset) {
    if (diskFull(fd, size)) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd, buffer, size, offset);
}

ssize_t pread(int fd, void* buffer, size_t size, off_t offset) {
    static auto real = next<PreadFn>("pread");
    return faultyPread(real, fd, buffer, size, offset);
}

ssize_t pread64(int fd, void* buffer, size_t size, off_t offset) {
    static auto real = next<PreadFn>("pread64");
    return faultyPread(real, fd, buffer, size, offset);
}

// lseek and lseek64 differ only in the symbol they forward to.
static off_t holeless(off_t (*real)(int, off_t, int), int fd, off_t offset, int whence) {
    if (whence == SEEK_DATA && fd >= 0 && fd < kMaxFd && faultyRead[fd] && offset >= 0) {
        const off_t end = real(fd, 0, SEEK_END);
        if (end >= 0 && offset < end) return real(fd, offset, SEEK_SET);
    }
    return real(fd, offset, whence);
}

off_t lseek(int fd, off_t offset, int whence) {
    static auto real = next<off_t (*)(int, off_t, int)>("lseek");
    return holeless(real, fd, offset, whence);
}

off_t lseek64(int fd, off_t offset, int whence) {
    static auto real = next<off_t (*)(int, off_t, int)>("lseek64");
    return holeless(real, fd, offset, whence);
}

ssize_t write(int fd, const void* buffer, size_t size) {
    static auto real = next<ssize_t (*)(int, const void*, size_t)>("write");
    if (diskFull(fd, size)) {
        errno = ENOSPC;
        return -1;
    }
    return real(fd, buffer, size);
}

// The MDF is written with pwrite from a thread of its own.
ssize_t pwrite(int fd, const void* buffer, size_t size, off_t offset) {
    static auto real = next<PwriteFn>("pwrite");
    return faultyPwrite(real, fd, buffer, size, offset);
}

ssize_t pwrite64(int fd, const void* buffer, size_t size, off_t offset) {
    static auto real = next<PwriteFn>("pwrite64");
    return faultyPwrite(real, fd, buffer, size, offset);
}

}  // extern "C"
