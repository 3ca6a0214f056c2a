// What the fuzz targets share: a silent system log, waits that do not wait, and a fresh root.
#ifndef FLX_TESTS_FUZZ_FUZZ_SUPPORT_H
#define FLX_TESTS_FUZZ_FUZZ_SUPPORT_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace flxfuzz {

// Creates a temporary root, alone in a folder of its own (on /dev/shm when there is one, so
// database syncs cost nothing), points FLX_ROOT at it and initialises it as `flx-admin init`
// does; the folder is removed at exit. Aborts when that fails: a target without its root would
// fuzz nothing.
const std::string& makeRoot();

// Registers device `sn` in the current root with a session; returns the session id.
std::string addDeviceWithSession(const std::string& sn, uint64_t& id);

// Makes a log line whose format contains `text` abort the run, for lines that only a fault
// can cause.
void abortOnLogText(const char* text);

// Aborts, naming the entry, when folder `dir` holds a name that `allowed` refuses.
void checkEntries(const std::string& dir, bool (*allowed)(const std::string& name));

// Replaces the file at `path` with the `size` bytes at `data`; aborts when it cannot.
void writeFile(const std::string& path, const uint8_t* data, size_t size);

}  // namespace flxfuzz

#endif  // FLX_TESTS_FUZZ_FUZZ_SUPPORT_H
