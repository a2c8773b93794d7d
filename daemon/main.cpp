// kivoTrapD: the SNMP-trap daemon. Takes no arguments and stays in the
// foreground; its settings come from /etc/kivo/kivo.conf (or $KIVO_CONF).
#include "daemon/kivoTrapd.h"

int main() { return kivoTrapdMain(); }
