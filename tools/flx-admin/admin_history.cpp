#include "admin_history.h"

#include "writer.h"

namespace flxadmin {

int historyRebuild(std::string& movedAside, int& devices, std::string& err) {
  return flxhistory::rebuildHistory(movedAside, devices, err) != 0 ? 1 : 0;
}

}  // namespace flxadmin
