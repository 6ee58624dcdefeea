// Fixtures for the POSIX-only platform tests: a private port directory with
// pseudo-terminals linked into it as "comN".
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace brevane_test {

// A temporary directory removed with everything in it at the end of a test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "brevane-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Sets (or, given nullptr, removes) an environment variable for the life of
// the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      had_old_ = true;
      old_ = old;
    }
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ScopedEnv(const char* name, const std::string& value) : ScopedEnv(name, value.c_str()) {}
  ~ScopedEnv() {
    if (had_old_) {
      setenv(name_.c_str(), old_.c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::string old_;
  bool had_old_ = false;
};

// One pseudo-terminal. The test plays the far end of the line on `master`;
// the code under test opens the slave, usually through a link "comN".
struct Pty {
  int master = -1;
  int slave = -1;  // kept open so the slave side never hangs up between opens
  std::string slave_path;

  Pty() {
    char name[256] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) == 0) slave_path = name;
  }
  ~Pty() {
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  void send(const std::string& octets) const {
    ASSERT_EQ(write(master, octets.data(), octets.size()), static_cast<ssize_t>(octets.size()));
  }

  // Reads what the port has written, waiting up to `wait_ms` for `count` octets.
  std::string receive(std::size_t count, int wait_ms = 1000) const {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    while (got.size() < count && std::chrono::steady_clock::now() < deadline) {
      pollfd entry{master, POLLIN, 0};
      if (poll(&entry, 1, 20) <= 0) continue;
      char buffer[256];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  // The slave's terminal settings as the kernel holds them (termios requests
  // on a Linux pty master act on its slave).
  termios slave_settings() const {
    termios settings{};
    tcgetattr(master, &settings);
    return settings;
  }
};

// Milliseconds taken by `action`.
template <typename Action>
long long elapsed_ms(Action&& action) {
  const auto start = std::chrono::steady_clock::now();
  action();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

// Runs `child` in a forked process and returns its exit status (-1 when it
// did not exit normally).
template <typename Child>
int run_in_child(Child&& child) {
  const pid_t pid = fork();
  if (pid == 0) _exit(child());
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace brevane_test
