// What bounds the workers at run time: run_settings, the [KIVO] settings of
// the programs they run (daemon/base/settings.h), and the notice of the stop
// that every wait on a program watches; and how many workers start.
//
// run_settings is written once at start-up, before the first worker starts,
// and only read afterwards. stop_notice is begun by the thread that begins
// the stop (signalWorkersToEnd) and watched by every wait on a program; its
// own comment says how threads use it.
#ifndef KIVO_DAEMON_BASE_RUNSETTINGS_H
#define KIVO_DAEMON_BASE_RUNSETTINGS_H

#include "daemon/base/settings.h"
#include "support/programRun.h"
#include "support/stopNotice.h"

namespace kivo {

extern RunSettings run_settings;
extern StopNotice stop_notice;

// The limits of one plug-in run and of one alerting program run.
RunLimits pluginLimits();
RunLimits alertingLimits();

// How many workers to start for the thread_number setting: none for 0 or
// less, at most kMostWorkers. Settings::validate() tells either case.
int workerCount(int threadNumber);

}  // namespace kivo

#endif
