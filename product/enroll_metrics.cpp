// The enrollment's families: devices whose identity another machine claims, pushes naming
// another device, devices waiting for approval. Read from the admissions at each scrape; only
// the few devices concerned get series.
#include <vector>

#include "flx.h"
#include "flxenroll.h"
#include "flxoperators.h"
#include "product.h"

namespace flxproduct {

namespace m = webapihost::metrics;

void EnrollMetrics(std::string& out) {
  std::vector<flxenroll::Admission> admissions;
  if (flxenroll::ListAdmissions("", admissions) != 0) return;
  double pending = 0;
  std::string conflicts, foreign;
  for (const flxenroll::Admission& a : admissions) {
    if (a.state == "pending") ++pending;
    if (!a.conflict && a.foreignSnPushes == 0) continue;
    KEVOFLX_QX dev;
    const std::string hostname = KEVOFLXQxGetBySN(a.sn.c_str(), &dev) == 0 ? dev.hostname : "";
    const std::string labels = m::Label("sn", a.sn) + "," + m::Label("hostname", hostname);
    if (a.conflict) m::Sample(conflicts, "flx_device_identity_conflict", labels, 1);
    if (a.foreignSnPushes > 0)
      m::Sample(foreign, "flx_device_foreign_sn_pushes_total", labels,
                static_cast<double>(a.foreignSnPushes));
  }
  m::Header(out, "flx_devices_pending", m::Type::kGauge,
            "Enrolled devices waiting for the operator's approval.");
  m::Sample(out, "flx_devices_pending", "", pending);
  m::Header(out, "flx_device_identity_conflict", m::Type::kGauge,
            "1 for a device whose session or serial another machine used (identity-conflict), "
            "until the operator clears it with flx-admin device approve.");
  out += conflicts;
  m::Header(out, "flx_device_foreign_sn_pushes_total", m::Type::kCounter,
            "Pushes of the device whose client_sn named another serial number.");
  out += foreign;
  std::vector<std::pair<std::string, int64_t>> refusals;
  if (flxops::AuditCounts(refusals) != 0) return;
  m::Header(out, "flx_operator_refusals_total", m::Type::kCounter,
            "Refused operator calls: failed token checks (token-refused) and reads of another "
            "group's device (read-refused).");
  for (const auto& r : refusals)
    m::Sample(out, "flx_operator_refusals_total", m::Label("kind", r.first),
              static_cast<double>(r.second));
}

}  // namespace flxproduct
