// The FLX product on the generic web API host: who may call what, what runs after a push, and
// the host's defaults for an installed system.
#ifndef FLX_PRODUCT_H
#define FLX_PRODUCT_H

#include <string>
#include <vector>

#include "flxhistory.h"
#include "host.h"

namespace flxproduct {

// A device's push session through the registry, or an operator's token through the read views
// (the inventory module decides what an operator may call, and the push module refuses
// operators itself). The inventory answers POST only. `who`: the serial number, or operator.
bool CheckSession(const webapihost::SessionQuery& query, std::string& who);

// A refused call: the push module's reaches it (it checks its session itself, as devices
// expect); any other is answered 105 by the host and never reaches its module.
int SessionRefusal(const webapihost::SessionQuery& query);
// Before a push's method: whether the device is admitted and the pushing machine is the one
// its session was issued for (the "fingerprint" field), and counts a client_sn naming another
// device. 0, or the answer: 403 not approved, 409 enroll again (see flxenroll.h).
int AdmitCall(const webapihost::Call& call, const std::string& who);

// After every call in the worker; acts on a successful push only: counts it, and keeps its
// arrival (taken now), key use and history note for AfterAnswer.
void AfterCall(const webapihost::Call& call, const std::string& who,
               const KEVO::APIResponse& response);
// Once the answer has left: writes what AfterCall kept, the contacts in one transaction. With
// `waiting` (requests queue) it keeps them for a later call, up to 32 pushes or a second.
void AfterAnswer(bool waiting);

// The enrollment's families (enroll_metrics.cpp), part of ProductMetrics.
void EnrollMetrics(std::string& out);

// --- metrics (metrics.cpp) ---

// Describes the product's shared counters; before the host forks its workers.
void DescribeMetrics();
// Counts the items of a push, by kind and the push's result.
// Counts the items of a push by kind ("group.module") and the push's result.
void CountItems(const flxhistory::Kinds& kinds, const KEVO::APIResponse& response);
// Counts a push deciphered by key `keyId`.
void CountKeyUse(const std::string& keyId);
// The product's part of a scrape: build, spool and fleet families.
void ProductMetrics(std::string& out, const webapihost::MetricsFlush& flush);
// The volumes, disks and pushes of every device in /metrics; by default only of the devices
// the history marked or finds stale (a fleet of 100,000 would make millions of series).
void SetMetricsAllDevices(bool all);

// The modules the product serves (push, inventory and enrollment, from the installed folder).
std::vector<std::string> DefaultModules();
// What a host started with no flags serves: the modules, both databases held open, the
// product's hooks, and the FastCGI socket the shipped nginx site names.
void ApplyDefaults(webapihost::HostOptions& options, bool keepOpen);

}  // namespace flxproduct

#endif  // FLX_PRODUCT_H
