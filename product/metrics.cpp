// What /metrics tells of the FLX product: items pushed by kind, the fleet from the summary and
// cache rows, the spool, and the build.
#include <syslog.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "flxhistory.h"
#include "flxread.h"
#include "flxread_metrics.h"
#include "flxspool.h"
#include "kevoids.h"
#include "kevoroot.h"
#include "product.h"

#ifndef FLX_VERSION
#define FLX_VERSION "unknown"
#endif

namespace flxproduct {

namespace m = webapihost::metrics;

namespace {

// The longest a scrape waits for a locked store before it answers without the fleet.
const int kFleetLockWaitMs = 250;
// Kinds are names a device chooses: plain ones only, others are counted as "other".
const size_t kMaxKindBytes = 64;

bool PlainKind(const std::string& kind) {
  if (kind.empty() || kind.size() > kMaxKindBytes) return false;
  for (char c : kind) {
    if (!isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-' && c != '.') return false;
  }
  return true;
}

struct SpoolState {
  double items = 0, bytes = 0, oldest = 0;
};

// One stat per file, no file read: the spool may hold large items.
SpoolState ReadSpool(time_t now) {
  SpoolState s;
  std::vector<flxspool::Entry> files;
  {
    kevo::RootIds ids;  // the spool is root's
    files = flxspool::files();
  }
  time_t oldest = now;
  for (const flxspool::Entry& e : files) {
    s.items += 1;
    s.bytes += static_cast<double>(e.bytes);
    oldest = std::min(oldest, e.notBefore);
  }
  s.oldest = s.items > 0 ? static_cast<double>(now - oldest) : 0;
  return s;
}

// The pushes the history has not taken yet: its notes after the offsets it committed.
void NotesMetrics(std::string& out, const flxhistory::Offsets& taken, time_t now) {
  long waiting = 0;
  int64_t oldest = -1;
  {
    kevo::RootIds ids;  // the notes folder is root's
    waiting = flxhistory::countNotes(taken, &oldest);
  }
  if (waiting < 0) return;  // no notes folder: nothing was ever noted
  m::Header(out, "flx_history_notes_waiting", m::Type::kGauge,
            "Notes of pushes that the history writer has not taken yet.");
  m::Sample(out, "flx_history_notes_waiting", "", static_cast<double>(waiting));
  m::Header(out, "flx_history_oldest_note_age_seconds", m::Type::kGauge,
            "How long the oldest note not taken yet has waited, in seconds; 0 when none waits.");
  m::Sample(out, "flx_history_oldest_note_age_seconds", "",
            oldest < 0 ? 0 : static_cast<double>(std::max<int64_t>(0, now - oldest)));
}

// Per-device series for every device, not only those with a mark (--metrics-all-devices).
bool gAllDevices = false;

// A device whose series a scrape carries: one the history marked or finds stale, or one it
// has not summarised yet (nothing tells it is well).
bool Wanted(const flxread::FleetDevice& d, time_t now) {
  return gAllDevices || !d.hasSummary || (!d.marks.empty() && d.marks != "[]") ||
         flxread::isStale(d.lastContact, d.pushInterval, now);
}

// Of a device shown, the objects that need a look: every volume of a device filling up and
// those at 80 % or more, the disks failing or at 50 °C or more (the alerts' subjects, with
// room to see them coming); all of them with --metrics-all-devices.
const double kShownUsePercent = 80;
const int64_t kShownCelsius = 50;

bool Shown(const flxread::FleetVolume& v, const std::unordered_set<int64_t>& filling) {
  return gAllDevices || filling.count(v.device) != 0 || !v.normal ||
         (v.total > 0 &&
          static_cast<double>(v.used) * 100 >= kShownUsePercent * static_cast<double>(v.total));
}

bool Shown(const flxread::FleetDisk& k) {
  return gAllDevices || k.failing || !k.smartOk || (k.hasTemp && k.temp >= kShownCelsius);
}

// The families of the whole fleet, whatever its size: a few series each.
void FleetFamilies(std::string& out, const flxread::Fleet& fleet) {
  m::Header(out, "flx_fleet_volumes", m::Type::kGauge,
            "Volumes of the whole fleet by use band (<50%, 50-80%, 80-90%, 90-95%, 95-100%, "
            "over 100% as a data problem, unknown size).");
  for (const char* band : {"<50%", "50-80%", "80-90%", "90-95%", "95-100%", ">100%", "unknown"}) {
    auto found = fleet.volumesByUse.find(band);
    m::Sample(out, "flx_fleet_volumes", m::Label("use", band),
              found != fleet.volumesByUse.end() ? static_cast<double>(found->second) : 0);
  }
  m::Header(out, "flx_fleet_disks_failing", m::Type::kGauge,
            "Failing disks of the whole fleet by model (the most common models; the rest as "
            "\"other\").");
  for (const auto& model : fleet.failingByModel)
    m::Sample(out, "flx_fleet_disks_failing", m::Label("model", model.first),
              static_cast<double>(model.second));
  std::map<std::string, double> marks = {{"failing", 0}, {"full", 0}, {"hot", 0}, {"filling", 0}};
  std::vector<std::pair<std::string, double*>> quoted;
  for (auto& mark : marks) quoted.emplace_back("\"" + mark.first + "\"", &mark.second);
  for (const flxread::FleetDevice& d : fleet.devices)
    if (d.marks.size() > 2)  // "[]": none
      for (auto& mark : quoted)
        if (d.marks.find(mark.first) != std::string::npos) *mark.second += 1;
  m::Header(out, "flx_devices_marked", m::Type::kGauge,
            "Devices by the history's marks (a device may have several).");
  for (const auto& mark : marks)
    m::Sample(out, "flx_devices_marked", m::Label("mark", mark.first), mark.second);
}

void FleetMetrics(std::string& out, const webapihost::MetricsFlush& flush, time_t now) {
  flxread::Fleet fleet;
  std::string err;
  const auto start = std::chrono::steady_clock::now();
  const bool read = flxread::fleetSnapshot(
                        kFleetLockWaitMs, fleet, err,
                        [now](const flxread::FleetDevice& d) { return Wanted(d, now); },
                        gAllDevices ? 0 : kShownCelsius) == flxread::kOk;
  if (!read) syslog(LOG_WARNING, "metrics: the fleet part is stale: %s", err.c_str());
  m::Header(out, "flx_fleet_stale", m::Type::kGauge,
            "1 when this scrape could not read the stores (locked or unreadable): the fleet "
            "families are missing from it.");
  m::Sample(out, "flx_fleet_stale", "", read ? 0 : 1);
  if (!read) return;
  m::Header(out, "flx_fleet_history_available", m::Type::kGauge,
            "1 when the history database exists; without it the families read from its "
            "summary rows (last push, devices by state) are missing.");
  m::Sample(out, "flx_fleet_history_available", "", fleet.history ? 1 : 0);
  m::Header(out, "flx_fleet_read_seconds", m::Type::kGauge,
            "Time this scrape took to read the fleet, in seconds.");
  m::Sample(out, "flx_fleet_read_seconds", "",
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  NotesMetrics(out, fleet.notesTaken, now);
  FleetFamilies(out, fleet);

  std::unordered_map<int64_t, std::string> labels;
  labels.reserve(fleet.devices.size());
  for (const flxread::FleetDevice& d : fleet.devices)
    if (Wanted(d, now))
      labels[d.id] = m::Label("sn", d.sn) + "," + m::Label("hostname", d.hostname) + "," +
                     m::Label("group", d.group);
  auto of = [&labels](int64_t id) -> const std::string* {
    auto it = labels.find(id);
    return it != labels.end() ? &it->second : nullptr;
  };

  {
    double reporting = 0, stale = 0, failing = 0;
    std::string last, interval, staleOut;
    for (const flxread::FleetDevice& d : fleet.devices) {
      const bool isStale = flxread::isStale(d.lastContact, d.pushInterval, now);
      if (const std::string* shown = of(d.id)) {
        const std::string& l = *shown;
        if (d.lastContact > 0)
          m::Sample(last, "flx_device_last_contact_timestamp_seconds", l,
                    static_cast<double>(d.lastContact));
        m::Sample(interval, "flx_device_push_interval_seconds", l,
                  static_cast<double>(flxread::livenessInterval(d.pushInterval)));
        m::Sample(staleOut, "flx_device_stale", l, isStale ? 1 : 0);
      }
      if (isStale) {
        stale += 1;
      } else if (d.disksFailing > 0) {
        failing += 1;
      } else {
        reporting += 1;
      }
    }
    m::Header(out, "flx_devices", m::Type::kGauge,
              "Devices by state: stale (no answered push for three push intervals), failing "
              "(a failing disk), reporting (the others).");
    m::Sample(out, "flx_devices", "state=\"reporting\"", reporting);
    m::Sample(out, "flx_devices", "state=\"stale\"", stale);
    m::Sample(out, "flx_devices", "state=\"failing\"", failing);
    m::Header(out, "flx_device_last_contact_timestamp_seconds", m::Type::kGauge,
              "When the device's last answered push arrived, in seconds since the epoch.");
    out += last;
    m::Header(out, "flx_device_push_interval_seconds", m::Type::kGauge,
              "The interval the device's liveness is measured in, in seconds: its usual gap "
              "between pushes as the history learnt it, the agent's interval until then.");
    out += interval;
    m::Header(out, "flx_device_stale", m::Type::kGauge,
              "1 when the device had no answered push for three push intervals, else 0.");
    out += staleOut;
  }

  // One family after the other, each object's labels made once; sent on every megabyte.
  const size_t kChunk = size_t(1) << 20;
  auto each = [&](auto& objects, const auto& value) {
    for (size_t i = 0; i < objects.size(); ++i) {
      value(objects[i]);
      if (out.size() >= kChunk) flush(out);
    }
  };
  std::unordered_set<int64_t> filling;
  for (const flxread::FleetDevice& d : fleet.devices)
    if (d.marks.find("\"filling\"") != std::string::npos) filling.insert(d.id);
  std::vector<const flxread::FleetVolume*> volumes;
  std::vector<std::string> volumeLabels;
  volumes.reserve(fleet.volumes.size());
  volumeLabels.reserve(fleet.volumes.size());
  for (const flxread::FleetVolume& v : fleet.volumes) {
    const std::string* l = of(v.device);
    if (l == nullptr || !Shown(v, filling)) continue;
    volumes.push_back(&v);
    volumeLabels.push_back(*l + ",volume=\"" + m::LabelValue(v.name) + "\"");
  }
  const struct {
    const char* name;
    const char* help;
    double (*value)(const flxread::FleetVolume&);
  } volumeFamilies[] = {
      {"flx_volume_used_bytes", "Bytes used on the volume.",
       [](const flxread::FleetVolume& v) { return static_cast<double>(v.used); }},
      {"flx_volume_size_bytes", "Size of the volume in bytes.",
       [](const flxread::FleetVolume& v) { return static_cast<double>(v.total); }},
      {"flx_volume_healthy", "1 when the volume's status is ready (or not reported), else 0.",
       [](const flxread::FleetVolume& v) { return v.normal ? 1.0 : 0.0; }},
  };
  for (const auto& f : volumeFamilies) {
    m::Header(out, f.name, m::Type::kGauge, f.help);
    size_t i = 0;
    each(volumes, [&](const flxread::FleetVolume* v) {
      m::Sample(out, f.name, volumeLabels[i++], f.value(*v));
    });
  }

  std::vector<const flxread::FleetDisk*> disks;
  std::vector<std::string> diskLabels;
  disks.reserve(fleet.disks.size());
  diskLabels.reserve(fleet.disks.size());
  for (const flxread::FleetDisk& k : fleet.disks) {
    const std::string* l = of(k.device);
    if (l == nullptr || !Shown(k)) continue;
    disks.push_back(&k);
    diskLabels.push_back(*l + ",disk=\"" + m::LabelValue(k.dev) + "\"");
  }
  m::Header(out, "flx_disk_failing", m::Type::kGauge,
            "1 when the disk's status or SMART health is not a normal one, else 0.");
  size_t i = 0;
  each(disks, [&](const flxread::FleetDisk* k) {
    m::Sample(out, "flx_disk_failing", diskLabels[i++], k->failing ? 1 : 0);
  });
  m::Header(out, "flx_disk_smart_healthy", m::Type::kGauge,
            "1 when the disk's SMART health is normal (or not reported), else 0.");
  i = 0;
  each(disks, [&](const flxread::FleetDisk* k) {
    m::Sample(out, "flx_disk_smart_healthy", diskLabels[i++], k->smartOk ? 1 : 0);
  });
  m::Header(out, "flx_disk_temperature_celsius", m::Type::kGauge,
            "The disk's temperature as last reported, in degrees Celsius.");
  i = 0;
  each(disks, [&](const flxread::FleetDisk* k) {
    const std::string& l = diskLabels[i++];
    if (k->hasTemp) m::Sample(out, "flx_disk_temperature_celsius", l, static_cast<double>(k->temp));
  });
}

}  // namespace

void SetMetricsAllDevices(bool all) {
  gAllDevices = all;
}

void DescribeMetrics() {
  m::Describe("flx_items_total", m::Type::kCounter,
              "Items in pushes, by kind (group.module) and the push's result (ok, or the error "
              "code).");
  m::Describe("flx_push_key_pushes_total", m::Type::kCounter,
              "Pushes whose items deciphered, by the key that deciphered them (its short id).");
}

void CountKeyUse(const std::string& keyId) {
  m::Add("flx_push_key_pushes_total", m::Label("key", keyId), 1);
}

void CountItems(const flxhistory::Kinds& pushed, const KEVO::APIResponse& response) {
  const std::string result = response.IsSuccess()
                                 ? std::string("ok")
                                 : std::to_string(response.ToJson()["error"]["code"].asInt());
  std::map<std::string, double> kinds;
  for (const auto& item : pushed) {
    const std::string kind = item.first.empty() ? std::string() : item.first + "." + item.second;
    kinds[PlainKind(kind) ? kind : "other"] += 1;
  }
  for (const auto& k : kinds) {
    const std::string rl = "," + m::Label("result", result);
    // A family that has all its series counts further kinds as "other".
    if (!m::Add("flx_items_total", m::Label("kind", k.first) + rl, k.second))
      m::Add("flx_items_total", m::Label("kind", "other") + rl, k.second);
  }
}

void ProductMetrics(std::string& out, const webapihost::MetricsFlush& flush) {
  const time_t now = static_cast<time_t>(flxread::clockNow());
  out.reserve(out.size() + (size_t(1) << 20));
  m::Header(out, "flx_build_info", m::Type::kGauge, "1, with the host's version as a label.");
  m::Sample(out, "flx_build_info", m::Label("version", FLX_VERSION), 1);
  const SpoolState spool = ReadSpool(now);
  m::Header(out, "flx_spool_items", m::Type::kGauge,
            "Pushed items a busy store refused, waiting in the spool to be stored.");
  m::Sample(out, "flx_spool_items", "", spool.items);
  m::Header(out, "flx_spool_bytes", m::Type::kGauge, "Bytes of the items waiting in the spool.");
  m::Sample(out, "flx_spool_bytes", "", spool.bytes);
  m::Header(out, "flx_spool_oldest_item_age_seconds", m::Type::kGauge,
            "How long the oldest item has waited in the spool (or since its last replay), in "
            "seconds; 0 when none waits.");
  m::Sample(out, "flx_spool_oldest_item_age_seconds", "", spool.oldest);
  EnrollMetrics(out);
  FleetMetrics(out, flush, now);
}

}  // namespace flxproduct
