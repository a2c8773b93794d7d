// A text file to which whole lines are appended.
//
// No file stays open between calls: every write opens the file for
// appending, writes its line with one call and closes it, so the line is in
// the file when write returns and the file may be moved or deleted between two
// writes (the next write creates it again). The class takes no lock; callers
// that share one file serialise their writes.
#ifndef KIVO_SUPPORT_LOGFILE_H
#define KIVO_SUPPORT_LOGFILE_H

#include <string>

class logFile {
 public:
  // Keeps the path and creates the file when it is missing. Throws
  // FileException "error open file: " + path when it cannot be opened.
  explicit logFile(std::string path);
  // Keeps the path; the file is first touched by the first write.
  explicit logFile(const char* path);
  ~logFile();

  // Appends text and a line feed.
  void write(std::string text);
  // Appends the local time (asctime form, 24 characters), "#", first, "#",
  // second and a line feed.
  void write(std::string first, std::string second);
  // The size of the file in bytes.
  long size();

  // The path from its last "/" on, that "/" included; the whole path when it
  // holds no "/".
  std::string getFileName();
  // The path before its last "/"; the whole path when it holds no "/".
  std::string getDirectory();

 private:
  void append(const std::string& line);
  std::string openError() const;

  std::string path_;
};

namespace kivo {

// The current local time in the 24-character asctime form, without its line
// feed: "Mon Dec  7 01:04:53 2026".
std::string localTimestamp();

}  // namespace kivo

#endif
