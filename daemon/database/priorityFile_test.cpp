// The priority file written from the trap plug-ins on a real server.
#include "daemon/database/priorityFile.h"

#include "testing/daemonDatabaseTest.h"

namespace kivo {

// Plug-in 10 has a priority, 11 none; 12 is no trap plug-in, 13 has no OID.
const char* const kPlugins =
    "INSERT INTO kivo_plugins(plugin_id, plugin_path, plugin_type, plugin_trap_oid,"
    "  plugin_priority) VALUES"
    "  (10, '/p/a', 'trap', '.1.9.1', 2), (11, '/p/b', 'trap', '.1.9.2', NULL),"
    "  (12, '/p/c', 'active', '.1.9.3', 1), (13, '/p/d', 'trap', NULL, 3);";

using PriorityFileTest = DaemonDatabaseTest;

TEST_F(PriorityFileTest, ThePriorityFileHasOneLinePerTrapPluginWithAnOid) {
  TempDir dir;
  trap_pqueue_file = dir.file("trap.pqueue");
  writeFile(trap_pqueue_file, "[TRAP]\n.9=9\n");
  CreatePriorityTrap();
  EXPECT_EQ(readFile(trap_pqueue_file), "[TRAP]\n") << "no plug-in";
  database.execute(kPlugins);
  CreatePriorityTrap();
  const std::string written = readFile(trap_pqueue_file);
  EXPECT_TRUE(written == "[TRAP]\n.1.9.1=2\n.1.9.2=\n" || written == "[TRAP]\n.1.9.2=\n.1.9.1=2\n")
      << written;
  EXPECT_EQ(logged("INFO#.1.9.1 priority 2") + logged("INFO#.1.9.2 priority "), 2);
  trap_pqueue_file = dir.file("missing/trap.pqueue");
  CreatePriorityTrap();
  EXPECT_EQ(logged("error to open kivo.conf in /etc/kivo/kivo.conf"), 1);
  trap_pqueue_file = dir.file("trap.pqueue");
  database.execute("ALTER TABLE kivo_plugins RENAME COLUMN plugin_priority TO priority");
  CreatePriorityTrap();
  EXPECT_EQ(readFile(trap_pqueue_file), written) << "a failed query keeps the earlier file";
  EXPECT_EQ(logged("POSTGRESQL EXECPETION", false), 1);
  trap_pqueue_file.clear();
}

}  // namespace kivo
