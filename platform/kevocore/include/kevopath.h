// Whether a pushed text may become one component of a path in a mirror directory: shared by
// the module's writers and the read views.
#ifndef KEVOPATH_H
#define KEVOPATH_H

#include <string>

// True unless `name` is empty, "." or "..", or holds '/' or a NUL byte. Every writer that
// puts a pushed id or file name into a path asks this first.
bool isSafePathComponent(const std::string& name);

#endif  // KEVOPATH_H
