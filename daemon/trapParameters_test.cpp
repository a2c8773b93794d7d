#include "daemon/trapParameters.h"

#include <gtest/gtest.h>

#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

namespace {

// The trap of the worked examples: host1, 192.0.2.7, two variables.
snmpTrap exampleTrap(const TempDir& dir) {
  writeFile(dir.file("trap"),
            "host1\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n"
            ".1.3.6.1.6.3.1.1.4.1.0 .1.3.6.1.4.1.99.0.1\n"
            ".1.3.6.1.4.1.99.1 up\n.1.3.6.1.4.1.99.2 eth0\n");
  snmpTrap trap;
  trap.read(dir.file("trap"));
  return trap;
}

service exampleService() {
  service s;
  s.SetService_id(17);
  s.Setname("link");
  return s;
}

TEST(TrapParameters, WorkedExamples) {
  TempDir dir;
  snmpTrap trap = exampleTrap(dir);
  struct Case {
    const char* parameterTemplate;
    const char* expected;
  } cases[] = {
      {"-H $IP -n $r -s $SERID -v $1 -i $2", "-H 192.0.2.7 -n host1 -s 17 -v up -i eth0"},
      {"-x $+2", "-x .1.3.6.1.4.1.99.2:eth0"},
      {"-a $*", "-a .1.3.6.1.4.1.99.1:up .1.3.6.1.4.1.99.2:eth0 "},
      {"-v $12", "-v up2"},
      {"-v $3", "-v $3"},
      {"no references at all", "no references at all"},
      {"$r and $r", "host1 and $r"},
      {"$IP$IP", "192.0.2.7$IP"},
      {"$0 $ $+ $+9 $x", "$0 $ $+ $+9 $x"},
      {"ends with $", "ends with $"},
      {"$1$2", "upeth0"},
  };
  CapturedOutput output;
  for (const Case& c : cases) {
    EXPECT_EQ(buildParameters(c.parameterTemplate, trap, exampleService()), c.expected)
        << c.parameterTemplate;
  }
}

TEST(TrapParameters, StarGivesThreeArgumentsAfterSplitting) {
  TempDir dir;
  service s = exampleService();
  CapturedOutput output;
  s.Setparameter(buildParameters("-a $*", exampleTrap(dir), s));
  EXPECT_EQ(s.getVectorParam(),
            (std::vector<std::string>{"-a", ".1.3.6.1.4.1.99.1:up", ".1.3.6.1.4.1.99.2:eth0"}));
}

TEST(TrapParameters, AValueNeverAddsArgumentsToAQuotedReference) {
  snmpTrap trap;
  trap.readText("h\nUDP: [192.0.2.7]:161->[192.0.2.1]:162\n.1.2 2\n"
                ".1.3 \"msg\\\" --evil \\\"x\"\n.1.4 \"a b\"\n");
  struct Case {
    const char* parameterTemplate;
    std::vector<std::string> arguments;
  } cases[] = {
      {"$1 \"$2\"", {"2", "msg\\\" --evil \\\"x"}},
      {"$1 '$2'", {"2", "msg\\\" --evil \\\"x"}},
      {"-m $3", {"-m", "a", "b"}},
      {"-m \"$3\" -a \"$*\"", {"-m", "a b", "-a", ".1.2:2 .1.3:msg\\\" --evil \\\"x .1.4:a b "}},
  };
  CapturedOutput output;
  for (const Case& c : cases) {
    kivo::FilledText filled = kivo::fillParameters(c.parameterTemplate, trap, exampleService());
    EXPECT_EQ(kivo::splitFilledArguments(filled), c.arguments) << c.parameterTemplate;
  }
}

TEST(TrapParameters, ReportsReplacedAndUnresolvedReferences) {
  TempDir dir;
  snmpTrap trap = exampleTrap(dir);
  CapturedOutput output;
  buildParameters("-x $+2", trap, exampleService());
  buildParameters("-v $3", trap, exampleService());
  buildParameters("$+x", trap, exampleService());
  std::vector<std::string> lines = logMessages(output.text());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "REP#.1.3.6.1.4.1.99.2:eth0",
                       "Variable no found:No entries value for variable number: #3#link#-v $3",
                       "Variable no found:No entries value for variable number: #+#link#$+x",
                   }));
}

TEST(TrapParameters, InsertedValuesAreNotExpandedAgain) {
  TempDir dir;
  writeFile(dir.file("trap"), "h\nt\n.1.2 cost $1 and $r\n.1.3 \"a b\"\n");
  snmpTrap trap;
  trap.read(dir.file("trap"));
  CapturedOutput output;
  EXPECT_EQ(buildParameters("-m $1 -n $2", trap, exampleService()), "-m cost $1 and $r -n a b");
  EXPECT_EQ(output.text(), "") << "nothing unresolved";
  EXPECT_EQ(buildParameters("-a $*", snmpTrap(), exampleService()), "-a ")
      << "no variables: empty text";
}

}  // namespace

}  // namespace kivo
