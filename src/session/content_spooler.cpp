#include "session/content_spooler.h"

#include "scan/content_file.h"

namespace mdf {

ContentSpooler::ContentSpooler(std::string path, std::uint32_t seed, const OutputGuard& guard,
                               SectorSource& source, const FragmentList& list)
    : out_(std::move(path), guard, OutputFile::Kind::Large),
      seed_(seed),
      list_(list),
      blocks_(out_, source, seed) {}

void ContentSpooler::appendBlock(const FragmentRecord& r) {
    blocks_.append(r, &recent_);
    written_.emplace_back(r.fsec, r.pages());
}

// Every record but the last is final: only the last can still be joined by the run the scan is
// following, which may have begun any distance back.
void ContentSpooler::sectorsRead(std::int64_t first, std::span<const std::uint8_t> bytes) {
    if (next_) next_->sectorsRead(first, bytes);
    if (!out_.ok()) return;
    recent_.add(first, bytes);
    const std::size_t records = list_.size();
    while (written_.size() + 1 < records)
        appendBlock(list_[written_.size()]);
}

ContentSpooler::Finish ContentSpooler::finish(std::uint16_t sectorsPerCluster,
                                              ContentRecord record) {
    if (!out_.ok()) return Finish::Failed;
    if (written_.size() > list_.size()) return Finish::ListChanged;
    // A block the scan's failure cut short (an exception while it was written) leaves the file
    // out of step with the blocks counted: written afresh.
    std::uint64_t expected = 0;
    for (const auto& [fsec, pages] : written_)
        expected += kContentPrefixBytes + std::uint64_t{8192} * static_cast<std::uint64_t>(pages);
    if (out_.bytesWritten() != expected) return Finish::ListChanged;
    for (std::size_t i = 0; i < written_.size(); ++i)
        if (written_[i] != std::pair{list_[i].fsec, list_[i].pages()}) return Finish::ListChanged;
    while (written_.size() < list_.size())
        appendBlock(list_[written_.size()]);
    record.unreadable = blocks_.unreadable();
    out_.write(contentRecordBytes(record));
    out_.write(contentTrailer(seed_, sectorsPerCluster));
    return out_.commit() ? Finish::Written : Finish::Failed;
}

}  // namespace mdf
