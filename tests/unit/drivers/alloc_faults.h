// Allocation failures on demand, for testing what the containers do when
// malloc, calloc or realloc returns null.
//
// The test binary is linked with --wrap for the three functions, so every call
// from code linked statically into it (the drivers area, the tests) passes
// through here; calls made inside shared libraries (libstdc++, libkmbase) do
// not. Single-threaded use only.
#pragma once

namespace alloc_faults {

// While alive: the first `skip` allocation calls succeed, the next `fail`
// calls return null, later ones succeed again.
class Scope {
 public:
  Scope(int skip, int fail);
  ~Scope();
  Scope(const Scope &) = delete;
  Scope &operator=(const Scope &) = delete;

  // Calls that returned null so far.
  int failed() const;
};

}  // namespace alloc_faults
