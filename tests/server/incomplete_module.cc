// A test extension module that lacks HttpExtensionProc.
#include "base/isapi.h"

extern "C" BOOL GetExtensionVersion(HSE_VERSION_INFO* version) {
  version->dwExtensionVersion = HSE_VERSION;
  return TRUE;
}
extern "C" BOOL TerminateExtension(DWORD) { return TRUE; }
