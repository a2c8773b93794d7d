#include "daemon/commands/unknownList.h"

#include <unistd.h>

#include <algorithm>

#include "daemon/base/settings.h"
#include "daemon/commands/settingsCheck.h"
#include "support/convertTo.h"
#include "support/exceptions.h"
#include "support/iniConfig.h"
#include "support/logText.h"
#include "support/pgSafeThread.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"

namespace kivo {

namespace {

const char* const kPrefix = "kivoTrapD --unknown: ";

const char* const kListSql =
    "SELECT unknown_address, unknown_oid, "
    "to_char(unknown_first_seen, 'YYYY-MM-DD HH24:MI:SS'), "
    "to_char(unknown_last_seen, 'YYYY-MM-DD HH24:MI:SS'), unknown_count "
    "FROM kivo_trap_unknown ORDER BY unknown_last_seen DESC, unknown_address, unknown_oid";

std::vector<std::vector<std::string>> readRows(const std::string& configuration) {
  iniConfig config(configuration);
  const Settings settings = readSettings(config);
  pgSafeThread database(settings.database.connectionString());
  PgResult result(database.executeRequestWithoutWaiting(kListSql));
  std::vector<std::vector<std::string>> rows(PQntuples(result.get()));
  for (size_t row = 0; row < rows.size(); ++row) {
    for (int column = 0; column < PQnfields(result.get()); ++column) {
      rows[row].push_back(escapeControls(PQgetvalue(result.get(), static_cast<int>(row), column)));
    }
  }
  return rows;
}

}  // namespace

std::string unknownListing(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::vector<std::string>> lines = {
      {"address", "OID", "first seen", "last seen", "count"}};
  lines.insert(lines.end(), rows.begin(), rows.end());
  std::vector<size_t> widths(lines[0].size(), 0);
  for (const auto& line : lines) {
    for (size_t i = 0; i < line.size() && i < widths.size(); ++i) {
      widths[i] = std::max(widths[i], line[i].size());
    }
  }
  std::string text;
  long long traps = 0;
  for (const auto& line : lines) {
    for (size_t i = 0; i < line.size(); ++i) {
      text += line[i];
      if (i + 1 < line.size()) text += std::string(widths[i] - line[i].size() + 2, ' ');
    }
    text += "\n";
    if (&line != &lines[0] && line.size() == widths.size()) traps += stringToLong(line.back());
  }
  return text + kPrefix + std::to_string(rows.size()) + (rows.size() == 1 ? " pair, " : " pairs, ") +
         std::to_string(traps) + (traps == 1 ? " trap\n" : " traps\n");
}

int runUnknownList(const std::string& configuration) {
  std::string text;
  int status = 1;
  {
    // The connection's trace lines would mix with the listing.
    DiscardedStandardOutput quiet;
    try {
      text = unknownListing(readRows(configuration));
      status = 0;
    } catch (const FileException& e) {
      text = kPrefix + ("settings file " + configuration + ": " + e.what()) + "\n";
    } catch (const DatabaseFailure& e) {
      text = kPrefix + databaseFailure(e.what()) + "\n";
    }
  }
  (void)writeAll(STDOUT_FILENO, text);
  return status;
}

}  // namespace kivo
