// flx-admin check: whether the stores agree with each other, read-only unless asked to repair.
#ifndef FLX_TOOLS_ADMIN_CHECK_H
#define FLX_TOOLS_ADMIN_CHECK_H

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace flxadmin {

// One thing found wrong: its kind (see README, "Operating the host"), the object it names
// and what is wrong with it. `fix` is empty when nothing can be done safely; it returns false
// with `err` when the repair failed.
struct Finding {
  std::string kind;
  std::string object;
  std::string text;
  std::function<bool(std::string& err)> fix;
};

struct CheckReport {
  std::vector<Finding> findings;
  std::vector<std::string> repairs;   // one line per repair done or failed
  std::map<std::string, int> counts;  // findings per kind
  int unrepaired = 0;                 // findings left after a repair
};

// Checks the stores of the current root (the host may run meanwhile); with `repair`, fixes
// what can be fixed safely. 0 when it could look (whatever it found), else 1 with `err`.
int check(bool repair, CheckReport& report, std::string& err);

// Prints the findings, the repairs and a count per kind; the exit status: 0 when nothing is
// (left) wrong, 1 otherwise.
int runCheck(bool repair);

}  // namespace flxadmin

#endif  // FLX_TOOLS_ADMIN_CHECK_H
