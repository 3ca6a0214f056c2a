#include "cmd_operate.h"

#include <stdio.h>

#include <iostream>
#include <memory>

#include "admin.h"
#include "admin_backup.h"
#include "admin_check.h"

#include "admin_util.h"

namespace flxadmin {
namespace {

int runBackup(const std::string& dir) {
  BackupReport report;
  std::string err;
  if (backup(dir, report, err) != 0) return fail(err);
  for (const std::string& s : report.skipped) std::cout << "skipped (not a file): " << s << "\n";
  const Json::Value& c = report.counts;
  printf(
      "backed up %s device(s), %s session(s), %s mirror file(s), %s spooled item(s) into %s"
      " in %.2f s (pushes held for %.3f s, then each device until its files were linked, %.3f s"
      " in all)\n",
      c["devices"].asString().c_str(), c["sessions"].asString().c_str(),
      c["mirror_files"].asString().c_str(), c["spool_files"].asString().c_str(), dir.c_str(),
      report.seconds, report.windowSeconds, report.linkSeconds);
  return 0;
}

int runVerify(const std::string& dir) {
  std::vector<std::string> problems;
  std::string err;
  if (verifyBackup(dir, problems, err) == 0) {
    std::cout << "the backup in " << dir << " verifies" << std::endl;
    return 0;
  }
  if (!err.empty()) return fail(err);
  for (const std::string& p : problems) std::cout << p << "\n";
  return fail(std::to_string(problems.size()) + " problem(s) in the backup in " + dir +
              "; do not restore from it");
}

int runRestore(const std::string& dir) {
  std::string err;
  if (restore(dir, err) != 0) return fail(err);
  std::cout << "restored the backup in " << dir << "; start the host again" << std::endl;
  return 0;
}

}  // namespace

void addOperateCommands(CLI::App& app, Commands& commands) {
  // The options outlive this call: the runners read them after the parse.
  struct Options {
    std::string dir;
    bool verify = false;
    bool repair = false;
  };
  auto o = std::make_shared<Options>();
  CLI::App* backup = app.add_subcommand(
      "backup",
      "Back up the databases, mirror folders, spool, keys and certificate into DIR "
      "(consistent while pushes run)");
  backup->add_option("DIR", o->dir, "A new or empty folder")->required();
  backup->add_flag("--verify", o->verify,
                   "Check the backup in DIR against its manifest instead of making one");
  commands.emplace_back(backup, [o] { return o->verify ? runVerify(o->dir) : runBackup(o->dir); });
  CLI::App* restore = app.add_subcommand(
      "restore", "Restore a backup into a root without a fleet, with the host stopped");
  restore->add_option("DIR", o->dir, "The backup's folder")->required();
  commands.emplace_back(restore, [o] { return runRestore(o->dir); });
  CLI::App* check = app.add_subcommand(
      "check", "Check that the stores agree with each other (the host may run meanwhile)");
  check->add_flag("--repair", o->repair, "Fix what can be fixed safely, saying what was done");
  commands.emplace_back(check, [o] { return runCheck(o->repair); });
}

}  // namespace flxadmin
