// Filling a service's parameter template with values of the trap at hand.
//
// References: "$r" the host name, "$IP" the device address, "$SERID" the
// service id (each at its first occurrence only), "$d" the value of variable
// d (one digit, from 1), "$+d" its OID, ":" and value, "$*" every variable as
// "oid:value " run together. Inserted text is not scanned again. A reference
// that cannot be resolved stays in place and is reported on standard output.
//
// Values are inserted exactly as they are. The filled text remembers which
// characters the trap brought in, so that splitting it into arguments
// (kivo::splitFilledArguments) never lets a value open or close a quote.
#ifndef KIVO_DAEMON_WORKER_TRAPPARAMETERS_H
#define KIVO_DAEMON_WORKER_TRAPPARAMETERS_H

#include <string>

#include "services/service.h"
#include "trap/snmpTrap.h"

namespace kivo {

FilledText fillParameters(const std::string& parameterTemplate, const snmpTrap& trap,
                          const service& s);

// Fills s's parameter template with trap's values and gives s the filled
// text and its arguments (splitFilledArguments): s as a worker runs it.
void fillServiceParameters(service& s, const snmpTrap& trap);

// The text of fillParameters.
std::string buildParameters(const std::string& parameterTemplate, const snmpTrap& trap,
                            const service& s);

}  // namespace kivo

#endif
