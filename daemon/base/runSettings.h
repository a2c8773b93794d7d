// What bounds the workers at run time: the limits of the programs they run,
// from the [KIVO] settings (daemon/base/settings.h) and the notice of the
// stop that every wait on a program watches; and how many workers start.
#ifndef KIVO_DAEMON_BASE_RUNSETTINGS_H
#define KIVO_DAEMON_BASE_RUNSETTINGS_H

#include "daemon/base/settings.h"
#include "support/programRun.h"
#include "support/stopNotice.h"

namespace kivo {

// The limits of one plug-in run and of one alerting program run; stop may
// be null (the stop never cuts the program short).
RunLimits pluginLimits(const RunSettings& settings, const StopNotice* stop);
RunLimits alertingLimits(const RunSettings& settings, const StopNotice* stop);

// How many workers to start for the thread_number setting: none for 0 or
// less, at most kMostWorkers. Settings::validate() tells either case.
int workerCount(int threadNumber);

}  // namespace kivo

#endif
