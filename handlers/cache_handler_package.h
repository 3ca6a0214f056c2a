// The steps of the package cache handler (packageCacheUpdate), visible for tests.
#ifndef FLX_HANDLERS_CACHE_HANDLER_PACKAGE_H
#define FLX_HANDLERS_CACHE_HANDLER_PACKAGE_H

#include <json/value.h>
#include <stdint.h>

#include <string>

// Deletes every registry package of device `qxId` whose id is not among the "id" texts of
// `data["packages"]`, after removing its mirrored INFO file. 0 when the device's packages
// could be listed (whatever the removals did), -1 otherwise.
int removeStalePackages(const Json::Value& data, uint64_t qxId);

// Mirrors the pushed package limit file into the device's pkgs folder. 0 on success or when
// `limit` is not an object (nothing to write), -1 on failure.
int writePackageLimitFile(uint64_t qxId, const Json::Value& limit);

// Turns the sections of a rule file that apply to build `build` into "name>=min:name<=max:..."
// in `text`. -1 on failure; 0 when the file has no section (`text` untouched); else positive.
int evalPackageRuleFile(const char* path, int32_t build, std::string& text);

// Mirrors the entry's "info" as pkgs/<id>/INFO, creating the package folder. 0 or -1.
int writePackageInfoFile(uint64_t qxId, const Json::Value& pkg);

// Mirrors each file of the entry's "conf" object into pkgs/<id>/conf. 0 when the folder was
// handled (single files may have failed), -1 when it cannot be created.
int mirrorPackageConfFiles(uint64_t qxId, const Json::Value& pkg);

// Mirrors one package entry's files and stores its registry record, filled from the entry,
// its INFO file and its rule files evaluated against `build`. 0 or -1.
int updatePackageRecord(uint64_t qxId, const Json::Value& pkg, int32_t build);

#endif  // FLX_HANDLERS_CACHE_HANDLER_PACKAGE_H
