// Helpers shared by the POSIX backend: the per-thread error code behind
// last_error(), and the per-user directories where ports, locks and state live.
#pragma once

#include <cerrno>
#include <cstdint>
#include <string>

namespace plat::posix {

// Records `err` as the calling thread's last failure.
void set_error(int err);

// Records errno as the last failure and returns false, for one-line failure paths.
inline bool fail_errno() {
  set_error(errno);
  return false;
}

inline bool fail(int err) {
  set_error(err);
  return false;
}

// Value of an environment variable, or empty when unset.
std::string env_or_empty(const char* name);

// "${XDG_RUNTIME_DIR}/brevane" when the variable is set, otherwise
// "/tmp/brevane-<uid>": the per-user base of the port directory and the lock
// files of global semaphores.
std::string runtime_base();

// Creates `path` and its missing parents with the given mode. True when it
// exists as a directory afterwards.
bool make_dirs(const std::string& path, unsigned mode);

// Like make_dirs, and additionally refuses a directory that is a symbolic link
// or belongs to another user: the shared /tmp must not let someone else plant
// our lock files.
bool make_private_dir(const std::string& path);

// Escapes `name` into one safe file-name component: ASCII letters are folded
// to lower case (Windows names compare without case), letters, digits, '-'
// and '_' stay, every other octet becomes %XX. The result never holds '/' or
// '.', so it cannot be "." or ".." or reach outside its directory.
std::string escape_name(const std::string& name);

}  // namespace plat::posix
