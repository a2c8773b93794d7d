// One trap service: a plug-in configured for one device and one trap OID,
// with its parameter template, its alerting program and the result of its
// last run.
//
// A plain value type. The loader fills one per database row and the service
// map keeps copies; each worker works on its own copy for the trap at hand,
// so the record has no locking.
#ifndef KIVO_SERVICES_SERVICE_H
#define KIVO_SERVICES_SERVICE_H

#include <string>
#include <utility>
#include <vector>

#include "support/exceptions.h"
#include "support/programRun.h"

class service {
 public:
  service() = default;
  virtual ~service() = default;
  service(const service&) = default;
  service& operator=(const service&) = default;

  int GetService_id() const { return service_id; }
  void SetService_id(int id) { service_id = id; }
  int GetDevice_id() const { return device_id; }
  void SetDevice_id(int id) { device_id = id; }
  int GetPlugin_id() const { return plugin_id; }
  void SetPlugin_id(int id) { plugin_id = id; }
  std::string Getname() const { return name; }
  void Setname(std::string text) { name = std::move(text); }
  std::string Getpath() const { return path; }
  void Setpath(std::string text) { path = std::move(text); }
  std::string GetOID() const { return OID; }
  void SetOID(std::string text) { OID = std::move(text); }
  std::string GetAlertingSoftware() const { return alertingSoftware; }
  void SetAlertingSoftware(std::string text) { alertingSoftware = std::move(text); }
  bool GetAlertingUnknown() const { return alertingUnknown; }
  void SetAlertingUnknown(bool on) { alertingUnknown = on; }
  bool GetAlertingWarning() const { return alertingWarning; }
  void SetAlertingWarning(bool on) { alertingWarning = on; }
  bool GetAlertingCritical() const { return alertingCritical; }
  void SetAlertingCritical(bool on) { alertingCritical = on; }

  std::string Getparameter() const { return parameter; }
  // Keeps p and replaces the plug-in's argument list with p split into
  // arguments (splitArguments).
  void Setparameter(std::string p);
  std::vector<std::string> getVectorParam() const { return vectorParam; }
  // Keeps p, the parameter template filled with trap values, and takes its
  // argument list as already split (kivo::splitFilledArguments), since only
  // the filling knows which characters came from the trap.
  void SetFilledParameter(std::string p, std::vector<std::string> arguments);

  // Appends p split into arguments to the alerting program's argument list;
  // p itself is not kept.
  void SetAlertingParameter(std::string p);
  std::vector<std::string> getVectorAlertingParam() const { return vectorAlertingParam; }

  int GetReturnCode() const { return returnCode; }
  // The result of a run made without execute (a stand-in for the plug-in).
  void SetResult(int code, std::string output) {
    returnCode = code;
    stdOut = std::move(output);
    timedOut = false;
  }
  std::string GetStdout() const { return stdOut; }
  // True when the last execute ran out of time.
  bool GetTimedOut() const { return timedOut; }

  // Runs the plug-in with its argument list, captures its standard output
  // and returns its return code, 0 to 4, which it also keeps. Throws
  // serviceException when the plug-in cannot be run or ends outside the
  // plug-in convention, and kivo::ResourceShortageException, with nothing
  // changed, when it could not be started for lack of resources. Within limits: the output kept is its first
  // limits.outputMax bytes; a plug-in whose time runs out is killed and
  // counts as unknown (3) with the output "plug-in timed out after N s";
  // one still running at the stop's deadline is killed and StopException
  // thrown, with nothing kept.
  int execute(const kivo::RunLimits& limits = kivo::RunLimits());

  enum AlertingEnd {
    kAlertingEnded,     // it ran and ended (its status is not looked at)
    kAlertingFailed,    // it could not be run (the reason is in the log)
    kAlertingTimedOut,  // its time ran out and it was killed
  };

  // Runs the alerting program with errorId in place of every argument that
  // contains "$ERROR", and returns when it has ended. Throws StopException
  // when it was still running at the stop's deadline and was killed, and
  // kivo::ResourceShortageException when it could not be started for lack
  // of resources.
  AlertingEnd executeAlertingSoftware(double errorId, const kivo::RunLimits& limits = kivo::RunLimits());

 private:
  // The result of a run that ran out of time after timeout seconds.
  int timedOutResult(int timeout);

  int device_id = 0;
  int plugin_id = 0;
  int service_id = 0;
  int returnCode = 0;
  std::string name;
  std::string parameter;
  std::string OID;
  std::vector<std::string> vectorParam;
  std::vector<std::string> vectorAlertingParam;
  std::string path;
  std::string alertingSoftware;
  bool alertingUnknown = false;
  bool alertingWarning = false;
  bool alertingCritical = false;
  std::string stdOut;
  bool timedOut = false;
};

namespace kivo {

// Splits a parameter string into program arguments: a blank outside quotes
// ends an argument; a double quote or an apostrophe switches quoting on or off
// wherever it stands and is dropped (the two are not told apart); nothing
// escapes anything; empty arguments are dropped.
std::vector<std::string> splitArguments(const std::string& text);

// A parameter template with trap values filled in. fromTrap holds one flag
// per character of text: true for a character that a trap value (or any
// other inserted text) brought in, false for one of the template.
struct FilledText {
  std::string text;
  std::vector<bool> fromTrap;

  // Appends template characters.
  void appendTemplate(const std::string& part);
  // Replaces length characters at position at with inserted text.
  void replace(size_t at, size_t length, const std::string& inserted);
};

// Splits filled text as splitArguments splits a template, except that a
// quote character brought in by the trap is a plain character: it neither
// opens nor closes quoting. So a value filled into a quoted reference stays
// inside that one argument whatever it holds, and a value filled in
// unquoted still splits at its blanks. Text without quote characters from
// the trap splits exactly as splitArguments splits it.
std::vector<std::string> splitFilledArguments(const FilledText& filled);

}  // namespace kivo

#endif
