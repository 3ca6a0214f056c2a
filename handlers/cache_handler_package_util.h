// What the steps of the package handler share: paths in the device's pkgs folder, folder
// creation, the mirroring of one pushed file, and the reading of a package id.
#ifndef FLX_HANDLERS_CACHE_HANDLER_PACKAGE_UTIL_H
#define FLX_HANDLERS_CACHE_HANDLER_PACKAGE_UTIL_H

#include <json/value.h>
#include <stddef.h>
#include <stdint.h>

#include <string>

namespace pkg {

// Every log line of the package handler names this source.
extern const char kSource[];

constexpr size_t kPathSize = 4096;
// The limit file lives beside the package folders, so no package may take its name.
extern const char kLimitFileName[];

// Formats a path into a kPathSize buffer. False, with a log line, when it does not fit.
bool composePath(char* buf, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
// <mirror>/pkgs
bool pkgsFolderPath(char* buf, uint64_t qxId);
// <mirror>/pkgs/<id><tail>, tail "" for the package folder or "/INFO", "/conf", ...
bool packagePath(char* buf, uint64_t qxId, const std::string& id, const char* tail);

// Creates `folder` with its parents inside a privileged section known by `line`. 0 or -1.
int makeFolder(const char* folder, int line);

// The source lines of one kind of mirrored file: the write check, its form, the chmod section.
struct MirrorLines {
  int write;
  bool longForm;
  int chmod;
};
// Mirrors pushed file `file` at `path` and gives a newly created file mode 0644. -1 when
// either failed (logged).
int mirrorFile(const char* path, const Json::Value& file, const MirrorLines& at);

// Whether a package id may name a folder of the device's pkgs folder.
bool isUsablePackageId(const std::string& id);
// The entry's "id" as text when it may name a folder; false with a log line otherwise.
bool readPackageId(const Json::Value& pkg, std::string& id);

}  // namespace pkg

#endif  // FLX_HANDLERS_CACHE_HANDLER_PACKAGE_UTIL_H
