#include "request/dispatch.h"

#include <cstring>

#include "base/ascii_text.h"
#include "config/settings.h"
#include "request/cookie_resolution.h"
#include "request/counters.h"
#include "request/extension_state.h"
#include "request/host_calls.h"
#include "request/response.h"
#include "request/stat_report.h"
#include "request/value_commands.h"
#include "store/values.h"
#include "store/values_ref.h"

namespace pendrakel {
namespace {

// Answers a request that names no operation: 404 for an unknown command,
// 501 for an unknown method.
void AnswerUnknown(ExtensionState& state, Response& response, Status status) {
  response.SendWithoutBody(status);
  state.counters.Add(Counter::kCmdUnknown);
}

// The command form's operations, by the command name in the path.
enum class Command { kGet, kSet, kDel, kNop, kUnknown };

Command MatchCommand(const Settings& settings, std::string_view command) {
  if (EqualsIgnoringAsciiCase(command, settings.GetCmdName))
    return Command::kGet;
  if (EqualsIgnoringAsciiCase(command, settings.SetCmdName))
    return Command::kSet;
  if (EqualsIgnoringAsciiCase(command, settings.DelCmdName))
    return Command::kDel;
  if (EqualsIgnoringAsciiCase(command, settings.NopCmdName))
    return Command::kNop;
  return Command::kUnknown;
}

void DispatchCommand(ExtensionState& state, EXTENSION_CONTROL_BLOCK* ecb,
                     Values& values, Command command, std::string_view name,
                     int64_t now, Response& response) {
  const CommandRequest request{ecb, values,   name,
                               now, response, Form::kCommand};
  switch (command) {
    case Command::kGet:
      ReadValue(state, request, /*withBody=*/true);
      break;
    case Command::kSet:
      StoreValue(state, request);
      break;
    case Command::kDel:
      DeleteValue(state, request);
      break;
    case Command::kNop:
      NoOperation(state, request);
      break;
    case Command::kUnknown:
      AnswerUnknown(state, response, Status::kNotFound);
      break;
  }
}

void DispatchMethod(ExtensionState& state, EXTENSION_CONTROL_BLOCK* ecb,
                    std::string_view method, Values& values,
                    std::string_view name, int64_t now, Response& response) {
  const CommandRequest request{ecb, values, name, now, response, Form::kMethod};
  if (method == "GET") {
    ReadValue(state, request, /*withBody=*/true);
  } else if (method == "HEAD") {
    ReadValue(state, request, /*withBody=*/false);
  } else if (method == "PUT") {
    StoreValue(state, request);
  } else if (method == "DELETE") {
    DeleteValue(state, request);
  } else if (method == "NOOP") {
    NoOperation(state, request);
  } else {
    AnswerUnknown(state, response, Status::kNotImplemented);
  }
}

}  // namespace

std::string_view PathRemainder(const char* pathInfo, int pathBaseLength) {
  const std::string_view path = pathInfo ? pathInfo : "";
  const size_t skip = pathBaseLength > 0 ? pathBaseLength : 0;
  return skip >= path.size() ? std::string_view() : path.substr(skip);
}

DWORD HandleRequest(ExtensionState& state, EXTENSION_CONTROL_BLOCK* ecb) {
  const char* method = ecb->lpszMethod ? ecb->lpszMethod : "";
  if (IsStatRequest(method)) {
    SendStatReport(ecb, state.budget, state.counters);
    return HSE_STATUS_SUCCESS;
  }
  const int64_t now = state.clock();
  const std::string_view remainder =
      PathRemainder(ecb->lpszPathInfo, state.settings.PathBaseLength);
  const bool commandForm = std::strcmp(method, "POST") == 0;
  const Command command =
      commandForm ? MatchCommand(state.settings, remainder) : Command::kUnknown;
  // A value name too long to read is refused, before any collection is
  // resolved for it, rather than taken for the empty name.
  char name[kParamBytes];
  name[0] = '\0';  // read only for the commands that use it
  if (command != Command::kNop && command != Command::kUnknown &&
      ReadVariable(ecb, "HTTP_X_PARAM_NAME", name, sizeof name) ==
          VariableRead::kTooLong) {
    RefuseRequest(state, ecb);
    return HSE_STATUS_SUCCESS;
  }
  Response response(ecb);
  const ValuesRef values = ResolveValues(state, ecb, now, response);
  if (!values) {
    RefuseRequest(state, ecb);
    return HSE_STATUS_SUCCESS;
  }
  if (commandForm) {
    DispatchCommand(state, ecb, *values, command, name, now, response);
  } else {
    DispatchMethod(state, ecb, method, *values, remainder, now, response);
  }
  return HSE_STATUS_SUCCESS;
}

}  // namespace pendrakel
