// The file in which the in-process spool handler counts the retransmitted
// INFORM copies it drops: one decimal number and a newline, replaced whole
// by a rename. Each refresh() reads it and hands the count to the metrics
// (kivotrapd_informs_dropped_total).
//
// A missing file counts 0: the compiled handler never writes one, and the
// in-process one only from its first dropped copy. A file that cannot be
// read or holds no count leaves the last count in force and costs one ERR
// line per episode; an INFO line tells when it is read again.
//
// Owned by the metrics publisher and used by one thread at a time (its
// probe's).
#ifndef KIVO_DAEMON_METRICS_INFORMSDROPPEDFILE_H
#define KIVO_DAEMON_METRICS_INFORMSDROPPEDFILE_H

#include <string>

#include "support/episode.h"

namespace kivo {

class Metrics;

class InformsDroppedFile {
 public:
  explicit InformsDroppedFile(const std::string& path) : path_(path) {}
  InformsDroppedFile(const InformsDroppedFile&) = delete;
  InformsDroppedFile& operator=(const InformsDroppedFile&) = delete;

  void refresh(Metrics& metrics);

 private:
  // The file's count; 0 when it is missing. FileException, with the
  // reason, when it cannot be read or holds no count.
  unsigned long long read() const;

  std::string path_;
  Episode failure_;
};

}  // namespace kivo

#endif
