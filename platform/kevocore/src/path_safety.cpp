#include "kevopath.h"

bool isSafePathComponent(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  return name.find_first_of(std::string("/\0", 2)) == std::string::npos;
}
