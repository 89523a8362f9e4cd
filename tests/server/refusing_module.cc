// A test extension module whose start-up always fails.
#include "base/isapi.h"

extern "C" BOOL GetExtensionVersion(HSE_VERSION_INFO*) { return FALSE; }
extern "C" DWORD HttpExtensionProc(EXTENSION_CONTROL_BLOCK*) {
  return HSE_STATUS_SUCCESS;
}
extern "C" BOOL TerminateExtension(DWORD) { return TRUE; }
