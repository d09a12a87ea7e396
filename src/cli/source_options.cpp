#include "cli/source_options.h"

#include <fmt/core.h>

#include "source/platform_file.h"

namespace mdf::cli {

void SourceOptions::addTo(CLI::App& command) {
    command.add_option("SOURCE", path, "Image file or block device (read only)")->required();
    command
        .add_option_function<int>(
            "--partition", [this](const int& n) { partition = n; },
            "Read SOURCE as a partition (boot sector, cluster stride); --partition=N reads "
            "partition "
            "N of SOURCE's partition table")
        ->expected(0, 1)
        ->default_str("0");
}

bool SourceOptions::choose(RecoverySession& session) const {
    if (byteSizeOf(path) < 0) {
        fmt::print(stderr, "cannot open {}\n", path);
        return false;
    }
    if (!partition || *partition == 0) {
        session.openImage(path, partition ? ImageKind::Partition : ImageKind::WholeDisk);
        return !partition || session.volume().hasFileSystem;
    }
    session.openImage(path, ImageKind::WholeDisk);
    PartitionTable table = session.listPartitions();
    if (*partition < 1 || static_cast<std::size_t>(*partition) > table.partitions.size()) {
        fmt::print(stderr, "{} has no partition {} ({} found)\n", path, *partition,
                   table.partitions.size());
        return false;
    }
    return session.choosePartition(table.partitions[static_cast<std::size_t>(*partition - 1)]);
}

}  // namespace mdf::cli
