// What one open port of the link costs and how quickly it turns the bus
// around, on an emulated bus of two controllers (tarnix-sim, run as its own
// process so that only the link's own work is counted here).
//
//   bench_link [--sim PATH] [--seconds N] [--requests N] [--label TEXT]
//
// The link does not open the emulator's port itself: it opens a pty of this
// program, and a relay thread copies octets between that pty and the
// emulator's port, stamping each with the monotonic clock. So the figures are
// taken where the link meets its port, whatever the link does inside, and
// the same program measures any build of the link.
//
// 1. CPU: the port joins the ring as station 0 and holds the token in turn
//    with nothing to send, for N seconds (default 30); the figure is the
//    process's user and system time, less the relay thread's, as a share of
//    one core.
// 2. Requests: read-instance requests to station 16 from the token-obtained
//    delegate, one per token hold.
//    - turnaround: from the last octet of the controller's answer written to
//      the link's port to the first octet of the link's next frame read from
//      it (the token pass: the link still holds the token);
//    - the link's share of a round trip: from the delegate's send call to the
//      request's first octet on the port, plus from the answer's last octet
//      on the port to the upcall that delivers it.
//
// Exits 1 when a figure misses its aim (turnaround median 0.5 ms, p99 2 ms;
// link share median 0.5 ms; CPU 1 % of a core), 2 when it cannot run.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "link/tarnix_link.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPort = "Com1";
constexpr double kTurnaroundMedianAimMs = 0.5;
constexpr double kTurnaroundP99AimMs = 2.0;
constexpr double kShareMedianAimMs = 0.5;
constexpr double kCpuAimPercent = 1.0;
constexpr uint8_t kController = 16;
constexpr uint8_t kPc = 0;
constexpr uint8_t kDataNotExpectingReply = 6;
const uint8_t kRequest[4] = {0x01, 0x05, 0x01, 0x01};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::atomic<bool> gSending{false};
std::atomic<long> gTokenCalls{0};
std::atomic<long> gFailures{0};

// Shared between the delegates (master thread) and the relay thread.
std::mutex gLock;
Clock::time_point gCallAt;          // the delegate's send call
bool gCallPending = false;          // no octet of that request seen yet
Clock::duration gSendShare{};       // call to first octet out
bool gSendSeen = false;             // gSendShare belongs to the request under way
bool gAnswerSeen = false;           // gAnswerEndAt belongs to it too
Clock::time_point gAnswerEndAt;     // last octet of the answer into the port
bool gAnswerPending = false;        // no octet from the link since the answer
std::vector<double> gTurnarounds;   // ms
std::vector<double> gShares;        // ms

uint8_t OnToken(const char* portName) {
  ++gTokenCalls;
  if (!gSending.load()) return 0;
  {
    std::lock_guard<std::mutex> guard(gLock);
    gCallAt = Clock::now();
    gCallPending = true;
    gSendSeen = false;
    gAnswerSeen = false;
  }
  if (TarnixLink_SendFrame(portName, kController, kRequest, sizeof kRequest, 1) != 0) {
    std::lock_guard<std::mutex> guard(gLock);
    gCallPending = false;
  }
  return 0;  // one request per token hold
}

int32_t OnUpcall(const char*, const uint8_t*, uint32_t, uint32_t, UpcallStatus status) {
  const Clock::time_point now = Clock::now();
  if (status != Delivered) {
    ++gFailures;
    return 0;
  }
  std::lock_guard<std::mutex> guard(gLock);
  // Only an answer to a request of this phase, both ends of it seen.
  if (gSending.load() && gSendSeen && gAnswerSeen) {
    gShares.push_back(Ms(gSendShare + (now - gAnswerEndAt)));
  }
  gSendSeen = false;
  gAnswerSeen = false;
  return 0;
}

// Finds the end of each frame in the octets going to the link and notes when
// an answer of the controller to the PC has gone in whole.
class AnswerWatch {
 public:
  // True when `octet` completes a Data Not Expecting Reply from the
  // controller to the PC.
  bool Push(uint8_t octet) {
    frame_.push_back(octet);
    if (frame_.size() == 1 && octet != 0x55) {
      frame_.clear();
      return false;
    }
    if (frame_.size() == 2 && octet != 0xFF) {
      frame_.clear();
      if (octet == 0x55) frame_.push_back(octet);
      return false;
    }
    if (frame_.size() < 8) return false;
    const size_t length = static_cast<size_t>(frame_[5]) * 256 + frame_[6];
    const size_t total = length == 0 ? 8 : 8 + length + 2;
    if (frame_.size() < total) return false;
    const bool answer = frame_[2] == kDataNotExpectingReply && frame_[3] == kPc && frame_[4] == kController;
    frame_.clear();
    return answer;
  }

