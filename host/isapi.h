// The control-block interface of the extension module, as a host built
// against the module includes it. Its definitions live at the bottom of the
// module's layers (base/isapi.h), where every layer of the module can speak
// it; this header is the interface's published name.
#ifndef PENDRAKEL_HOST_ISAPI_H_
#define PENDRAKEL_HOST_ISAPI_H_

#include "base/isapi.h"

#endif  // PENDRAKEL_HOST_ISAPI_H_
