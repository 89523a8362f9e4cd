// The four value operations, read, store, delete and no-op, each in the
// command form (POST; result in "x-result" lines under 200) and the method
// form (result in the status text).
//
// Each operation appends its lines to the request's response, sends the
// head once, writes the body of a read that found a value, and counts its
// outcome after the head (and body) went to the host. The request keeps its
// reference on `values`; the caller releases it.
#ifndef PENDRAKEL_REQUEST_VALUE_COMMANDS_H_
#define PENDRAKEL_REQUEST_VALUE_COMMANDS_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "base/isapi.h"

namespace pendrakel {

class Response;
class Values;
struct ExtensionState;

// Capacity of the name and time-out variables, terminator included.
inline constexpr size_t kParamBytes = 256;

enum class Form { kCommand, kMethod };

struct CommandRequest {
  EXTENSION_CONTROL_BLOCK* ecb;
  Values& values;
  std::string_view name;
  int64_t now;
  Response& response;
  Form form;
};

// Read; `withBody` is false for HEAD.
void ReadValue(ExtensionState& state, const CommandRequest& request,
               bool withBody);
void StoreValue(ExtensionState& state, const CommandRequest& request);
void DeleteValue(ExtensionState& state, const CommandRequest& request);
void NoOperation(ExtensionState& state, const CommandRequest& request);

// The time-out header as seconds: leading white space, an optional sign,
// digits up to the first non-digit (none gives 0), saturated at 2^32 - 1,
// then negated modulo 2^32 after a minus.
uint32_t ParseTimeout(const char* text);

}  // namespace pendrakel

#endif  // PENDRAKEL_REQUEST_VALUE_COMMANDS_H_
