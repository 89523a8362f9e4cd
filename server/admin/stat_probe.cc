#include "server/admin/stat_probe.h"

#include <string_view>

namespace pendrakel::server {
namespace {

char kMethod[] = "STAT";
char kPath[] = "/";
char kEmpty[] = "";
unsigned char kNoBody[1] = {0};

StatReport* From(HCONN conn) { return static_cast<StatReport*>(conn); }

BOOL NoVariable(HCONN, char*, void*, DWORD*) { return FALSE; }
BOOL NoBody(HCONN, void*, DWORD* size) {
  if (size != nullptr) *size = 0;
  return FALSE;
}
BOOL DropWrite(HCONN, void*, DWORD*, DWORD) { return TRUE; }

void ReadLines(std::string_view block, StatReport& report) {
  while (!block.empty()) {
    const size_t end = block.find("\r\n");
    const std::string_view line = block.substr(0, end);
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      const size_t value = line.find_first_not_of(' ', colon + 1);
      report.lines.emplace_back(
          std::string(line.substr(0, colon)),
          std::string(value == std::string_view::npos ? std::string_view()
                                                      : line.substr(value)));
    }
    if (end == std::string_view::npos) break;
    block.remove_prefix(end + 2);
  }
}

BOOL TakeHead(HCONN conn, DWORD request, void* status, DWORD*, DWORD* block) {
  if (request != HSE_REQ_SEND_RESPONSE_HEADER) return FALSE;
  StatReport& report = *From(conn);
  report.status_text = status == nullptr ? "" : static_cast<char*>(status);
  if (block != nullptr) ReadLines(reinterpret_cast<const char*>(block), report);
  return TRUE;
}

}  // namespace

StatReport ProbeStat(PFN_HTTPEXTENSIONPROC proc) {
  StatReport report;
  EXTENSION_CONTROL_BLOCK ecb{};
  ecb.cbSize = sizeof ecb;
  ecb.dwVersion = HSE_VERSION;
  ecb.ConnID = &report;
  ecb.lpszMethod = kMethod;
  ecb.lpszQueryString = kEmpty;
  ecb.lpszPathInfo = kPath;
  ecb.lpszPathTranslated = kEmpty;
  ecb.lpbData = kNoBody;
  ecb.lpszContentType = kEmpty;
  ecb.GetServerVariable = &NoVariable;
  ecb.WriteClient = &DropWrite;
  ecb.ReadClient = &NoBody;
  ecb.ServerSupportFunction = &TakeHead;
  proc(&ecb);
  return report;
}

}  // namespace pendrakel::server
