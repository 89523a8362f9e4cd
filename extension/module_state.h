// The module's one set of process-wide objects, and where its settings file
// is. The objects are built when the module is loaded and destroyed when it
// is unloaded, in the order ExtensionObjects gives.
#ifndef PENDRAKEL_EXTENSION_MODULE_STATE_H_
#define PENDRAKEL_EXTENSION_MODULE_STATE_H_

#include <string>

#include "request/extension_objects.h"

namespace pendrakel {

// The one instance of this module.
ExtensionObjects& Module();

// The settings file beside this module's own file.
std::string SettingsPath();

}  // namespace pendrakel

#endif  // PENDRAKEL_EXTENSION_MODULE_STATE_H_
