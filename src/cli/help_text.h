#pragma once

// The texts of --help that are not an option's: what the program is for, examples, exit codes.
// The man page is made from this help, so what is written here is also what `man mdfrecover`
// shows.
namespace mdf::cli {

inline constexpr const char* kDescription =
    "mdfrecover rebuilds a lost SQL Server primary data file (.mdf) from a disk, a partition or "
    "an image of one. It finds the file's 8 KB pages on the raw sectors, works out which runs of "
    "pages belong to the file and in which order, and writes a new .mdf. The source is only "
    "ever read: write every output to another disk.";

inline constexpr const char* kFooter = R"(Examples:
  Make an image of the failing disk first, then work from the image:
    ddrescue -d /dev/sdb disk.img disk.map
  List the partitions of the image:
    mdfrecover partitions disk.img
  Recover the deleted database from partition 1, reading only free clusters:
    mdfrecover recover disk.img --partition=1 --free-space-only -o Sales.mdf
  The same, step by step, keeping the scan:
    mdfrecover scan disk.img --partition=1 -o scan.info --content scan.content
    mdfrecover files scan.info
    mdfrecover analyse scan.info --content scan.content --file 1 --session s.json
    mdfrecover create --session s.json -o Sales.mdf

Exit status (the same for every command):
  0    complete: the job was done and nothing is missing
  1    partial: a result, with pages missing, unreadable or failing verification
  2    nothing found: no database file, or no fragment
  3    bad usage or input: wrong options, a damaged input file, an output that may not be
       written (an existing file is kept unless --force)
  4    I/O error: the source or an output could not be read or written
  5    several database files were found: choose one with --file N or --database TEXT
       (with --resume, the kept scan is not read again)
  130  interrupted (Ctrl-C); a scan keeps what it found

Messages start with "mdfrecover:" and go to standard error. Log lines go to standard output, or
to standard error with --json, which prints the result as JSON on standard output.
See `man mdfrecover` and /usr/share/doc/mdfrecover/ for the user guide.)";

inline constexpr const char* kCommandFooter =
    "Exit status: 0 complete, 1 partial, 2 nothing found, 3 bad usage or input, 4 I/O error,\n"
    "5 several databases (choose one), 130 interrupted. mdfrecover --help has examples;\n"
    "man mdfrecover tells more.";

}  // namespace mdf::cli
