// The history store's operations behind `flx-admin history`.
#ifndef FLX_TOOLS_ADMIN_HISTORY_H
#define FLX_TOOLS_ADMIN_HISTORY_H

#include <string>

namespace flxadmin {

// Recomputes every device's baseline, samples of today and summary from the stores, and
// removes the history of devices no longer registered. A history database that fails its
// integrity check is moved aside first (`movedAside` names where) and made anew.
int historyRebuild(std::string& movedAside, int& devices, std::string& err);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_HISTORY_H
