// The [KIVO] settings that bound what the workers run: how long a plug-in
// and an alerting program may take, how much of a plug-in's output is kept,
// how long the stop waits for running programs, and how many workers start.
//
// The daemon's RunSettings are written once at start-up, before the first
// worker starts, and only read afterwards.
#ifndef KIVO_DAEMON_BASE_RUNSETTINGS_H
#define KIVO_DAEMON_BASE_RUNSETTINGS_H

#include <cstddef>

#include "daemon/base/settingsReader.h"
#include "support/programRun.h"
#include "support/stopNotice.h"

namespace kivo {

struct RunSettings {
  int pluginTimeout = 60;           // seconds; 0: no limit
  int alertingTimeout = 30;         // seconds; 0: no limit
  size_t pluginOutputMax = 1048576; // bytes of a plug-in's output kept
  int stopGrace = 10;               // seconds from the stop to the kill
};

// The most workers that start, whatever thread_number says: each may run a
// plug-in at any moment, and the machine's processes are not unlimited.
const int kMostWorkers = 256;

// The four settings from the "KIVO" section. A key that is missing, empty
// or holds no number gives its default; a value below 0 counts as 0.
RunSettings readRunSettings(kivo::SettingsReader& settings);

// The limits of one plug-in run and of one alerting program run; stop may
// be null (the stop never cuts the program short).
RunLimits pluginLimits(const RunSettings& settings, const StopNotice* stop);
RunLimits alertingLimits(const RunSettings& settings, const StopNotice* stop);

// How many workers to start for the thread_number setting: none for 0 or
// less, at most kMostWorkers; either case gets an ERR line.
int workerCount(int threadNumber);

}  // namespace kivo

#endif
