// Version order: Debian's rules (epochs, tildes, letters before digits' ends, "2.10" after
// "2.9"), which also order the dotted versions that applications carry.
#include <apt-pkg/debversion.h>

#include "flxread.h"

namespace flxread {

int compareVersions(const std::string& a, const std::string& b) {
  const int c = debVS.CmpVersion(a, b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace flxread
