// Running a service's programs: the plug-in, whose output and exit status
// make the service's result, and the alerting program.
//
// Several workers run these at the same time, each on its own copy of a
// service. Every descriptor made here is close-on-exec, so a program started
// by one worker never holds another worker's pipe open, and every child is
// reaped by the call that started it, never by another one.
#include "services/service.h"

#include <errno.h>
#include <sys/wait.h>

#include <cmath>

#include "support/childProcess.h"
#include "support/convertTo.h"
#include "support/posixIo.h"
#include "support/standardOutput.h"

namespace {

// Plug-ins report their state with exit statuses 0 to 4; 255 (exit(-1)) is
// their way of saying that the host could not be reached.
const int kHighestReturnCode = 4;
const int kUnreachableStatus = 255;
const int kUnreachableReturnCode = 3;
const char kUnreachableOutput[] = "could not connect to host";

// Exit status that a plug-in run gets when its program could not be run.
const int kChildFailureStatus = 2;

// The reason why a program could not be run, as one line of the system log.
void reportExecFailure(int error) { writeStandardOutputLine(errnoText(error)); }

// The message of every plug-in failure: the fixed text, then which service
// and command it was, then the trailing part without a separator.
std::string failureMessage(const service& s, const char* fixed, const std::string& trailing) {
  return fixed + s.Getname() + "\npath:" + s.Getpath() + " " + s.Getparameter() + trailing;
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

int service::execute() {
  Pipe pipe;
  if (!pipe.open()) {
    int error = errno;
    throw serviceException(failureMessage(*this, "Error open pipe ", errnoText(error)));
  }
  ArgumentVector arguments(path, vectorParam);

  ChildProcess child;
  ChildProcess::SpawnResult started = child.spawn(arguments, pipe.writeEnd().get());
  if (started == ChildProcess::kNoProcess) {
    int error = errno;
    throw serviceException(failureMessage(*this, "Error create fork ", errnoText(error)));
  }
  pipe.writeEnd().reset();
  // A program that could not be run counts as a run that ended at once with
  // the failure status and no output; the reason goes to the system log,
  // never into the plug-in's output.
  int status = W_EXITCODE(kChildFailureStatus, 0);
  if (started == ChildProcess::kProgramFailed) {
    reportExecFailure(errno);
    stdOut.clear();
  } else {
    std::string output;
    // A read error ends the output where it stands, as the end of file does.
    (void)readAll(pipe.readEnd().get(), output);
    // Nothing more can come; closing before the wait also spares a child
    // that is still writing from blocking on a full pipe.
    pipe.readEnd().reset();
    stdOut = output;
    if (!child.wait(&status, WUNTRACED | WCONTINUED)) {
      int error = errno;
      throw serviceException(failureMessage(*this, "Error execute ", errnoText(error)));
    }
  }
  if (!WIFEXITED(status)) {
    // Killed, stopped or continued. A stopped or continued child would
    // otherwise stay behind.
    child.killAndReap();
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

void service::executeAlertingSoftware(double errorId) {
  const std::string idText = errorIdText(errorId);
  std::vector<std::string> parameters;
  parameters.reserve(vectorAlertingParam.size());
  for (const std::string& argument : vectorAlertingParam) {
    // The whole argument gives way to the identifier, not only the marker.
    parameters.push_back(argument.find("$ERROR") != std::string::npos ? idText : argument);
  }
  ArgumentVector arguments(alertingSoftware, parameters);

  // Nothing is redirected: the program inherits the daemon's descriptors.
  ChildProcess child;
  ChildProcess::SpawnResult started = child.spawn(arguments, -1);
  if (started == ChildProcess::kNoProcess) {
    int error = errno;
    writeStandardOutputLine("ERR can't start alerting program " + alertingSoftware + ": " +
                            errnoText(error));
    return;
  }
  if (started == ChildProcess::kProgramFailed) {
    reportExecFailure(errno);
    return;
  }
  // Blocks until this child ends; its exit status is not looked at. Should
  // the wait fail, the holder still kills and reaps a child it holds.
  int status = 0;
  (void)child.wait(&status, 0);
}
