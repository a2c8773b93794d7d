// Publishing a complete file into a directory that another process lists.
//
// The spool directory is read by a loop that takes every entry as soon as it
// sees it, so a file must never be visible before it is complete. The content
// is written to an unnamed file of the target's file system first and then
// linked in under its name in one step. Used by the spool handler for new
// traps and by the daemon for traps it puts back at its stop.
#ifndef KIVO_SUPPORT_SPOOLFILE_H
#define KIVO_SUPPORT_SPOOLFILE_H

#include <string>

namespace kivo {

// Makes path a file holding content, complete when its name appears.
// Returns false, touching nothing, when path already exists; throws
// FileException with the path and the system's reason on any other failure.
// No temporary file is left behind in any case.
bool publishFile(const std::string& path, const std::string& content);

// publishFile for file systems without unnamed files, which it falls back
// on: the content goes to a hidden temporary file beside the directory
// (where the intake does not list it), which is linked in and removed.
bool publishFileThroughTemporary(const std::string& path, const std::string& content);

}  // namespace kivo

#endif
