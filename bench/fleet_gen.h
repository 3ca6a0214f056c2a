// A fleet of a realistic shape written straight into the stores of the current root (no
// pushes): per device 2-8 volumes, 4-24 disks, 2-20 applications and 20-1,000 packages (most
// devices near the low end, a few large machines), a summary row each, the fleet's software
// counts, and a year of events and daily volume samples for every tenth device.
#ifndef FLX_BENCH_FLEET_GEN_H
#define FLX_BENCH_FLEET_GEN_H

#include <stdint.h>

#include <string>

namespace fleetgen {

struct Shape {
  long devices = 0;
  long volumes = 0, disks = 0, apps = 0, packages = 0, events = 0, samples = 0;
};

// The serial number and host name of device `i` (0-based; its registry id is i + 1).
std::string serial(long i);
std::string hostname(long i);
// Device 1 (index 1) always has exactly this many packages: the device page's worst case.
constexpr int kLargestDevicePackages = 1000;

// Fills the initialised root of FLX_ROOT with `devices` devices as of `now`. False, with
// `err`, on any failure.
bool generate(long devices, int64_t now, Shape& shape, std::string& err);

}  // namespace fleetgen

#endif  // FLX_BENCH_FLEET_GEN_H
