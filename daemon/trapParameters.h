// Filling a service's parameter template with values of the trap at hand.
//
// References: "$r" the host name, "$IP" the device address, "$SERID" the
// service id (each at its first occurrence only), "$d" the value of variable
// d (one digit, from 1), "$+d" its OID, ":" and value, "$*" every variable as
// "oid:value " run together. Inserted text is not scanned again. A reference
// that cannot be resolved stays in place and is reported on standard output.
#ifndef KIVO_DAEMON_TRAPPARAMETERS_H
#define KIVO_DAEMON_TRAPPARAMETERS_H

#include <string>

#include "services/service.h"
#include "trap/snmpTrap.h"

std::string buildParameters(const std::string& parameterTemplate, const snmpTrap& trap,
                            const service& s);

#endif
