#include "request/value_commands.h"

#include <algorithm>
#include <cstring>

#include "base/ascii_text.h"
#include "config/settings.h"
#include "request/counters.h"
#include "request/extension_state.h"
#include "request/host_calls.h"
#include "request/response.h"
#include "store/change_queue.h"
#include "store/value.h"
#include "store/value_ref.h"
#include "store/values.h"

namespace pendrakel {
namespace {

enum class Result { kOk, kNotFound, kNoMemory };

// The command form's two result lines.
void AppendResult(const CommandRequest& request, Result result) {
  if (request.form != Form::kCommand) return;
  switch (result) {
    case Result::kOk:
      request.response.AddLine("x-result-code: 0\r\n");
      request.response.AddLine("x-result-reason: OK\r\n");
      break;
    case Result::kNotFound:
      request.response.AddLine("x-result-code: 1\r\n");
      request.response.AddLine("x-result-reason: Not Found\r\n");
      break;
    case Result::kNoMemory:
      request.response.AddLine("x-result-code: 1\r\n");
      request.response.AddLine("x-result-reason: No Memory\r\n");
      break;
  }
}

// Sends the result lines and a head without a body: the command form always
// with 200, the method form with `methodStatus`.
void SendResult(const CommandRequest& request, Result result,
                Status methodStatus) {
  AppendResult(request, result);
  request.response.SendWithoutBody(
      request.form == Form::kCommand ? Status::kOk : methodStatus);
}

// The stored type, else the default type, else none. A type too long for
// the room left in the block, or one a host let through with a line break
// in it, is left out rather than overrunning the block or forging lines.
void AppendContentType(const ExtensionState& state, const Value& value,
                       Response& response) {
  std::string_view type = value.contentType();
  if (type.empty()) type = state.settings.DefaultContentType;
  if (!type.empty() && IsHeaderValue(type)) {
    response.AddField("Content-Type", type);
  }
}

// Fills the value's data from the preloaded bytes and then the host. False
// when the body ends before all of it has arrived.
bool ReadBody(EXTENSION_CONTROL_BLOCK* ecb, Value& value) {
  const uint32_t total = value.size();
  const uint32_t preloaded = std::min(ecb->cbAvailable, total);
  if (preloaded > 0) std::memcpy(value.data(), ecb->lpbData, preloaded);
  uint32_t remaining = total - preloaded;
  while (remaining > 0) {
    DWORD got = remaining;
    if (!ecb->ReadClient(ecb->ConnID, value.data() + (total - remaining),
                         &got) ||
        got == 0 || got > remaining) {
      return false;
    }
    remaining -= got;
  }
  return true;
}

int64_t ReadExpiry(EXTENSION_CONTROL_BLOCK* ecb, int64_t now) {
  char text[kParamBytes];
  if (ReadVariable(ecb, "HTTP_X_PARAM_TIMEOUT", text, sizeof text) !=
      VariableRead::kRead) {
    return 0;  // absent or too long: the value never expires
  }
  const uint32_t timeout = ParseTimeout(text);
  return timeout == 0 ? 0 : now + static_cast<int64_t>(timeout);
}

// The request's handle on a complete value holding the request body; empty
// when memory is refused or the body breaks off.
ValueRef ReceiveValue(ExtensionState& state, const CommandRequest& request) {
  EXTENSION_CONTROL_BLOCK* ecb = request.ecb;
  const char* type = ecb->lpszContentType ? ecb->lpszContentType : "";
  ValueRef value = Value::Create(request.name, type, ecb->cbTotalBytes,
                                 ReadExpiry(ecb, request.now), state.budget);
  if (value && !ReadBody(ecb, *value)) value.reset();
  return value;
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

}  // namespace

uint32_t ParseTimeout(const char* text) {
  while (IsSpace(*text)) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  uint64_t number = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    number = std::min<uint64_t>(number * 10 + (*text - '0'), UINT32_MAX);
  }
  const auto seconds = static_cast<uint32_t>(number);
  return negative ? 0u - seconds : seconds;
}

void ReadValue(ExtensionState& state, const CommandRequest& request,
               bool withBody) {
  Values::GetResult found = request.values.Get(request.name, request.now);
  if (found.removedExpired) state.counters.Add(Counter::kValueCollect);
  if (!found.value) {
    SendResult(request, Result::kNotFound, Status::kNotFound);
    state.counters.Add(Counter::kCmdGetNotFound);
    state.counters.Add(Counter::kCmdGet);
    return;
  }
  Value& value = *found.value;
  AppendResult(request, Result::kOk);
  request.response.AddNumber("Content-Length", value.size());
  AppendContentType(state, value, request.response);
  request.response.SendHeadBeforeBody(Status::kOk);
  if (withBody) request.response.SendBody(value.data(), value.size());
  found.value.reset();
  state.counters.Add(Counter::kCmdGetOk);
  state.counters.Add(Counter::kCmdGet);
}

namespace {

// Whether a change that must be synced before it is answered was kept; true
// for one that need not wait. Waits with no lock held, holding the host's
// thread (its calls are synchronous).
bool Kept(SyncTicket& ticket) { return !ticket || ticket.Wait(); }

}  // namespace

void StoreValue(ExtensionState& state, const CommandRequest& request) {
  ValueRef value = ReceiveValue(state, request);
  SyncTicket ticket;
  Values::PutOutcome outcome = value ? request.values.Put(value, &ticket)
                                     : Values::PutOutcome::kNoMemory;
  // Not synced: undone by the writer, and answered as not stored.
  if (!Kept(ticket)) outcome = Values::PutOutcome::kNotKept;
  if (outcome == Values::PutOutcome::kNoMemory ||
      outcome == Values::PutOutcome::kNotKept) {
    value.reset();
    SendResult(request, Result::kNoMemory, Status::kServerError);
    state.counters.Add(Counter::kCmdSetNoMemory);
    state.counters.Add(Counter::kCmdSet);
    return;
  }
  const bool created = outcome == Values::PutOutcome::kCreated;
  state.counters.Add(created ? Counter::kValueCreate : Counter::kValueReplace);
  SendResult(request, Result::kOk,
             created ? Status::kCreated : Status::kNoContent);
  value.reset();
  state.counters.Add(Counter::kCmdSetOk);
  state.counters.Add(Counter::kCmdSet);
}

void DeleteValue(ExtensionState& state, const CommandRequest& request) {
  SyncTicket ticket;
  Values::RemoveOutcome outcome = request.values.Remove(request.name, &ticket);
  if (!Kept(ticket)) outcome = Values::RemoveOutcome::kNotKept;
  switch (outcome) {
    case Values::RemoveOutcome::kRemoved:
      state.counters.Add(Counter::kValueDelete);
      SendResult(request, Result::kOk, Status::kOk);
      break;
    case Values::RemoveOutcome::kAbsent:
      SendResult(request, Result::kOk, Status::kNotFound);
      break;
    case Values::RemoveOutcome::kNoMemory:
    case Values::RemoveOutcome::kNotKept:
      // The value stays: answered as a store that could not be kept is.
      SendResult(request, Result::kNoMemory, Status::kServerError);
      break;
  }
  state.counters.Add(Counter::kCmdDel);
}

void NoOperation(ExtensionState& state, const CommandRequest& request) {
  SendResult(request, Result::kOk, Status::kOk);
  state.counters.Add(Counter::kCmdNop);
}

}  // namespace pendrakel
