// A pseudo-terminal playing the far end of a COM port: its slave side is
// linked as <port directory>/comN, where the platform's port lookup finds it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace tarnix_test {

using Octets = std::vector<uint8_t>;

// A fresh port directory, named in BREVANE_PORTS for as long as it lives.
class PortDirectory {
 public:
  PortDirectory() {
    char pattern[] = "/tmp/link-ports-XXXXXX";
    const char* made = mkdtemp(pattern);
    EXPECT_NE(nullptr, made);
    path_ = made == nullptr ? std::string() : made;
    setenv("BREVANE_PORTS", path_.c_str(), 1);
  }
  ~PortDirectory() {
    unsetenv("BREVANE_PORTS");
    rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

class PtyPeer {
 public:
  PtyPeer(const PortDirectory& dir, const char* linkName)
      : link_(dir.path() + "/" + linkName) {
    master_ = posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(master_, 0);
    EXPECT_EQ(0, grantpt(master_));
    EXPECT_EQ(0, unlockpt(master_));
    const char* slave = ptsname(master_);
    EXPECT_NE(nullptr, slave);
    EXPECT_EQ(0, symlink(slave, link_.c_str()));
  }
  ~PtyPeer() {
    unlink(link_.c_str());
    close(master_);
  }

  int fd() const { return master_; }

  void Send(const Octets& octets) {
    EXPECT_EQ(static_cast<ssize_t>(octets.size()), write(master_, octets.data(), octets.size()));
    // The pty hands written octets to the other side a moment later.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  // Everything the link wrote, read until the line has been quiet for `quietMs`
  // (or for at most two seconds of a line that never goes quiet).
  Octets Drain(int quietMs = 60) {
    Octets got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < end) {
      pollfd entry{master_, POLLIN, 0};
      if (poll(&entry, 1, quietMs) <= 0 || (entry.revents & POLLIN) == 0) {
        return got;
      }
      uint8_t buffer[256];
      const ssize_t n = read(master_, buffer, sizeof(buffer));
      if (n <= 0) {
        return got;
      }
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

  // Everything the link writes during the next `ms` milliseconds.
  Octets ReadFor(int ms) {
    Octets got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (auto now = std::chrono::steady_clock::now(); now < end; now = std::chrono::steady_clock::now()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now).count();
      pollfd entry{master_, POLLIN, 0};
      if (poll(&entry, 1, static_cast<int>(left) + 1) <= 0 || (entry.revents & POLLIN) == 0) {
        continue;
      }
      uint8_t buffer[256];
      const ssize_t n = read(master_, buffer, sizeof(buffer));
      if (n <= 0) {
        break;
      }
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

 private:
  std::string link_;
  int master_ = -1;
};

}  // namespace tarnix_test
