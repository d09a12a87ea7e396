#include "cli/source_options.h"

#include <fmt/core.h>

#include "source/platform_file.h"
#include "source/source_description.h"

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
    command.add_option("--mapfile", mapFile,
                       "GNU ddrescue map of SOURCE: sectors it does not list as rescued ('+') "
                       "read as unreadable");
}

bool SourceOptions::choose(RecoverySession& session) const {
    if (byteSizeOf(path) < 0) {
        const SourceDescription d = describeSource(path);
        fmt::print(stderr, "cannot open {}{}{}\n", path, d.problem.empty() ? "" : ": ", d.problem);
        return false;
    }
    SourceContext ctx = session.sourceContext();
    if (std::string problem; !mapFile.empty() && !useRescueMap(ctx, mapFile, problem)) {
        fmt::print(stderr, "{}\n", problem);
        return false;
    }
    if (!partition || *partition == 0) {
        N7Click(ctx, path, partition.has_value());
        return !partition || session.volume.hasFileSystem;
    }
    N7Click(ctx, path, false);
    PartitionTable table = listPartitions(ctx);
    if (*partition < 1 || static_cast<std::size_t>(*partition) > table.partitions.size()) {
        fmt::print(stderr, "{} has no partition {} ({} found)\n", path, *partition,
                   table.partitions.size());
        return false;
    }
    PartitionItemClick(ctx, table.partitions[static_cast<std::size_t>(*partition - 1)]);
    return true;
}

}  // namespace mdf::cli
