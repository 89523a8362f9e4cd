// StatProbe: asks the extension for its statistics the way any client
// would, with a STAT request through the control-block interface, and
// returns the header lines of its answer ("X-Memory-Total: 42", ...) as
// name and value. Used by the metrics page: the extension exports nothing
// else, and the probe reaches no collection (STAT is answered before any
// cookie is looked at).
//
// Any thread; the extension's HttpExtensionProc may run concurrently with
// requests, as it always does.
#ifndef PENDRAKEL_SERVER_ADMIN_STAT_PROBE_H_
#define PENDRAKEL_SERVER_ADMIN_STAT_PROBE_H_

#include <string>
#include <utility>
#include <vector>

#include "base/isapi.h"

namespace pendrakel::server {

struct StatReport {
  std::string status_text;  // empty when the extension sent no head
  std::vector<std::pair<std::string, std::string>> lines;
};

StatReport ProbeStat(PFN_HTTPEXTENSIONPROC proc);

}  // namespace pendrakel::server

#endif  // PENDRAKEL_SERVER_ADMIN_STAT_PROBE_H_
