#include "assembly/mdf_writer.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "assembly/boundary_repair.h"
#include "report/reporter.h"
#include "scan/rounding.h"

namespace mdf {
namespace fs = std::filesystem;
namespace {

using Page = std::array<std::uint8_t, 8192>;

// The whole disk a block device belongs to (the device itself when it is one).
dev_t wholeDiskOf(dev_t device) {
    const std::string base =
        "/sys/dev/block/" + std::to_string(major(device)) + ":" + std::to_string(minor(device));
    std::error_code ec;
    if (!fs::exists(base + "/partition", ec)) return device;
    std::ifstream parent(fs::canonical(base, ec).parent_path() / "dev");
    unsigned maj = 0, min = 0;
    char colon = 0;
    if (parent >> maj >> colon >> min) return makedev(maj, min);
    return device;
}

class OutputFile {
  public:
    OutputFile(std::string finalPath)
        : finalPath_(std::move(finalPath)), partialPath_(finalPath_ + ".partial") {
        out_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        out_.open(partialPath_, std::ios::binary | std::ios::trunc);
    }
    ~OutputFile() {
        if (out_.is_open()) {
            out_.close();
            std::remove(partialPath_.c_str());
        }
    }
    bool ok() const { return static_cast<bool>(out_); }
    void append(std::span<const std::uint8_t> bytes) {
        out_.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
    }
    void appendZeros(std::int64_t pages) {
        static const Page zero{};
        for (std::int64_t i = 0; i < pages; ++i)
            append(zero);
    }
    void overwriteLast(const Page& page) {
        out_.seekp(-static_cast<std::streamoff>(page.size()), std::ios::end);
        append(page);
        out_.seekp(0, std::ios::end);
    }
    bool finish() {
        out_.close();
        if (out_.fail()) return false;
        std::error_code ec;
        fs::rename(partialPath_, finalPath_, ec);
        return !ec;
    }

