// kivoTrapD: the SNMP-trap daemon. Without arguments it stays in the
// foreground; its settings come from /etc/kivo/kivo.conf (or $KIVO_CONF).
// The options (--check, --replay FILE, --help) run the commands beside it.
#include "daemon/commandLine.h"

int main(int argc, char** argv) { return kivo::commandLineMain(argc, argv); }
