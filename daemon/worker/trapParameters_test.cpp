#include "daemon/worker/trapParameters.h"

#include <gtest/gtest.h>

#include "testing/capturedOutput.h"
#include "testing/daemonConfig.h"

namespace kivo {

static service exampleService(const std::string& parameter = "") {
  service s;
  s.SetService_id(17);
  s.Setname("link");
  s.Setparameter(parameter);
  return s;
}

TEST(TrapParameters, ReferencesAreFilledOnceAndValuesNeverAddArguments) {
  const std::pair<const char*, const char*> cases[] = {
      {"-H $IP -n $r -s $SERID -v $1", "-H 192.0.2.7 -n host1 -s 17 -v up"},
      {"-x $+2 $12 $6", "-x .1.3:a b up2 $6"},
      {"$r and $r $IP$IP", "host1 and $r 192.0.2.7$IP"},
      {"$0 $ $+ $+9 $x ends with $", "$0 $ $+ $+9 $x ends with $"},
      {"-m $2 \"$2\" '$2'", "-m a b \"a b\" 'a b'"},
      {"$1 \"$3\"", "up \"msg\\\" --evil \\\"x\""},
      {"-a $*", "-a .1.2:up .1.3:a b .1.4:msg\\\" --evil \\\"x .1.5:tab\there "},
  };
  CapturedOutput output;
  for (const auto& [parameterTemplate, text] : cases) {
    EXPECT_EQ(buildParameters(parameterTemplate, exampleTrap(), exampleService()), text)
        << parameterTemplate;
  }
  // The arguments split as a filled text does (service_test): the trap's quotes are its values'.
  service s = exampleService("-m $2 \"$2\" '$3' $*");
  fillServiceParameters(s, exampleTrap());
  EXPECT_EQ(s.getVectorParam(),
            (std::vector<std::string>{"-m", "a", "b", "a b", "msg\\\" --evil \\\"x", ".1.2:up",
                                      ".1.3:a", "b", ".1.4:msg\\\"", "--evil", "\\\"x",
                                      ".1.5:tab\there"}));
}

TEST(TrapParameters, ReplacedAndUnresolvedReferencesAreReportedAndValuesNotExpandedAgain) {
  CapturedOutput output;
  buildParameters("$+2 $6 $+", exampleTrap(), exampleService());
  EXPECT_EQ(logMessages(output.text()),
            (std::vector<std::string>{
                "REP#.1.3:a b",
                "Variable no found:No entries value for variable number: #6#link#.1.3:a b $6 $+",
                "Variable no found:No entries value for variable number: #+#link#.1.3:a b $6 $+"}));
  output.clear();
  snmpTrap costly;
  costly.readText("h\nt\n.1.2 cost $1 and $r\n");
  EXPECT_EQ(buildParameters("-m $1", costly, exampleService()), "-m cost $1 and $r");
  EXPECT_EQ(buildParameters("-a $*", snmpTrap(), exampleService()), "-a ");
  EXPECT_EQ(output.text(), "");
}

}  // namespace kivo