 private:
  std::vector<uint8_t> frame_;
};

struct Relay {
  int simFd = -1;   // the emulator's port
  int linkFd = -1;  // master side of the pty the link opens
  std::atomic<bool> stop{false};
  clockid_t cpuClock{};

  void Run() {
    pthread_getcpuclockid(pthread_self(), &cpuClock);
    // The relay stands in for the port's driver, which no busy program on the
    // machine holds up: at a real-time priority (as the emulator runs) its
    // stamps are not delayed by the other programs' load. Without the right
    // to it, it runs as it is.
    sched_param param{};
    param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 9;
    static_cast<void>(pthread_setschedparam(pthread_self(), SCHED_FIFO, &param));
    AnswerWatch watch;
    uint8_t buffer[512];
    pollfd fds[2] = {{simFd, POLLIN, 0}, {linkFd, POLLIN, 0}};
    while (!stop.load()) {
      if (poll(fds, 2, 50) <= 0) continue;
      if ((fds[0].revents & POLLIN) != 0) {
        const ssize_t n = read(simFd, buffer, sizeof buffer);
        if (n > 0) {
          // Octet by octet, so that the answer's last octet is stamped as it
          // reaches the link and not with octets after it.
          for (ssize_t i = 0; i < n; ++i) {
            if (write(linkFd, &buffer[i], 1) != 1) continue;
            if (watch.Push(buffer[i])) {
              std::lock_guard<std::mutex> guard(gLock);
              gAnswerEndAt = Clock::now();
              gAnswerPending = true;
              gAnswerSeen = gSendSeen;
            }
          }
        }
      }
      if ((fds[1].revents & POLLIN) != 0) {
        const ssize_t n = read(linkFd, buffer, sizeof buffer);
        if (n > 0) {
          const Clock::time_point now = Clock::now();
          {
            std::lock_guard<std::mutex> guard(gLock);
            if (gAnswerPending) {
              gAnswerPending = false;
              if (gSending.load()) gTurnarounds.push_back(Ms(now - gAnswerEndAt));
            }
            if (gCallPending) {
              gCallPending = false;
              gSendShare = now - gCallAt;
              gSendSeen = true;
            }
          }
          size_t done = 0;
          while (done < static_cast<size_t>(n)) {
            const ssize_t w = write(simFd, buffer + done, static_cast<size_t>(n) - done);
            if (w <= 0) break;
            done += static_cast<size_t>(w);
          }
        }
      }
    }
  }

  double CpuSeconds() const {
    timespec t{};
    clock_gettime(cpuClock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
  }
};

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
  };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

double Percentile(std::vector<double> values, double share) {
  std::sort(values.begin(), values.end());
  const auto index = static_cast<size_t>(share * static_cast<double>(values.size() - 1) + 0.5);
  return values[index];
}

pid_t StartSim(const std::string& sim, const std::filesystem::path& dir) {
  const std::filesystem::path scenario = dir / "scenario.txt";
  std::ofstream(scenario) << "[controller]\naddress = 16\nmax_master = 20\n"
                             "[controller]\naddress = 17\nmax_master = 20\n";
  const std::string ports = (dir / "sim-ports").string();
  const std::string scenarioPath = scenario.string();
  const char* argv[] = {sim.c_str(), "--ports", ports.c_str(), "--scenario", scenarioPath.c_str(),
                        nullptr};
  pid_t pid = 0;
  if (posix_spawn(&pid, sim.c_str(), nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0) {
    return -1;
  }
  for (int waited = 0; waited < 5000; waited += 10) {
    if (std::filesystem::exists(dir / "sim-ports" / "com1")) return pid;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  return -1;
}

// Opens `path` as a raw tty at 38400 baud (the speed the emulator reads from
// its port's settings).
int OpenRaw(const char* path) {
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios settings{};
  tcgetattr(fd, &settings);
  cfmakeraw(&settings);
  cfsetispeed(&settings, B38400);
  cfsetospeed(&settings, B38400);
  tcsetattr(fd, TCSANOW, &settings);
  return fd;
}

// The pty the link opens as Com1; returns the master side.
int MakeLinkPort(const std::filesystem::path& portsDir) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return -1;
  termios settings{};
  tcgetattr(master, &settings);
  cfmakeraw(&settings);
  tcsetattr(master, TCSANOW, &settings);
  std::filesystem::create_directories(portsDir);
  std::filesystem::create_symlink(ptsname(master), portsDir / "com1");
  return master;
}

bool Report(const char* what, const std::vector<double>& values, double medianAim, double p99Aim) {
  if (values.empty()) {
    std::printf("%-44s no samples\n", what);
    return false;
  }
  const double median = Percentile(values, 0.5);
  const double p99 = Percentile(values, 0.99);
  std::printf("%-44s median %6.3f ms  p99 %6.3f ms  (%zu samples)\n", what, median, p99, values.size());
  return median <= medianAim && p99 <= p99Aim;
}

}  // namespace