  private:
    std::string finalPath_;
    std::string partialPath_;
    std::vector<char> buffer_ = std::vector<char>(1 << 20);
    std::ofstream out_;
};

constexpr std::int32_t kPagesPerRead = 128;

// Copies a row's pages into the file, many pages per read; when such a read fails the pages are
// read one by one, and each that cannot be read becomes a zero page, told once each. page ends up
// holding the row's last page.
void copyRowPages(AssemblyContext& ctx, const FragmentRow& row, OutputFile& out,
                  AssemblyOutcome& outcome, Page& page) {
    std::vector<std::uint8_t> chunk(std::size_t{kPagesPerRead} * 8192);
    const std::int32_t pages = row.pages();
    for (std::int32_t first = 0; first < pages; first += kPagesPerRead) {
        const std::int32_t count = std::min(kPagesPerRead, pages - first);
        if (!ctx.pages.readFragmentPages(row.startSector, first, count, chunk.data())) {
            for (std::int32_t t = 0; t < count; ++t) {
                auto slot = std::span<std::uint8_t, 8192>(
                    &chunk[std::size_t{8192} * static_cast<std::size_t>(t)], 8192);
                if (!readFragmentPage(ctx.pages, row.startSector, first + t, slot)) {
                    std::fill(slot.begin(), slot.end(), 0);
                    ctx.reporter.showMessage("read disk error", "message");
                    outcome.unreadablePages.push_back(row.startPage + first + t);
                }
            }
        }
        out.append(std::span<const std::uint8_t>(
            chunk.data(), std::size_t{8192} * static_cast<std::size_t>(count)));
        std::copy_n(chunk.begin() + std::ptrdiff_t{8192} * (count - 1), 8192, page.begin());
        outcome.pages += count;
    }
}

}  // namespace

OutputTarget checkOutputTarget(const std::string& outputPath, const std::string& sourcePath) {
    if (sourcePath.empty()) return OutputTarget::Elsewhere;
    struct stat source {};
    if (::stat(sourcePath.c_str(), &source) != 0) return OutputTarget::Elsewhere;
    struct stat output {};
    if (::stat(outputPath.c_str(), &output) == 0 && output.st_dev == source.st_dev &&
        output.st_ino == source.st_ino)
        return OutputTarget::IsTheSource;
    if (!S_ISBLK(source.st_mode)) return OutputTarget::Elsewhere;
    fs::path dir = fs::absolute(outputPath).parent_path();
    struct stat folder {};
    if (::stat(dir.c_str(), &folder) != 0) return OutputTarget::Elsewhere;
    if (folder.st_dev == source.st_rdev || wholeDiskOf(folder.st_dev) == source.st_rdev)
        return OutputTarget::OnTheSourceDevice;
    return OutputTarget::Elsewhere;
}

std::string defaultMdfName(const std::string& lostFileName) {
    const std::size_t slash = lostFileName.find_last_of('\\');
    return slash == std::string::npos ? lostFileName : lostFileName.substr(slash + 1);
}

AssemblyOutcome writeMdf(AssemblyContext& ctx, const std::string& outputPath,
                         const std::string& sourcePath, bool allowOnSourceDevice) {
    ctx.reporter.clearLog(Memo::Assembly);
    AssemblyOutcome outcome;
    const auto& rows = ctx.combination.rows;
    if (rows.empty() || rows[0].startPage != 0) return outcome;

    switch (checkOutputTarget(outputPath, sourcePath)) {
        case OutputTarget::IsTheSource:
            ctx.reporter.showMessage(
                "error,the output file is the source being recovered; choose another place",
                "message", MessageIcon::Error);
            return outcome;
        case OutputTarget::OnTheSourceDevice:
            if (!allowOnSourceDevice) {
                ctx.reporter.showMessage(
                    "error,the output file would be written onto the device being recovered; "
                    "choose another place",
                    "message", MessageIcon::Warning);
                return outcome;
            }
            break;
        case OutputTarget::Elsewhere:
            break;
    }
    OutputFile out(outputPath);
    if (!out.ok()) {
        ctx.reporter.showMessage("error,file create error", "message");
        return outcome;
    }

    Page page{}, lastPage{};
    std::array<std::uint8_t, kLeadInBytes> leadIn{};
    const std::size_t n = rows.size();
    for (std::size_t r = 0; r < n; ++r) {
        const FragmentRow& row = rows[r];
        if (n >= 2)
            ctx.reporter.setProgress(static_cast<int>(roundHalfEven(
                static_cast<std::int64_t>(r) * 100, static_cast<std::int64_t>(n) - 1)));
        ctx.reporter.processEvents();
        if (r > 0) {
            const std::int32_t previousEnd = rows[r - 1].endPage;
            if (previousEnd < row.startPage) {
                out.appendZeros(row.startPage - previousEnd);
                for (std::int32_t p = previousEnd; p < row.startPage; ++p)
                    outcome.gapPages.push_back(p);
                outcome.pages += row.startPage - previousEnd;
            }
            if (ctx.sectorsPerCluster < 16 && previousEnd == row.startPage) {
                leadIn.fill(0);
                if (!ctx.pages.readFragmentSectors(row.startSector, -15, 15, leadIn.data()))
                    ctx.reporter.showMessage("read disk error ,leftpage", "message");
                repairBoundaryPage(lastPage, leadIn, ctx.sectorsPerCluster);
                out.overwriteLast(lastPage);
            }
        }
        copyRowPages(ctx, row, out, outcome, page);
        lastPage = page;
    }
    const std::int32_t lastEnd = rows.back().endPage;
    if (ctx.results.expectedPageCount > lastEnd) {
        out.appendZeros(ctx.results.expectedPageCount - lastEnd);
        outcome.pages += ctx.results.expectedPageCount - lastEnd;
    }
    if (!out.finish()) {
        ctx.reporter.showMessage("error,file create error", "message");
        return outcome;
    }
    outcome.written = true;
    ctx.reporter.logLine(Memo::Assembly, "组合MDF完成(CREATE MDF finished): " + outputPath);
    return outcome;
}

}  // namespace mdf
