#include "cli/source_options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cli/exit_codes.h"
#include "cli/mount_check.h"
#include "cli/partition_listing.h"
#include "source/image_format.h"
#include "source/source_description.h"

namespace mdf::cli {

void SourceOptions::addTo(CLI::App& command, bool sourceRequired) {
    command.add_option("SOURCE", path, "Image file or block device (read only)")
        ->required(sourceRequired);
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

OutputGuard SourceOptions::guard(bool allowSourceDevice) const {
    OutputGuard g = guardOfSource(path, allowSourceDevice);
    g.keep(mapFile, "the ddrescue map of the source");
    return g;
}

bool SourceOptions::choose(RecoverySession& session, int* failure) const {
    int ignored = 0;
    int& code = failure ? *failure : ignored;
    code = kIoError;
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
    // A forensic or virtual-disk image that cannot be read says why (a segment missing, ...);
    // one that must first be merged with its parent is bad input, not a failure to read.
    if (const SourceDescription d = describeSource(path); !d.problem.empty()) {
        complain("cannot read {}: {}", path, d.problem);
        if (d.refused) code = kBadInput;
        return false;
    }
    if (MapProblem problem; !mapFile.empty() && !session.useRescueMap(mapFile, problem)) {
        complain("{}", problem.text);
        if (problem.malformed) code = kBadInput;
        return false;
    }
    warnIfMountedReadWrite(path);
    // A whole disk read as one volume would be scanned from its partition table on, with no
    // cluster stride: the user meant one of its partitions, and is told which there are.
    if (partition && *partition == 0) {
        const DiskPartitions disk = readDiskPartitions(path);
        if (disk.fileSystem.empty() && !disk.partitions.empty()) {
            complain(
                "{} is a whole disk with a partition table; choose a partition with "
                "--partition=N ({})",
                path, partitionChoices(disk));
            code = kBadInput;
            return false;
        }
    }
    if (!partition || *partition == 0) {
        if (session.openImage(path, partition ? ImageKind::Partition : ImageKind::WholeDisk))
            return true;
        if (partition)
            complain("cannot read {} as a partition: its boot sector cannot be read", path);
        else
            complain("cannot read {}: it is empty", path);
        return false;
    }
    session.openImage(path, ImageKind::WholeDisk);
    PartitionTable table = session.listPartitions();
    for (const PartitionEntry& p : table.partitions)
        if (p.number == *partition) return session.choosePartition(p);
    if (table.partitions.empty())
        complain("{} has no partition table", path);
    else
        complain("{} has no partition {}; its partitions are: {}", path, *partition,
                 partitionChoices(readDiskPartitions(path)));
    code = kBadInput;
    return false;
}

}  // namespace mdf::cli
