// Helpers shared by the library's sources; nothing here is part of the public interface.
#ifndef KEVOCORE_SRC_KV_INTERNAL_H
#define KEVOCORE_SRC_KV_INTERNAL_H

#include <functional>
#include <string>

#include "kevocore.h"

// Records `code` in the error slot with the library source and line that found the failure.
#define KV_FAIL(code) KVLIBErrSetEx((code), __FILE_NAME__, __LINE__)

namespace kevocore {

// One parsed line of a configuration file, handed to a ConfVisitor.
struct ConfLine {
  enum Kind { kSection, kKeyValue } kind;
  const std::string& section;  // current section name (empty before the first header)
  bool inSection;              // false for keys before the first header
  const std::string& key;      // empty for a header
  const std::string& value;    // unquoted and trimmed
};

using ConfVisitor = std::function<void(const ConfLine&)>;

// Reads `path` line by line and calls `visit` for every section header and key/value line,
// split at the first `sep`. False (error slot set) when the file cannot be read to its end.
__attribute__((visibility("hidden"))) bool parseConfFile(const char* path, const char* sep,
                                                         const ConfVisitor& visit);

}  // namespace kevocore

#endif  // KEVOCORE_SRC_KV_INTERNAL_H
