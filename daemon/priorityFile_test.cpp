// The trap priority file from real plug-in rows.
#include "daemon/priorityFile.h"

#include "testing/daemonDatabaseTest.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

class PriorityFileTest : public DaemonDatabaseTest {
 protected:
  void SetUp() override {
    DaemonDatabaseTest::SetUp();
    trap_pqueue_file = path;
  }
  void TearDown() override {
    trap_pqueue_file.clear();
    DaemonDatabaseTest::TearDown();
  }

  TempDir dir;
  std::string path = dir.file("trap.pqueue");
};

TEST_F(PriorityFileTest, OneLinePerTrapPluginWithAnOid) {
  writeFile(path, "[TRAP]\n.1.3.6.1.4.1.99.0.7=1\n.1.3.6.1.4.1.99.0.8=1\n.9=9\n.10=10\n");
  database.execute(
      "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid,"
      " plugin_priority) VALUES"
      "  (1, '/p/a', 'trap', '.1.3.6.1.4.1.99.0.1', 2),"
      "  (2, '/p/b', 'trap', '.1.3.6.1.4.1.99.0.2', 5),"
      "  (3, '/p/c', 'active', '.1.3.6.1.4.1.99.0.3', 1),"
      "  (4, '/p/d', 'trap', NULL, 3),"
      "  (5, '/p/e', 'trap', '.1.3.6.1.4.1.99.0.5', NULL),"
      "  (6, '/p/f', 'trap', '.1.3.6.1.4.1.99.0.1', 7)");
  CreatePriorityTrap();
  EXPECT_EQ(readFile(path),
            "[TRAP]\n"
            ".1.3.6.1.4.1.99.0.1=2\n"
            ".1.3.6.1.4.1.99.0.2=5\n"
            ".1.3.6.1.4.1.99.0.5=\n"
            ".1.3.6.1.4.1.99.0.1=7\n");
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "\t[PG CONSTRUCT] connexion",
                         "\t[PG EXEC] status: PGRES_TUPLES_OK",
                         "INFO#.1.3.6.1.4.1.99.0.1 priority 2",
                         "INFO#.1.3.6.1.4.1.99.0.2 priority 5",
                         "INFO#.1.3.6.1.4.1.99.0.5 priority ",
                         "INFO#.1.3.6.1.4.1.99.0.1 priority 7",
                     }));
}

TEST_F(PriorityFileTest, NoTrapPluginGivesTheHeaderOnly) {
  database.execute("INSERT INTO kivo_plugins(plugin_path, plugin_type, plugin_trap_oid)"
                   " VALUES ('/p/a', 'active', '.1')");
  CreatePriorityTrap();
  EXPECT_EQ(readFile(path), "[TRAP]\n");
  EXPECT_EQ(lines(), (std::vector<std::string>{"\t[PG CONSTRUCT] connexion",
                                               "\t[PG EXEC] status: PGRES_TUPLES_OK"}));
}

TEST_F(PriorityFileTest, UnopenablePathIsReportedAndStartUpGoesOn) {
  for (const std::string& unopenable : {dir.file("missing/trap.pqueue"), std::string()}) {
    trap_pqueue_file = unopenable;
    CapturedOutput log;
    CreatePriorityTrap();
    EXPECT_EQ(log.text(),
              "\t[PG EXEC] status: PGRES_TUPLES_OK\n"
              "error to open kivo.conf in /etc/kivo/kivo.conf\n")
        << "path '" << unopenable << "'";
  }
  EXPECT_TRUE(listDirectory(dir.path()).empty());
}

TEST_F(PriorityFileTest, FailingQueryKeepsAnEarlierFile) {
  writeFile(path, "[TRAP]\n.1.3.6.1.4.1.99.0.7=1\n");
  database.execute("ALTER TABLE kivo_plugins RENAME COLUMN plugin_priority TO priority");
  CreatePriorityTrap();
  EXPECT_EQ(readFile(path), "[TRAP]\n.1.3.6.1.4.1.99.0.7=1\n");
  EXPECT_EQ(lines(),
            (std::vector<std::string>{
                "\t[PG CONSTRUCT] connexion",
                "\t[PG EXEC] status: PGRES_FATAL_ERROR",
                "POSTGRESQL EXECPETIONexecute failed:  ERROR:  column \"plugin_priority\" does not "
                "exist",
                "LINE 1: SELECT plugin_trap_oid,plugin_priority FROM kivo_plugins WHE...",
                "                               ^",
                ""}));
}

}  // namespace

}  // namespace kivo
