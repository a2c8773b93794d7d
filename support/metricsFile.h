// A text file that is replaced whole: the new text goes into a temporary
// file in the same directory, which is then renamed over the file, so that
// a reader sees either the old text or the new one, never a part. This is
// what node_exporter's textfile collector expects of the files it reads.
//
// The temporary file is the file's name with a leading "." and a trailing
// ".tmp" (never matched by "*.prom"); it is reused by every replacement. The
// object holds no descriptor between calls. Not for concurrent use: one
// thread replaces the file at a time.
#ifndef KIVO_SUPPORT_METRICSFILE_H
#define KIVO_SUPPORT_METRICSFILE_H

#include <string>

namespace kivo {

class MetricsFile {
 public:
  explicit MetricsFile(std::string path);
  MetricsFile(const MetricsFile&) = delete;
  MetricsFile& operator=(const MetricsFile&) = delete;

  // Replaces the file's content with text, the file readable by everyone
  // (mode 0644). 0, or the error number of the step that failed; the
  // temporary file is then removed.
  int replace(const std::string& text);

  const std::string& path() const { return path_; }
  const std::string& temporaryPath() const { return temporary_; }

 private:
  std::string path_;
  std::string temporary_;
};

}  // namespace kivo

#endif
