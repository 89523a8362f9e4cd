// The settings check (pendrakel-host --check): reads the settings file
// beside the module with the module's own loader, so the check and the
// module can never disagree, and tells the operator in one line what is wrong
// with it, or that it is fine and the values the module will use.
//
// Main thread, before anything else starts.
#ifndef PENDRAKEL_SERVER_OPS_SETTINGS_CHECK_H_
#define PENDRAKEL_SERVER_OPS_SETTINGS_CHECK_H_

#include <iosfwd>
#include <string>

namespace pendrakel::server {

// Checks the settings of the module at `module_path`. Returns the process's
// exit code: 0 after "settings OK" and the values on `out`, 1 after one
// line on `err` naming the file, the part of it and why.
int CheckSettings(const std::string& module_path, std::ostream& out,
                  std::ostream& err);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_OPS_SETTINGS_CHECK_H_
