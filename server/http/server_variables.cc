#include "server/http/server_variables.h"

#include <cstring>
#include <string>
#include <string_view>

namespace pendrakel::server {
namespace {

constexpr std::string_view kHeaderPrefix = "HTTP_";

char VariableChar(char c) {
  if (c == '-') return '_';
  if (c >= 'a' && c <= 'z') return static_cast<char>(c - 'a' + 'A');
  return c;
}

// True when header `name` is shown as variable HTTP_<suffix>.
bool HeaderMatches(std::string_view name, std::string_view suffix) {
  if (name.size() != suffix.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '_' || VariableChar(name[i]) != suffix[i]) return false;
  }
  return true;
}

// Copies `value` and its NUL under the buffer rule.
bool Deliver(std::string_view value, void* buffer, DWORD* size) {
  const uint64_t needed = uint64_t{value.size()} + 1;
  if (buffer == nullptr || needed > *size) {
    *size = static_cast<DWORD>(needed);
    return false;
  }
  std::memcpy(buffer, value.data(), value.size());
  static_cast<char*>(buffer)[value.size()] = '\0';
  *size = static_cast<DWORD>(needed);
  return true;
}

// The header variable: joins the matching fields straight into the buffer.
bool DeliverHeader(const RequestHead& head, std::string_view suffix,
                   void* buffer, DWORD* size) {
  const std::string_view separator = suffix == "COOKIE" ? "; " : ", ";
  uint64_t length = 0;
  size_t matches = 0;
  for (size_t i = 0; i < head.field_count(); ++i) {
    if (!HeaderMatches(head.field_name(i), suffix)) continue;
    length +=
        (matches++ == 0 ? 0 : separator.size()) + head.field_value(i).size();
  }
  if (matches == 0) return false;
  if (buffer == nullptr || length + 1 > *size) {
    *size = static_cast<DWORD>(length + 1);
    return false;
  }
  char* out = static_cast<char*>(buffer);
  size_t written = 0;
  for (size_t i = 0; i < head.field_count(); ++i) {
    if (!HeaderMatches(head.field_name(i), suffix)) continue;
    if (written++ != 0) {
      std::memcpy(out, separator.data(), separator.size());
      out += separator.size();
    }
    const std::string_view value = head.field_value(i);
    std::memcpy(out, value.data(), value.size());
    out += value.size();
  }
  *out = '\0';
  *size = static_cast<DWORD>(length + 1);
  return true;
}

}  // namespace

bool LookUpServerVariable(const RequestHead& head, uint64_t total_bytes,
                          const char* name, void* buffer, DWORD* size) {
  if (name == nullptr || size == nullptr) return false;
  const std::string_view variable(name);
  if (variable.substr(0, kHeaderPrefix.size()) == kHeaderPrefix) {
    return DeliverHeader(head, variable.substr(kHeaderPrefix.size()), buffer,
                         size);
  }
  if (variable == "REQUEST_METHOD")
    return Deliver(head.method_view(), buffer, size);
  if (variable == "PATH_INFO") return Deliver(head.path_view(), buffer, size);
  if (variable == "QUERY_STRING")
    return Deliver(head.query_view(), buffer, size);
  if (variable == "SERVER_PROTOCOL")
    return Deliver(head.version == 10 ? "HTTP/1.0" : "HTTP/1.1", buffer, size);
  if (variable == "CONTENT_LENGTH")
    return Deliver(std::to_string(total_bytes), buffer, size);
  if (variable == "CONTENT_TYPE")
    return Deliver(head.content_type_view(), buffer, size);
  return false;
}

}  // namespace pendrakel::server
