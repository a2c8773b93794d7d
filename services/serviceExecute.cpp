// Running a service's programs: the plug-in, whose output and exit status
// make the service's result, and the alerting program.
//
// Several workers run these at the same time, each on its own copy of a
// service. Every descriptor made here is close-on-exec, so a program started
// by one worker never holds another worker's pipe open, and every child is
// reaped by the call that started it, never by another one. Every run is
// bounded by the RunLimits that the caller gives (ProgramRun), so no program
// holds its worker, or the stop, for longer than they allow.
#include "services/service.h"

#include <errno.h>
#include <sys/wait.h>

#include <cmath>

#include "support/childProcess.h"
#include "support/programRun.h"
#include "support/convertTo.h"
#include "support/logText.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"

using kivo::ArgumentVector;
using kivo::ChildProcess;
using kivo::ProgramRun;
using kivo::RunLimits;
using kivo::StopException;
using kivo::errnoText;
using kivo::lacksResources;
using kivo::writeStandardOutputLine;

namespace {

// Plug-ins report their state with exit statuses 0 to 4; 255 (exit(-1)) is
// their way of saying that the host could not be reached.
const int kHighestReturnCode = 4;
const int kUnreachableStatus = 255;
const int kUnreachableReturnCode = 3;
const char kUnreachableOutput[] = "could not connect to host";
// A plug-in that ran out of time is as good as one that cannot tell.
const int kTimedOutReturnCode = 3;

// Exit status that a plug-in run gets when its program could not be run.
const int kChildFailureStatus = 2;

// The reason why a program could not be run, as one line of the system log.
void reportExecFailure(int error) { writeStandardOutputLine(errnoText(error)); }

// The message of every plug-in failure: the fixed text, then which service
// and command it was, then the trailing part without a separator.
std::string failureMessage(const service& s, const char* fixed, const std::string& trailing) {
  // The parameters carry trap values, escaped; the trailing part is the
  // system's text or the plug-in's own output, as it is.
  return fixed + s.Getname() + "\npath:" + kivo::escapeControls(s.Getpath() + " " + s.Getparameter()) +
         trailing;
}

// Error record identifiers are whole numbers and must reach the alerting
// program as such: doubleToString would turn 1000000 into 1e+06.
std::string errorIdText(double errorId) {
  const double kLongLimit = 9.0e18;  // well inside the range of a 64-bit long
  if (std::isfinite(errorId) && errorId == std::trunc(errorId) && std::fabs(errorId) < kLongLimit) {
    return longToString(static_cast<long>(errorId));
  }
  return doubleToString(errorId);
}

}  // namespace

int service::execute(const RunLimits& limits) {
  timedOut = false;
  ProgramRun run(limits);
  int error = run.captureOutput();
  if (error != 0) {
    if (lacksResources(error)) throw kivo::ResourceShortageException(errnoText(error));
    throw serviceException(failureMessage(*this, "Error open pipe ", errnoText(error)));
  }
  ArgumentVector arguments(path, vectorParam);
  ChildProcess::SpawnResult started = run.start(arguments, &error);
  if (started == ChildProcess::kNoProcess) {
    if (lacksResources(error)) throw kivo::ResourceShortageException(errnoText(error));
    throw serviceException(failureMessage(*this, "Error create fork ", errnoText(error)));
  }
  // A program that could not be run counts as a run that ended at once with
  // the failure status and no output; the reason goes to the system log,
  // never into the plug-in's output.
  int status = W_EXITCODE(kChildFailureStatus, 0);
  if (started == ChildProcess::kProgramFailed) {
    reportExecFailure(error);
    stdOut.clear();
  } else {
    ProgramRun::End end = run.wait();
    if (end == ProgramRun::kStopped) {
      throw StopException("plug-in of service " + name + " cut short by the stop: " +
                          kivo::escapeControls(path + " " + parameter));
    }
    if (end == ProgramRun::kTimedOut) return timedOutResult(limits.timeout);
    stdOut = run.output();
    if (end == ProgramRun::kWaitFailed) {
      throw serviceException(failureMessage(*this, "Error execute ", errnoText(run.error())));
    }
    status = run.status();
  }
  if (!WIFEXITED(status)) {
    // Killed, or found stopped and killed for it.
    throw serviceException(failureMessage(*this, "Error: kivo can't execute ", stdOut));
  }
  int code = WEXITSTATUS(status);
  if (code == kUnreachableStatus) {
    code = kUnreachableReturnCode;
    stdOut = kUnreachableOutput;
  }
  if (code > kHighestReturnCode) {
    throw serviceException(failureMessage(*this, "Error execute ", stdOut));
  }
  returnCode = code;
  return code;
}

int service::timedOutResult(int timeout) {
  timedOut = true;
  returnCode = kTimedOutReturnCode;
  stdOut = "plug-in timed out after " + intToString(timeout) + " s";
  return returnCode;
}

service::AlertingEnd service::executeAlertingSoftware(double errorId, const RunLimits& limits) {
  const std::string idText = errorIdText(errorId);
  std::vector<std::string> parameters;
  parameters.reserve(vectorAlertingParam.size());
  for (const std::string& argument : vectorAlertingParam) {
    // The whole argument gives way to the identifier, not only the marker.
    parameters.push_back(argument.find("$ERROR") != std::string::npos ? idText : argument);
  }
  ArgumentVector arguments(alertingSoftware, parameters);

  // Nothing but standard input is redirected: the program inherits the
  // daemon's other descriptors.
  ProgramRun run(limits);
  int error = 0;
  ChildProcess::SpawnResult started = run.start(arguments, &error);
  if (started == ChildProcess::kNoProcess) {
    if (lacksResources(error)) throw kivo::ResourceShortageException(errnoText(error));
    writeStandardOutputLine("ERR can't start alerting program " + alertingSoftware + ": " +
                            errnoText(error));
    return kAlertingFailed;
  }
  if (started == ChildProcess::kProgramFailed) {
    reportExecFailure(error);
    return kAlertingFailed;
  }
  // Its exit status is not looked at, nor a failed wait: the holder still
  // kills and reaps a child it holds.
  ProgramRun::End end = run.wait();
  if (end == ProgramRun::kStopped) {
    throw StopException("alerting program of service " + name + " cut short by the stop: " +
                        alertingSoftware);
  }
  return end == ProgramRun::kTimedOut ? kAlertingTimedOut : kAlertingEnded;
}
