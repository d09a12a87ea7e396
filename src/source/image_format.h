#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "source/output_guard.h"
#include "source/platform_file.h"

namespace mdf {

// What a source path holds, told by its signature and never by its name: a plain disk or
// image (raw, as dd or ddrescue write it), or a container a library unpacks.
enum class ImageFormat { Raw, Ewf, Vhd, Vhdx, Vmdk, Qcow };

// "raw", "EWF", "VHD", "VHDX", "VMDK", "qcow2".
const char* imageFormatName(ImageFormat format);

// The format whose signature lies at the start (head) or, for a fixed VHD, in the last 512
// bytes (tail) of a file. Either may be shorter than asked for or empty.
ImageFormat sniffImageFormat(std::span<const std::uint8_t> head,
                             std::span<const std::uint8_t> tail);

// A source opened for reading, and what the opening found out.
struct OpenedSource {
    std::unique_ptr<RandomAccessFile> file;  // nullptr when it cannot be read; see problem
    ImageFormat format = ImageFormat::Raw;
    bool blockDevice = false;
    std::int64_t mediaBytes = -1;  // the disk the image holds; for raw, the file or device
    // Every file the source is made of: the path itself, the other segments of an EWF set, the
    // extents a VMDK descriptor names. An output must never replace any of them.
    std::vector<std::string> files;
    std::uint32_t logicalSectorBytes = 512;  // as the device or the image's header says
    std::string problem;                     // why it cannot be read: split, damaged, missing
    // The image was read and is what it says, but cannot be used as it is (an overlay or a
    // differencing or delta image without its parent, an encrypted one): bad input from the
    // user, where any other problem is a failure to read.
    bool refused = false;
};

// Opens path read-only as what its signature says it is. Reads past the media size return
// nothing; what an image says was never written reads as zeros; an area the image marks as
// unread (an imager's acquisition errors) or whose checksum fails reads as an I/O error (-1).
OpenedSource openSource(const std::string& path);

// How many threads may decode one compressed image (an E01's chunks) at a time; 0 sets one per
// core, the default. Images opened afterwards take it.
void setImageDecodeThreads(unsigned threads);
unsigned imageDecodeThreads();

// The guard for outputs of a run that reads the source at path: the source and every file it is
// made of (an E01 set's segments, a VMDK's extents) are kept.
OutputGuard guardOfSource(const std::string& path, bool allowSourceDevice);

}  // namespace mdf
