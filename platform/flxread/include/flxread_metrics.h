// The fleet as a monitoring system reads it: one row per device from its last contact and the
// history's summary,
// and every volume and disk from the cache, in one read transaction that waits for a lock
// only briefly (a scrape must answer before its timeout).
#ifndef FLXREAD_METRICS_H
#define FLXREAD_METRICS_H

#include <stdint.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "flxread.h"

namespace flxread {

struct FleetDevice {
  int64_t id = 0;
  std::string sn, hostname;
  std::string group;        // the device's group; empty: none
  bool hasSummary = false;  // a summary row: the history recorded a push
  int64_t lastContact = 0;  // arrival of the last answered push, seconds; 0: none
  int64_t disksFailing = 0;
  int64_t pushInterval = 0;  // seconds the history learnt between pushes; 0 when unknown
  std::string marks;         // the summary's marks (a JSON array's text); "[]" when none
};

struct FleetVolume {
  int64_t device = 0;
  std::string name;
  int64_t used = 0, total = 0;
  bool normal = true;  // status ready (or empty)
};

struct FleetDisk {
  int64_t device = 0;
  std::string dev;
  std::string model;
  bool hasTemp = false;
  int64_t temp = 0;
  bool failing = false;  // status or SMART status not a normal one
  bool smartOk = true;   // SMART status normal (or not reported)
};

struct Fleet {
  bool history = false;  // the history database exists and was read
  // How far the history writer took each notes file (file name: offset); empty without it.
  std::map<std::string, uint64_t> notesTaken;
  std::vector<FleetDevice> devices;
  // Of the devices `wanted` chose only.
  std::vector<FleetVolume> volumes;
  std::vector<FleetDisk> disks;
  // The whole fleet in a few numbers: volumes by use ("<50%", "50-80%", "80-90%", "90-95%",
  // "95-100%", ">100%", "unknown") and failing disks by model (the most common models only,
  // the others as "other").
  std::map<std::string, int64_t> volumesByUse;
  std::map<std::string, int64_t> failingByModel;
};

// Most disk models named in failingByModel.
constexpr size_t kMaxFailingModels = 50;

// Reads the fleet, waiting up to `lockWaitMs` for a lock; the volumes and disks of the devices
// that `wanted` chooses (all when it is empty). kStoreFailed, with `err`, when a store is
// locked for longer or cannot be read; `out` is then empty.
// With `notableCelsius` above 0, of those devices' disks only the ones failing, with SMART
// not normal or at least that hot: read from their indexes, not every disk of the devices.
using WantedDevice = std::function<bool(const FleetDevice& device)>;
Result fleetSnapshot(int lockWaitMs, Fleet& out, std::string& err,
                     const WantedDevice& wanted = nullptr, int64_t notableCelsius = 0);

}  // namespace flxread

#endif  // FLXREAD_METRICS_H
