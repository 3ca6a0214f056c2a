// The commands that operate the host's stores as a whole: backup (and its verification),
// restore and check. Registered on flx-admin's command line by one call.
#ifndef FLX_TOOLS_CMD_OPERATE_H
#define FLX_TOOLS_CMD_OPERATE_H

#include <CLI/CLI.hpp>
#include <string>

namespace flxadmin {

class OperateCommands {
 public:
  explicit OperateCommands(CLI::App& app);
  // True when one of these commands was given; `rc` is then its exit status.
  bool run(int& rc);

 private:
  CLI::App* backup_;
  CLI::App* restore_;
  CLI::App* check_;
  std::string dir_;
  bool verify_ = false;
  bool repair_ = false;
};

}  // namespace flxadmin

#endif  // FLX_TOOLS_CMD_OPERATE_H
