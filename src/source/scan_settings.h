#pragma once

#include <string>

namespace mdf {

// The fields of the data-source tab that a source choice fills and the scan reads when it
// starts. Numbers stay text, as the user may have typed anything into them.
struct ScanSettings {
    std::string dataSourceText;     // what the source box shows
    std::string beginSector;        // first position examined
    std::string endSector;          // positions examined are below it
    std::string sectorsPerCluster;  // the stride
    std::string fileSystemLabel;    // "NTFS", "FAT32", "unkhnown" or ""
    bool freeSpaceOnly = true;      // skip clusters the file system marks in use
    bool startPageLimit = false;    // record only fragments whose first page id is below the limit
    std::string maxStartPage;
    std::string fileIdText = "1";
};

}  // namespace mdf
