// The trap priority file written from real plug-in rows.
#include "daemon/priorityFile.h"

#include "testing/daemonDatabaseTest.h"
#include "testing/tempDir.h"

namespace {

class PriorityFileTest : public DaemonDatabaseTest {
 protected:
  void SetUp() override {
    DaemonDatabaseTest::SetUp();
    trap_pqueue_file = dir.file("trap.pqueue");
  }
  void TearDown() override {
    trap_pqueue_file.clear();
    DaemonDatabaseTest::TearDown();
  }

  void addPlugins(const std::string& values) {
    database.execute("INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type,"
                     " plugin_trap_oid, plugin_priority) VALUES " + values);
  }

  std::vector<std::string> infoLines() const {
    std::vector<std::string> kept;
    for (const std::string& line : lines()) {
      if (line.rfind("INFO#", 0) == 0) kept.push_back(line);
    }
    return kept;
  }

  TempDir dir;
};

TEST_F(PriorityFileTest, TrapPluginsWithAnOidAreListed) {
  addPlugins("(1, '/p', 'trap', '.1.3.6.1.4.1.99.0.1', 2), (2, '/p', 'trap', '.1.3.6.1.4.1.99.0.2', 5),"
             " (3, '/p', 'active', '.1.3.6.1.4.1.99.0.3', 1), (4, '/p', 'trap', NULL, 1),"
             " (5, '/p', 'trap', '.1.3.6.1.4.1.99.0.5', NULL)");
  CreatePriorityTrap();
  std::vector<std::string> fileLines = splitLines(readFile(trap_pqueue_file));
  ASSERT_FALSE(fileLines.empty());
  EXPECT_EQ(fileLines[0], "[TRAP]");
  std::vector<std::string> entries(fileLines.begin() + 1, fileLines.end());
  std::sort(entries.begin(), entries.end());
  EXPECT_EQ(entries, (std::vector<std::string>{".1.3.6.1.4.1.99.0.1=2", ".1.3.6.1.4.1.99.0.2=5",
                                               ".1.3.6.1.4.1.99.0.5="}))
      << "NULL priority ends the line with =";
  std::vector<std::string> info = infoLines();
  ASSERT_EQ(info.size(), 3u);
  for (size_t i = 0; i < info.size(); ++i) {
    // The log lists the rows in the file's order.
    std::string entry = fileLines[i + 1];
    size_t equal = entry.find('=');
    EXPECT_EQ(info[i], "INFO#" + entry.substr(0, equal) + " priority " + entry.substr(equal + 1));
  }
  EXPECT_EQ(readFile(trap_pqueue_file).back(), '\n');
}

TEST_F(PriorityFileTest, NoTrapPluginGivesTheHeaderAlone) {
  writeFile(trap_pqueue_file, "[TRAP]\n.1.2=9\n.1.3=9\n");
  CreatePriorityTrap();
  EXPECT_EQ(readFile(trap_pqueue_file), "[TRAP]\n") << "a later start replaces the whole file";
  EXPECT_TRUE(infoLines().empty());
}

TEST_F(PriorityFileTest, UnopenablePathIsReportedAndStartupGoesOn) {
  for (std::string path : {dir.file("missing/trap.pqueue"), std::string()}) {
    trap_pqueue_file = path;
    output.clear();
    CreatePriorityTrap();
    EXPECT_EQ(lines(), (std::vector<std::string>{"\t[PG EXEC] status: PGRES_TUPLES_OK",
                                                 "error to open kivo.conf in /etc/kivo/kivo.conf"}))
        << "path '" << path << "'";
  }
}

TEST_F(PriorityFileTest, FailingQueryKeepsTheEarlierFile) {
  writeFile(trap_pqueue_file, "[TRAP]\n.1.2=9\n");
  database.execute("ALTER TABLE kivo_plugins RENAME COLUMN plugin_priority TO priority");
  output.clear();
  CreatePriorityTrap();
  EXPECT_EQ(readFile(trap_pqueue_file), "[TRAP]\n.1.2=9\n");
  // The server's text runs over several lines of its own.
  std::vector<std::string> written = lines();
  ASSERT_GE(written.size(), 2u);
  EXPECT_EQ(written[0], "\t[PG EXEC] status: PGRES_FATAL_ERROR");
  EXPECT_EQ(written[1].rfind("POSTGRESQL EXECPETIONexecute failed:  ERROR:  column "
                             "\"plugin_priority\" does not exist",
                             0),
            0u)
      << written[1];
}

}  // namespace
