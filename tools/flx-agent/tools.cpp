// The tools' answers: smartctl's JSON report of a disk, and the services systemctl shows.
#include <string.h>

#include <sstream>

#include "agent.h"

namespace flxagent {

bool Context::haveTool(const std::string& name) const {
  if (tools) return true;
  return live() && HaveTool(name);
}

bool Context::runTool(const std::vector<std::string>& argv, std::string& out, int& status) const {
  if (tools) return tools(argv, out, status);
  return live() && RunTool(argv, out, status);
}

namespace {

// A member of an object; null for anything else, so that a report of an unexpected shape
// reads as one that says nothing.
const Json::Value& Member(const Json::Value& v, const char* key) {
  static const Json::Value kNull;
  if (!v.isObject()) return kNull;
  const Json::Value* found = v.find(key, key + strlen(key));
  return found != nullptr ? *found : kNull;
}

// smartctl's exit status bits.
const int kCommandLine = 1;  // the arguments did not parse
const int kOpenFailed = 2;   // the device could not be opened (permission, no such device, type)
const int kDiskFailing = 8;  // the health check says the disk is failing
const int kPrefailNow = 16;  // a pre-failure attribute is at or below its threshold now

// smartctl's first error message, else its first message of any kind.
std::string FirstMessage(const Json::Value& report) {
  const Json::Value& messages = Member(Member(report, "smartctl"), "messages");
  if (!messages.isArray()) return "";
  std::string any;
  for (const Json::Value& m : messages) {
    const Json::Value& text = Member(m, "string");
    if (!text.isString()) continue;
    if (Member(m, "severity") == Json::Value("error")) return text.asString();
    if (any.empty()) any = text.asString();
  }
  return any;
}

}  // namespace

SmartReading ParseSmartctl(const std::string& json, int exitStatus) {
  SmartReading r;
  Json::Value report;
  if (!ParseJson(json, report) || !report.isObject()) {
    r.why = "smartctl gave no JSON report (exit status " + std::to_string(exitStatus) + ")";
    return r;
  }
  const Json::Value& temp = Member(Member(report, "temperature"), "current");
  if (temp.isIntegral() && temp.asInt64() > 0 && temp.asInt64() < 200) r.temp = temp.asInt();
  const Json::Value& passed = Member(Member(report, "smart_status"), "passed");
  if ((exitStatus & (kDiskFailing | kPrefailNow)) != 0 || (passed.isBool() && !passed.asBool())) {
    r.status = "abnormal";
    return r;
  }
  if (passed.isBool() && (exitStatus & (kCommandLine | kOpenFailed)) == 0) {
    r.status = "normal";
    return r;
  }
  r.why = FirstMessage(report);
  const Json::Value& support = Member(report, "smart_support");
  if (r.why.empty() && Member(support, "available").isBool() &&
      !Member(support, "available").asBool())
    r.why = "the device has no SMART";
  if (r.why.empty()) r.why = "no health status (exit status " + std::to_string(exitStatus) + ")";
  return r;
}

SmartReading ReadSmart(const Context& ctx, const std::string& disk) {
  std::string out;
  int status = 0;
  if (!ctx.runTool({"smartctl", "--json", "-H", "-A", "/dev/" + disk}, out, status)) {
    SmartReading r;
    r.why = "smartctl did not run to its end";
    return r;
  }
  return ParseSmartctl(out, status);
}

std::map<std::string, std::string> ActiveServices(const std::string& showOutput) {
  std::map<std::string, std::string> active;
  std::istringstream in(showOutput + "\n\n");
  std::map<std::string, std::string> unit;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) {
      const size_t eq = line.find('=');
      if (eq != std::string::npos) unit[line.substr(0, eq)] = line.substr(eq + 1);
      continue;
    }
    // A blank line ends a unit's block.
    const std::string& id = unit["Id"];
    if (unit["ActiveState"] == "active" && id.size() > 8 &&
        id.compare(id.size() - 8, 8, ".service") == 0)
      active[id] = unit["FragmentPath"];
    unit.clear();
  }
  return active;
}

}  // namespace flxagent
