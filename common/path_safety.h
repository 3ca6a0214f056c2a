// Whether a pushed text may become one component of a path in the mirror directory.
#ifndef FLX_COMMON_PATH_SAFETY_H
#define FLX_COMMON_PATH_SAFETY_H

#include <string>

// True unless `name` is empty, "." or "..", or holds '/' or a NUL byte. Every writer that
// puts a pushed id or file name into a path asks this first.
bool isSafePathComponent(const std::string& name);

#endif  // FLX_COMMON_PATH_SAFETY_H
