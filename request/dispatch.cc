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
  Count(state.counters.CmdUnknown);
}

void DispatchCommand(ExtensionState& state, EXTENSION_CONTROL_BLOCK* ecb,
                     Values& values, std::string_view command, int64_t now,
                     Response& response) {
  char name[kParamBytes];
  ReadVariable(ecb, "HTTP_X_PARAM_NAME", name, sizeof name);
  const CommandRequest request{ecb, values,   name,
                               now, response, Form::kCommand};
  const Settings& settings = state.settings;
  if (EqualsIgnoringAsciiCase(command, settings.GetCmdName)) {
    ReadValue(state, request, /*withBody=*/true);
  } else if (EqualsIgnoringAsciiCase(command, settings.SetCmdName)) {
    StoreValue(state, request);
  } else if (EqualsIgnoringAsciiCase(command, settings.DelCmdName)) {
    DeleteValue(state, request);
  } else if (EqualsIgnoringAsciiCase(command, settings.NopCmdName)) {
    NoOperation(state, request);
  } else {
    AnswerUnknown(state, response, Status::kNotFound);
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
  Response response(ecb);
  const ValuesRef values = ResolveValues(state, ecb, now, response);
  if (!values) {
    RefuseRequest(state, ecb);
    return HSE_STATUS_SUCCESS;
  }
  const std::string_view remainder =
      PathRemainder(ecb->lpszPathInfo, state.settings.PathBaseLength);
  if (std::strcmp(method, "POST") == 0) {
    DispatchCommand(state, ecb, *values, remainder, now, response);
  } else {
    DispatchMethod(state, ecb, method, *values, remainder, now, response);
  }
  return HSE_STATUS_SUCCESS;
}

}  // namespace pendrakel
