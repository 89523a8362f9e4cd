// FakeRequest: an in-memory host for one request. It presents an
// EXTENSION_CONTROL_BLOCK whose callbacks serve server variables from a map
// (with the host's buffer rule: a value plus its terminator that does not
// fit gives false), feed the body in pieces through ReadClient (optionally
// breaking off early), and record the status text, the header block and the
// body written.
#ifndef PENDRAKEL_TESTS_FAKE_HOST_H_
#define PENDRAKEL_TESTS_FAKE_HOST_H_

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "base/isapi.h"

namespace pendrakel::testing {

class FakeRequest {
 public:
  FakeRequest(std::string method, std::string pathInfo);
  FakeRequest(const FakeRequest&) = delete;
  FakeRequest& operator=(const FakeRequest&) = delete;

  // A request header, served as the variable HTTP_<NAME> (upper case, dashes
  // as underscores).
  FakeRequest& Header(const std::string& name, std::string value);
  FakeRequest& ContentType(std::string type);
  // The body: `preload` bytes come with the request, the rest through
  // ReadClient at most `piece` bytes a call; the connection breaks after
  // `deliver` bytes in all.
  FakeRequest& Body(std::string body, size_t preload = SIZE_MAX,
                    size_t piece = SIZE_MAX, size_t deliver = SIZE_MAX);

  // Runs `hook` inside WriteClient before the bytes are taken, as if other
  // requests ran while this one is sending.
  FakeRequest& OnWrite(std::function<void()> hook);

  EXTENSION_CONTROL_BLOCK* ecb() { return &ecb_; }

  // What the extension sent.
  const std::string& status() const { return status_; }
  const std::string& headers() const { return headers_; }
  const std::string& body() const { return written_; }
  int headCalls() const { return headCalls_; }
  int writeCalls() const { return writeCalls_; }
  size_t bodyBytesRead() const { return offset_; }
  // The header lines, without the closing empty line.
  std::vector<std::string> HeaderLines() const;
  // The value of the first line "name: value", or "" when none.
  std::string HeaderValue(const std::string& name) const;

 private:
  static BOOL GetServerVariable(HCONN conn, char* name, void* buffer,
                                DWORD* size);
  static BOOL WriteClient(HCONN conn, void* buffer, DWORD* bytes, DWORD flags);
  static BOOL ReadClient(HCONN conn, void* buffer, DWORD* size);
  static BOOL ServerSupportFunction(HCONN conn, DWORD request, void* buffer,
                                    DWORD* size, DWORD* dataType);

  std::string method_;
  std::string pathInfo_;
  std::string contentType_;
  std::string body_;
  size_t offset_ = 0;  // body bytes handed to the extension so far
  size_t piece_ = SIZE_MAX;
  size_t deliver_ = SIZE_MAX;
  // Looked up by the name as given, without a copy, so that a lookup
  // allocates nothing.
  std::map<std::string, std::string, std::less<>> variables_;
  std::function<void()> onWrite_;
  EXTENSION_CONTROL_BLOCK ecb_{};

  std::string status_;
  std::string headers_;
  std::string written_;
  int headCalls_ = 0;
  int writeCalls_ = 0;
};

}  // namespace pendrakel::testing

#endif  // PENDRAKEL_TESTS_FAKE_HOST_H_