int main(int argc, char** argv) {
  std::string sim = (std::filesystem::path(argv[0]).parent_path() / "tarnix-sim").string();
  long seconds = 30;
  size_t requests = 500;
  std::string label = "link";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--sim") == 0) {
      sim = argv[i + 1];
    } else if (std::strcmp(argv[i], "--seconds") == 0) {
      seconds = std::atol(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--requests") == 0) {
      requests = static_cast<size_t>(std::atol(argv[i + 1]));
    } else if (std::strcmp(argv[i], "--label") == 0) {
      label = argv[i + 1];
    }
  }
  char pattern[] = "/tmp/bench-link-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 2;
  const std::filesystem::path dir = pattern;
  const pid_t simPid = StartSim(sim, dir);
  if (simPid < 0) {
    std::fprintf(stderr, "bench_link: cannot start %s\n", sim.c_str());
    return 2;
  }
  Relay relay;
  relay.simFd = OpenRaw((dir / "sim-ports" / "com1").c_str());
  relay.linkFd = MakeLinkPort(dir / "link-ports");
  if (relay.simFd < 0 || relay.linkFd < 0) {
    std::fprintf(stderr, "bench_link: cannot make the relay's ports\n");
    kill(simPid, SIGTERM);
    waitpid(simPid, nullptr, 0);
    return 2;
  }
  std::thread relayThread([&relay] { relay.Run(); });
  setenv("BREVANE_PORTS", (dir / "link-ports").c_str(), 1);
  LinkConfig config{kPort, 38400, 20, 1, kPc, OnToken, OnUpcall};
  int status = 2;
  if (TarnixLink_Init(&config) == 0) {
    // Let the ring form before measuring.
    std::this_thread::sleep_for(std::chrono::seconds(2));
    const long tokensBefore = gTokenCalls.load();
    const double cpuBefore = ProcessCpuSeconds() - relay.CpuSeconds();
    const Clock::time_point start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpuPercent = 100.0 * (ProcessCpuSeconds() - relay.CpuSeconds() - cpuBefore) / wall;

    gSending = true;
    for (int waited = 0; waited < 600; ++waited) {
      {
        std::lock_guard<std::mutex> guard(gLock);
        if (gShares.size() >= requests) break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    gSending = false;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    TarnixLink_UnInit(kPort);
    std::vector<double> turnarounds;
    std::vector<double> shares;
    {
      std::lock_guard<std::mutex> guard(gLock);
      turnarounds = gTurnarounds;
      shares = gShares;
    }
    std::printf("[%s]\n", label.c_str());
    std::printf("%-44s %6.2f %% of one core over %.0f s (%ld token holds)\n",
                "idle port on a ring with two masters:", cpuPercent, wall,
                gTokenCalls.load() - tokensBefore);
    const bool turnaroundMet = Report("turnaround, answer in to next frame out:", turnarounds,
                                      kTurnaroundMedianAimMs, kTurnaroundP99AimMs);
    const bool shareMet = Report("link's share of a request's round trip:", shares,
                                 kShareMedianAimMs, 1e9);
    std::printf("%-44s %ld\n", "requests not answered:", gFailures.load());
    std::printf("aims: turnaround median %.1f ms, p99 %.1f ms; share median %.1f ms; CPU %.1f %%\n",
                kTurnaroundMedianAimMs, kTurnaroundP99AimMs, kShareMedianAimMs, kCpuAimPercent);
    status = turnaroundMet && shareMet && cpuPercent <= kCpuAimPercent ? 0 : 1;
  } else {
    std::fprintf(stderr, "bench_link: cannot open %s\n", kPort);
  }
  relay.stop = true;
  relayThread.join();
  close(relay.simFd);
  close(relay.linkFd);
  kill(simPid, SIGTERM);
  waitpid(simPid, nullptr, 0);
  std::filesystem::remove_all(dir);
  return status;
}
