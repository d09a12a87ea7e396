#include "cli/source_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/exit_codes.h"
#include "source/source_description.h"

namespace mdf::cli {

void SourceOptions::addTo(CLI::App& command) {
    command.add_option("SOURCE", path, "Image file or block device (read only)")->required();
    command
        .add_option_function<int>(
            "--partition", [this](const int& n) { partition = n; },
            "Read SOURCE as a partition (boot sector, cluster stride); --partition=N reads "
            "partition N of SOURCE's partition table")
        ->expected(0, 1)
        ->default_str("0");
    command.add_option("--mapfile", mapFile,
                       "GNU ddrescue map of SOURCE: sectors it does not list as rescued ('+') "
                       "read as unreadable");
}

bool SourceOptions::choose(RecoverySession& session) const {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        complain("cannot open {}: {}", path, std::strerror(errno));
        return false;
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
        complain("{} is neither an image file nor a block device", path);
        return false;
    }
    if (::access(path.c_str(), R_OK) != 0) {
        complain("cannot open {}: {}", path, std::strerror(errno));
        return false;
    }
    // A forensic or virtual-disk image that cannot be read says why (a segment missing, ...).
    if (const SourceDescription d = describeSource(path); !d.problem.empty()) {
        complain("cannot read {}: {}", path, d.problem);
        return false;
    }
    if (std::string problem; !mapFile.empty() && !session.useRescueMap(mapFile, problem)) {
        complain("{}", problem);
        return false;
    }
    if (!partition || *partition == 0) {
        if (session.openImage(path, partition ? ImageKind::Partition : ImageKind::WholeDisk))
            return true;
        complain("cannot read {}{}", path,
                 partition ? " as a partition: its boot sector cannot be read" : ": it is empty");
        return false;
    }
    session.openImage(path, ImageKind::WholeDisk);
    PartitionTable table = session.listPartitions();
    if (*partition < 1 || static_cast<std::size_t>(*partition) > table.partitions.size()) {
        complain("{} has no partition {} ({} found)", path, *partition, table.partitions.size());
        return false;
    }
    return session.choosePartition(table.partitions[static_cast<std::size_t>(*partition - 1)]);
}

}  // namespace mdf::cli
