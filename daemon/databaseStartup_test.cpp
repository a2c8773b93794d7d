// The database block of the start-up against a real server: connection
// from the settings, the journal's statements as the server holds them, and
// the error kinds.
#include "daemon/databaseStartup.h"

#include <algorithm>

#include "daemon/errorJournal.h"
#include "daemon/priorityFile.h"
#include "daemon/serviceLoader.h"
#include "support/iniConfig.h"
#include "testing/daemonDatabaseTest.h"
#include "testing/tempDir.h"

namespace kivo {

namespace {

// A settings file with the given "POSTGRESQL" section.
std::string settingsFile(const TempDir& dir, const std::string& host, const std::string& port,
                         const std::string& db, const std::string& user,
                         const std::string& password) {
  std::string path = dir.file("kivo.conf");
  writeFile(path, "[POSTGRESQL]\nPGSQL_host=" + host + "\nPGSQL_port=" + port + "\nPGSQL_db=" +
                      db + "\nPGSQL_username=" + user + "\nPGSQL_pwd=" + password + "\n");
  return path;
}

class DatabaseStartupTest : public DaemonDatabaseTest {
 protected:
  void SetUp() override {
    DaemonDatabaseTest::SetUp();
    pgSQL.reset();
    output.clear();
  }

  TempDir dir;
};

TEST_F(DatabaseStartupTest, ConnectionStringFromTheSettings) {
  struct Case {
    const char* host;
    const char* port;
    const char* password;
    const char* expected;
  } cases[] = {
      {"db1", "55", "s3cret", "host=db1 port=55 dbname=mon user=kv password=s3cret"},
      // The port stays text, and a blank in a value stays where it is.
      {"db1", "55x", "two words", "host=db1 port=55x dbname=mon user=kv password=two words"},
      {"", "", "", "host= port= dbname=mon user=kv password="},
  };
  for (const Case& c : cases) {
    iniConfig config(settingsFile(dir, c.host, c.port, "mon", "kv", c.password));
    EXPECT_EQ(databaseConnectionString(config), c.expected) << c.expected;
  }
}

TEST(DatabaseSettings, OptionsGoBeforeThePassword) {
  TempDir dir;
  struct Case {
    const char* options;  // nullptr: no PGSQL_options line
    const char* expected;
  } cases[] = {
      {nullptr, "host=db1 port=55 dbname=mon user=kv password=s3cret"},
      {"", "host=db1 port=55 dbname=mon user=kv password=s3cret"},
      {"sslmode=require", "host=db1 port=55 dbname=mon user=kv sslmode=require password=s3cret"},
      {"target_session_attrs=read-write connect_timeout=5",
       "host=db1 port=55 dbname=mon user=kv target_session_attrs=read-write connect_timeout=5 "
       "password=s3cret"},
  };
  for (const Case& c : cases) {
    std::string text = "[POSTGRESQL]\nPGSQL_host=db1\nPGSQL_port=55\nPGSQL_db=mon\n"
                       "PGSQL_username=kv\nPGSQL_pwd=s3cret\n";
    if (c.options != nullptr) text += std::string("PGSQL_options=") + c.options + "\n";
    writeFile(dir.file("kivo.conf"), text);
    iniConfig config(dir.file("kivo.conf"));
    EXPECT_EQ(databaseConnectionString(config), c.expected) << c.expected;
  }
}

TEST_F(DatabaseStartupTest, StartDatabaseConnectsPreparesAndLoadsTheKinds) {
  iniConfig config(settingsFile(dir, TestDatabase::host(), TestDatabase::port(), database.name(),
                                "postgres", ""));
  startDatabase(config);
  ASSERT_NE(pgSQL, nullptr);
  EXPECT_EQ(lines(), (std::vector<std::string>{
                         "INFO#Connection database....",
                         "\t[PG CONSTRUCT] connexion",
                         "INFO#Connection database sucessful. Encoding: UTF8",
                         "\t[PG EXEC] status: PGRES_TUPLES_OK",
                     }));
  std::map<std::string, std::string> kinds;
  for (const auto& row : database.rows("SELECT error_name, error_id FROM kivo_errors")) {
    kinds[row[0]] = row[1];
  }
  EXPECT_EQ(map_error, kinds);
  PgResult prepared(pgSQL->executeRequest(
      "SELECT name FROM pg_prepared_statements ORDER BY prepare_time, name"));
  EXPECT_EQ(PQntuples(prepared.get()), 4);
}

TEST_F(DatabaseStartupTest, FailedConnectionLeavesPgsqlNull) {
  iniConfig config(settingsFile(dir, TestDatabase::host(), TestDatabase::port(),
                                "kivo_no_such_db", "postgres", "s3cret"));
  std::string conninfo = "host=" + TestDatabase::host() + " port=" + TestDatabase::port() +
                         " dbname=kivo_no_such_db user=postgres password=";
  try {
    startDatabase(config);
    ADD_FAILURE() << "startDatabase must throw";
  } catch (const PostgresqlException& e) {
    EXPECT_EQ(std::string(e.what()),
              "connection to server on socket \"" + TestDatabase::host() + "/.s.PGSQL." +
                  TestDatabase::port() +
                  "\" failed: FATAL:  database \"kivo_no_such_db\" does not exist\n\n" +
                  conninfo + "********");
  }
  EXPECT_EQ(pgSQL, nullptr);
  EXPECT_EQ(lines(), (std::vector<std::string>{"INFO#Connection database....",
                                               "\t[PG CONSTRUCT] connexion",
                                               "\t[PG CONSTRUCT]fin de connexion"}));
  EXPECT_TRUE(map_error.empty());
}

// What the server holds after the preparation: the statements' exact texts
// and the parameter types it inferred from their casts.
TEST_F(DatabaseStartupTest, TheServerHoldsTheJournalStatements) {
  pgSQL.reset(new pgSafeThread(database.connectionString()));
  prepareJournalStatements(*pgSQL);
  PgResult prepared(pgSQL->executeRequest(
      "SELECT name, statement, parameter_types::text FROM pg_prepared_statements"
      " ORDER BY prepare_time, name"));
  std::vector<std::vector<std::string>> expected = {
      {"UpdateState",
       "UPDATE kivo_services SET service_previous_state=$1::int, service_last_exec_time=now(),"
       "service_last_stdout=$2 WHERE service_id=$3::int;",
       "{integer,text,integer}"},
      {"InsertErrorHappen",
       "INSERT INTO kivo_error_happen(happen_id,happen_error_id, happen_device_id,"
       "happen_service_id, happen_timestamp,happen_message, happen_acquitte, happen_value)"
       "VALUES (DEFAULT,$1::int, $2::int, $3::int,now(),$4::varchar, 0,0);",
       "{integer,integer,integer,\"character varying\"}"},
      {"AcquitteErrorHappen",
       "UPDATE kivo_error_happen SET happen_acquitte=1, happen_time_acquitte=now() WHERE "
       "happen_id=$1::int",
       "{integer}"},
      {"CheckErrorHappen",
       "SELECT happen_id FROM kivo_error_happen WHERE happen_device_id=$1::int AND "
       "happen_service_id=$2::int AND happen_acquitte=0 ORDER BY happen_id DESC LIMIT 1",
       "{integer,integer}"},
  };
  ASSERT_EQ(PQntuples(prepared.get()), 4);
  for (int row = 0; row < 4; ++row) {
    for (int column = 0; column < 3; ++column) {
      EXPECT_EQ(PQgetvalue(prepared.get(), row, column), expected[row][column])
          << "row " << row << " column " << column;
    }
  }
}

TEST_F(DatabaseStartupTest, PreparationStopsAtTheFirstFailure) {
  pgSQL.reset(new pgSafeThread(database.connectionString()));
  pgSQL->prepareRequest("InsertErrorHappen", "SELECT 1", 0);
  try {
    prepareJournalStatements(*pgSQL);
    ADD_FAILURE() << "prepareJournalStatements must throw";
  } catch (const PostgresqlException& e) {
    EXPECT_STREQ(e.what(),
                 "prepare failed:  ERROR:  prepared statement \"InsertErrorHappen\" already "
                 "exists\n");
  }
  PgResult prepared(
      pgSQL->executeRequest("SELECT name FROM pg_prepared_statements ORDER BY name"));
  ASSERT_EQ(PQntuples(prepared.get()), 2);
  EXPECT_STREQ(PQgetvalue(prepared.get(), 0, 0), "InsertErrorHappen");
  EXPECT_STREQ(PQgetvalue(prepared.get(), 1, 0), "UpdateState");
  std::vector<std::string> all = lines();
  EXPECT_EQ(std::count(all.begin(), all.end(), "\t[PG PREPAREREQUEST] status: PGRES_FATAL_ERROR"),
            1);
}

TEST_F(DatabaseStartupTest, FailedErrorKindQueryLeavesTheMapEmpty) {
  database.execute("ALTER TABLE kivo_errors RENAME TO kivo_error_kinds");
  pgSQL.reset(new pgSafeThread(database.connectionString()));
  try {
    loadErrorKinds(*pgSQL);
    ADD_FAILURE() << "loadErrorKinds must throw";
  } catch (const PostgresqlException& e) {
    EXPECT_EQ(std::string(e.what()).rfind(
                  "execute failed:  ERROR:  relation \"kivo_errors\" does not exist\n", 0),
              0u)
        << e.what();
  }
  EXPECT_TRUE(map_error.empty());
}

// The start-up queries as the daemon sends them, character for character.
TEST(StartupQueries, Texts) {
  EXPECT_EQ(errorKindQuery(),
            "SELECT error_id,error_name FROM kivo_errors WHERE error_name='default_critical_error'"
            " OR error_name='default_warning_error' OR error_name='default_unknow_error';");
  EXPECT_EQ(priorityQuery(),
            "SELECT plugin_trap_oid,plugin_priority FROM kivo_plugins WHERE plugin_type='trap'"
            " AND plugin_trap_oid IS NOT NULL ;");
  EXPECT_EQ(trapServiceQuery(),
            "SELECT plugin_id,service_name, plugin_path,service_parameter,device_id,"
            "device_ip_addr,service_id,plugin_trap_oid, program_path,response_unknown,"
            "response_warning,response_critical,response_parameter"
            " FROM kivo_plugins JOIN kivo_services ON plugin_id = service_plugin_id"
            " JOIN kivo_device ON device_id = service_device_id"
            " LEFT JOIN kivo_service_response_program ON service_id = response_service_id"
            " LEFT JOIN kivo_program ON response_program_id = program_id"
            " WHERE plugin_type='trap'");
}

}  // namespace

}  // namespace kivo
