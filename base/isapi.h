// The web server's extension interface: the records and callbacks through
// which a host hands requests to an extension module and the extension
// answers them.
//
// The layout is a binary contract between independently built hosts and
// modules (x86-64 Linux, default calling convention). Field order, field types
// and constant values must never change; the static_asserts at the end pin the
// layout down.
#ifndef PENDRAKEL_BASE_ISAPI_H_
#define PENDRAKEL_BASE_ISAPI_H_

#include <cstddef>
#include <cstdint>

extern "C" {

typedef uint32_t DWORD;
typedef int32_t BOOL;
typedef void* HCONN;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

// Version of the interface, major in the high 16 bits, minor in the low.
#define HSE_VERSION 0x00070005u
#define HSE_MAX_EXT_DLL_NAME_LEN 256
#define HSE_LOG_BUFFER_LEN 80

// Returned by HttpExtensionProc.
#define HSE_STATUS_SUCCESS 1
// ServerSupportFunction request: send the status text (buffer) and the header
// block (passed as dataType, cast to DWORD*); size is null.
#define HSE_REQ_SEND_RESPONSE_HEADER 3
// WriteClient flag: write synchronously.
#define HSE_IO_SYNC 1

typedef struct _HSE_VERSION_INFO {
  DWORD dwExtensionVersion;
  char lpszExtensionDesc[HSE_MAX_EXT_DLL_NAME_LEN];
} HSE_VERSION_INFO;

typedef struct _EXTENSION_CONTROL_BLOCK {
  DWORD cbSize;
  DWORD dwVersion;
  HCONN ConnID;
  DWORD dwHttpStatusCode;
  char lpszLogData[HSE_LOG_BUFFER_LEN];
  char* lpszMethod;
  char* lpszQueryString;
  char* lpszPathInfo;
  char* lpszPathTranslated;
  DWORD cbTotalBytes;
  DWORD cbAvailable;
  unsigned char* lpbData;
  char* lpszContentType;
  BOOL (*GetServerVariable)(HCONN conn, char* name, void* buffer, DWORD* size);
  BOOL (*WriteClient)(HCONN conn, void* buffer, DWORD* bytes, DWORD flags);
  BOOL (*ReadClient)(HCONN conn, void* buffer, DWORD* size);
  BOOL(*ServerSupportFunction)
  (HCONN conn, DWORD request, void* buffer, DWORD* size, DWORD* dataType);
} EXTENSION_CONTROL_BLOCK;

// The three entry points every extension module exports.
typedef BOOL (*PFN_GETEXTENSIONVERSION)(HSE_VERSION_INFO* version);
typedef DWORD (*PFN_HTTPEXTENSIONPROC)(EXTENSION_CONTROL_BLOCK* ecb);
typedef BOOL (*PFN_TERMINATEEXTENSION)(DWORD flags);

}  // extern "C"

static_assert(sizeof(HSE_VERSION_INFO) == 260);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, ConnID) == 8);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, dwHttpStatusCode) == 16);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszLogData) == 20);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszMethod) == 104);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, cbTotalBytes) == 136);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, cbAvailable) == 140);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpbData) == 144);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, lpszContentType) == 152);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, GetServerVariable) == 160);
static_assert(offsetof(EXTENSION_CONTROL_BLOCK, ServerSupportFunction) == 184);
static_assert(sizeof(EXTENSION_CONTROL_BLOCK) == 192);

#endif  // PENDRAKEL_BASE_ISAPI_H_
