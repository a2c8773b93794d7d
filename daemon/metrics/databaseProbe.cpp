#include "daemon/metrics/databaseProbe.h"

#include <libpq-fe.h>
#include <stdlib.h>

#include <algorithm>
#include <memory>

namespace kivo {

namespace {

const int kLeastTimeout = 2;  // libpq raises shorter connect_timeouts to 2 s

struct OptionsFreer {
  void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};

}  // namespace

DatabaseProbe::DatabaseProbe(const std::string& conninfo, int timeoutSeconds) {
  int timeout = std::max(timeoutSeconds, kLeastTimeout);
  // A string that libpq cannot parse leaves the defaults and the timeout:
  // the probe then fails as the daemon's connection would.
  std::unique_ptr<PQconninfoOption, OptionsFreer> options(
      PQconninfoParse(conninfo.c_str(), nullptr));
  for (PQconninfoOption* option = options.get(); option != nullptr && option->keyword != nullptr;
       ++option) {
    if (option->val == nullptr) continue;
    std::string keyword = option->keyword;
    if (keyword == "connect_timeout") {
      int configured = ::atoi(option->val);
      if (configured > 0) timeout = std::min(timeout, std::max(configured, kLeastTimeout));
      continue;
    }
    keywords_.push_back(keyword);
    values_.push_back(option->val);
  }
  keywords_.push_back("connect_timeout");
  values_.push_back(std::to_string(timeout));
}

bool DatabaseProbe::answers() const {
  std::vector<const char*> keywords;
  std::vector<const char*> values;
  for (size_t i = 0; i < keywords_.size(); ++i) {
    keywords.push_back(keywords_[i].c_str());
    values.push_back(values_[i].c_str());
  }
  keywords.push_back(nullptr);
  values.push_back(nullptr);
  return PQpingParams(keywords.data(), values.data(), 0) == PQPING_OK;
}

}  // namespace kivo
