#pragma once

#include <sys/stat.h>

#include <string>
#include <vector>

namespace mdf {

// A file no output may replace or write through: one the source is made of, or one the run
// reads.
struct GuardedFile {
    std::string path;
    std::string role;  // how the refusal names it: "a segment of the source being recovered"
};

// Where an output may go, seen from the source being recovered. Every file the tool writes (the
// MDF, a scan-info or content file, an export, a session or resume file) is checked here before
// anything is read from the source, again on the folder it is created in, and once more on the
// name it is renamed to.
struct OutputGuard {
    std::string sourcePath;  // the device or image being recovered; empty when none is open
    bool allowSourceDevice = false;
    // Every other file that must survive the run: segments and extents of the source, the image
    // behind a loop device, the ddrescue map, and the scan-info, content, resume and session
    // files the run reads.
    std::vector<GuardedFile> others;

    // Adds a file to keep; an empty path is ignored.
    OutputGuard& keep(const std::string& path, const std::string& role);

    // Empty when path may be written; otherwise why not, in words for the user. Refused: the
    // source, any file kept, or a link to one; any device; a folder; a folder that does not
    // exist; and a place on a file system mounted from the source (unless allowed).
    std::string refusal(const std::string& path) const;

    // For a folder already opened: why nothing may be created in it (its file system is mounted
    // from the source: the source's device or a partition of its disk, or a loop device or a
    // FUSE mount whose image is the source or one of its files). Empty when it may.
    std::string folderRefusal(int folderFd, const std::string& output) const;

    // The folder an output goes in, opened as checked: everything made after goes through this
    // handle, so a folder swapped for a link afterwards changes nothing. name: the output's name
    // in it. -1, with why, when the output is refused or the folder cannot be opened.
    int openFolderOf(const std::string& output, std::string& name, std::string& why) const;

    // For a file that exists under an output's name (as stat follows links): why it must not be
    // replaced. Empty when it may (with --force).
    std::string replaceRefusal(const struct stat& existing, const std::string& output) const;
};

}  // namespace mdf
