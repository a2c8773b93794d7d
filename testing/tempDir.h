// Test helpers for files: a temporary directory removed with everything in
// it when the holder goes, and whole-file reads and writes.
#ifndef KIVO_TESTING_TEMPDIR_H
#define KIVO_TESTING_TEMPDIR_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace kivo {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& content);
// The whole file; "" when it cannot be read.
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
// Sorted names in a directory, without "." and "..".
std::vector<std::string> listDirectory(const std::string& path);
// The lines of text, without their line feeds.
std::vector<std::string> splitLines(const std::string& text);

// The message of the Failure that call raises; "" when it raises none.
template <class Failure>
std::string failureOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const Failure& e) {
    return e.what();
  }
  return "";
}

// Polls condition every few milliseconds until it holds or limit has passed;
// returns its last answer. Every wait in the tests is bounded by one of these.
bool waitFor(const std::function<bool()>& condition,
             std::chrono::milliseconds limit = std::chrono::seconds(20));

}  // namespace kivo

#endif
