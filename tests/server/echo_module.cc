// A test extension module that answers every request with a plain-text
// description of what it received: method, path info, query, content type,
// body lengths, the server variables named in the X-Echo-Vars header, and
// the body itself (read through ReadClient). Its query string switches on
// misbehaviour for the host to cope with:
//   nohead      return without sending a response head
//   nolength    send a head without Content-Length
//   noread      leave the body past the preload unread
//   sleep=MS    sleep before answering
//   big=N       answer with a body of N bytes 'x' written in one WriteClient
// TerminateExtension prints "echo: terminated" on standard output.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "base/isapi.h"

namespace {

constexpr DWORD kReadPieceBytes = 64 * 1024;
constexpr DWORD kDefaultVariableBytes = 1024;

// The number after "key=" in the query, or -1.
long QueryNumber(const std::string& query, const std::string& key) {
  const size_t at = query.find(key + "=");
  if (at == std::string::npos) return -1;
  return std::strtol(query.c_str() + at + key.size() + 1, nullptr, 10);
}

bool QueryHas(const std::string& query, const std::string& word) {
  return query.find(word) != std::string::npos;
}

// Reads the body: the preload, then ReadClient until the total.
bool ReadBody(EXTENSION_CONTROL_BLOCK* ecb, std::string& body) {
  body.assign(reinterpret_cast<const char*>(ecb->lpbData), ecb->cbAvailable);
  while (body.size() < ecb->cbTotalBytes) {
    char piece[kReadPieceBytes];
    DWORD size = sizeof piece;
    if (!ecb->ReadClient(ecb->ConnID, piece, &size) || size == 0) return false;
    body.append(piece, size);
  }
  return true;
}

// "var NAME=value" or "var NAME=(false, size=N)" for each NAME[/SIZE] in
// the X-Echo-Vars header.
std::string EchoVariables(EXTENSION_CONTROL_BLOCK* ecb) {
  char list[1024];
  DWORD list_size = sizeof list;
  char header_name[] = "HTTP_X_ECHO_VARS";
  if (!ecb->GetServerVariable(ecb->ConnID, header_name, list, &list_size))
    return "";
  std::string text;
  std::string names = list;
  size_t start = 0;
  while (start < names.size()) {
    size_t end = names.find(',', start);
    if (end == std::string::npos) end = names.size();
    std::string item = names.substr(start, end - start);
    start = end + 1;
    DWORD size = kDefaultVariableBytes;
    const size_t slash = item.find('/');
    if (slash != std::string::npos) {
      size = static_cast<DWORD>(std::stoul(item.substr(slash + 1)));
      item = item.substr(0, slash);
    }
    std::string buffer(size, '\0');
    const BOOL found =
        ecb->GetServerVariable(ecb->ConnID, item.data(), buffer.data(), &size);
    text += "var " + item + "=" +
            (found ? std::string(buffer.c_str())
                   : "(false, size=" + std::to_string(size) + ")") +
            "\n";
  }
  return text;
}

}  // namespace

extern "C" BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  std::snprintf(version->lpszExtensionDesc, sizeof version->lpszExtensionDesc,
                "echo");
  return TRUE;
}

extern "C" DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK* ecb) {
  const std::string query = ecb->lpszQueryString;
  const long sleep_ms = QueryNumber(query, "sleep");
  if (sleep_ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(sleep_ms));
  std::string body;
  const bool complete = QueryHas(query, "noread") ? false : ReadBody(ecb, body);
  std::string text =
      std::string("method=") + ecb->lpszMethod + "\npath=" + ecb->lpszPathInfo +
      "\nquery=" + query + "\ncontent-type=" + ecb->lpszContentType +
      "\ntotal=" + std::to_string(ecb->cbTotalBytes) +
      "\navailable=" + std::to_string(ecb->cbAvailable) + "\n" +
      EchoVariables(ecb) + "read=" + (complete ? "complete" : "incomplete") +
      "\nbody=" + body;
  const long big = QueryNumber(query, "big");
  if (big >= 0) text.assign(static_cast<size_t>(big), 'x');
  if (QueryHas(query, "nohead")) return HSE_STATUS_SUCCESS;
  std::string block =
      QueryHas(query, "nolength")
          ? std::string()
          : "Content-Length: " + std::to_string(text.size()) + "\r\n";
  block += "Content-Type: text/plain\r\n\r\n";
  char status[] = "200 OK(Echo)";
  ecb->ServerSupportFunction(ecb->ConnID, HSE_REQ_SEND_RESPONSE_HEADER, status,
                             nullptr, reinterpret_cast<DWORD*>(block.data()));
  DWORD size = static_cast<DWORD>(text.size());
  ecb->WriteClient(ecb->ConnID, text.data(), &size, HSE_IO_SYNC);
  return HSE_STATUS_SUCCESS;
}

extern "C" BOOL TerminateExtension(DWORD) {
  static const char kLine[] = "echo: terminated\n";
  [[maybe_unused]] const ssize_t ignored =
      write(STDOUT_FILENO, kLine, sizeof kLine - 1);
  return TRUE;
}
