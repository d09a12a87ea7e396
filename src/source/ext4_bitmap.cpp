#include "source/ext4_bitmap.h"

extern "C" {
#include <et/com_err.h>
}
#include <ext2fs/ext2fs.h>
#include <fmt/core.h>

#include <atomic>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "source/free_space_map.h"
#include "source/sector_source.h"

namespace mdf {
namespace {

// libext2fs opens a volume by name through an I/O manager; ours hands each name registered
// here to the SectorSource behind it. Nothing is ever written: every write entry fails.
std::mutex registryMutex;
std::map<std::string, SectorSource*> registry;

errcode_t readBlocks(io_channel channel, unsigned long long block, int count, void* data) {
    auto* source = static_cast<SectorSource*>(channel->private_data);
    const std::int64_t bytes =
        count < 0 ? -static_cast<std::int64_t>(count) : std::int64_t{count} * channel->block_size;
    const auto offset = static_cast<std::int64_t>(block) * channel->block_size;
    if (bytes <= 0) return 0;
    const std::int64_t firstSector = offset / 512;
    const std::int64_t sectors = (offset + bytes + 511) / 512 - firstSector;
    if (sectors > (std::int64_t{1} << 20)) return EXT2_ET_INVALID_ARGUMENT;
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(sectors) * 512);
    if (!source->readWholeSectors(static_cast<std::uint32_t>(sectors), buffer.data(), firstSector))
        return EXT2_ET_SHORT_READ;
    std::memcpy(data, buffer.data() + (offset - firstSector * 512),
                static_cast<std::size_t>(bytes));
    return 0;
}

errcode_t readBlocks32(io_channel channel, unsigned long block, int count, void* data) {
    return readBlocks(channel, block, count, data);
}
errcode_t refuseWrite(io_channel, unsigned long, int, const void*) {
    return EXT2_ET_RO_FILSYS;
}
errcode_t refuseWrite64(io_channel, unsigned long long, int, const void*) {
    return EXT2_ET_RO_FILSYS;
}
errcode_t refuseWriteByte(io_channel, unsigned long, int, const void*) {
    return EXT2_ET_RO_FILSYS;
}
errcode_t flushNothing(io_channel) {
    return 0;
}
errcode_t setBlockSize(io_channel channel, int size) {
    channel->block_size = size;
    return 0;
}
errcode_t noOption(io_channel, const char*, const char*) {
    return EXT2_ET_INVALID_ARGUMENT;
}

errcode_t closeChannel(io_channel channel) {
    if (--channel->refcount > 0) return 0;
    ext2fs_free_mem(&channel->name);
    ext2fs_free_mem(&channel);
    return 0;
}

errcode_t openChannel(const char* name, int flags, io_channel* out);

struct_io_manager sourceManager = [] {
    struct_io_manager m{};
    m.magic = EXT2_ET_MAGIC_IO_MANAGER;
    m.name = "mdfrecover sector source";
    m.open = openChannel;
    m.close = closeChannel;
    m.set_blksize = setBlockSize;
    m.read_blk = readBlocks32;
    m.write_blk = refuseWrite;
    m.flush = flushNothing;
    m.write_byte = refuseWriteByte;
    m.set_option = noOption;
    m.read_blk64 = readBlocks;
    m.write_blk64 = refuseWrite64;
    return m;
}();

errcode_t openChannel(const char* name, int flags, io_channel* out) {
    if ((flags & IO_FLAG_RW) != 0) return EXT2_ET_RO_FILSYS;
    SectorSource* source = nullptr;
    {
        std::lock_guard lock(registryMutex);
        auto it = registry.find(name);
        if (it == registry.end()) return EXT2_ET_BAD_DEVICE_NAME;
        source = it->second;
    }
    io_channel channel = nullptr;
    if (errcode_t e = ext2fs_get_memzero(sizeof(*channel), &channel)) return e;
    if (errcode_t e = ext2fs_get_mem(std::strlen(name) + 1, &channel->name)) {
        ext2fs_free_mem(&channel);
        return e;
    }
    std::strcpy(channel->name, name);
    channel->magic = EXT2_ET_MAGIC_IO_CHANNEL;
    channel->manager = &sourceManager;
    channel->block_size = 1024;
    channel->refcount = 1;
    channel->private_data = source;
    *out = channel;
    return 0;
}

// Registers a source under a name of its own for as long as the volume is open.
class Registration {
  public:
    explicit Registration(SectorSource& source) {
        static std::atomic<unsigned> counter{0};
        name_ = fmt::format("mdfrecover-source-{}", counter++);
        std::lock_guard lock(registryMutex);
        registry[name_] = &source;
    }
    ~Registration() {
        std::lock_guard lock(registryMutex);
        registry.erase(name_);
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    const char* name() const { return name_.c_str(); }

  private:
    std::string name_;
};

std::string describe(errcode_t e) {
    return fmt::format("ext4: {}", error_message(e));
}

}  // namespace

std::string readExt4Bitmap(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout) {
    Registration registration(source);
    ext2_filsys fs = nullptr;
    if (errcode_t e =
            ext2fs_open2(registration.name(), nullptr, EXT2_FLAG_64BITS, 0, 0, &sourceManager, &fs))
        return describe(e);
    std::string problem;
    const blk64_t blocks = ext2fs_blocks_count(fs->super);
    const blk64_t first = fs->super->s_first_data_block;
    if (ext2fs_has_feature_bigalloc(fs->super)) {
        problem = "ext4 with bigalloc: its bitmaps count clusters of blocks, not read here";
    } else if (EXT2_BLOCK_SIZE(fs->super) != std::int64_t{layout.sectorsPerCluster} * 512) {
        problem = "ext4 superblock changed while it was read";
    } else if (blocks > (blk64_t{1} << 40)) {
        problem = fmt::format("ext4 superblock gives {} blocks", blocks);
    } else if (errcode_t e = ext2fs_read_block_bitmap(fs)) {
        problem = describe(e);
    } else {
        // Bit k for block k; blocks before the first data block (the boot block of a volume
        // with 1 KiB blocks) are the file system's own.
        std::vector<std::uint8_t> bits(static_cast<std::size_t>((blocks + 7) / 8) + 1, 0);
        for (blk64_t b = 0; b < first && b < blocks; ++b)
            bits[b / 8] |= static_cast<std::uint8_t>(1u << (b % 8));
        if (first == 0) {
            if (errcode_t e = ext2fs_get_block_bitmap_range2(fs->block_map, 0, blocks, bits.data()))
                problem = describe(e);
        } else {
            for (blk64_t b = first; b < blocks; ++b)
                if (ext2fs_test_block_bitmap2(fs->block_map, b))
                    bits[b / 8] |= static_cast<std::uint8_t>(1u << (b % 8));
        }
        if (problem.empty()) {
            if (blocks % 8 != 0)
                bits[blocks / 8] &= static_cast<std::uint8_t>((1u << (blocks % 8)) - 1);
            map.append(bits);
        }
    }
    ext2fs_close_free(&fs);
    return problem;
}

}  // namespace mdf
