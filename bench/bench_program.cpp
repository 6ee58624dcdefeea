// How close a programming job's transfer comes to what the line allows: one
// controller on an emulated bus in this process, a whole programming job
// through the real engine, client, link and pty, and the frames on the line
// as the emulator saw them.
//
//   bench_program
//
// Prints, for the transfer (first block sent to last block acknowledged):
// its time, the octets on the line during it, the bus floor (octets × 10 bits
// ÷ 38400), their ratio, and the PC's turnaround while it holds the token
// (end of the controller's answer to the start of the PC's next frame) as
// median and 99th percentile.
//
// Then where the silent line went, gap by gap between two frames:
// - the controller's answer delay (end of a block to the start of its answer);
// - the PC's turnaround (end of an answer to the PC's next frame);
// - polls for a master: as the only master on the bus, the PC polls every
//   address up to its highest master address in turn once it has used the
//   token 50 times, and waits out the usage time-out after each poll that no
//   station answers;
// - the rest.
// The first two belong to the emulated controller and to the link, the polls
// to the token rules, so the last figure is the ratio with the controller's
// delay and the polls' waits taken out: what the PC's own pace leaves idle.
//
// Exits 1 when the job fails or the ratio is above 1.15.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "client/client.h"
#include "tests/support/emulated_bus.h"
#include "update/programmer.h"

namespace {

using test_support::LineFrame;

constexpr double kRatioTarget = 1.15;
constexpr uint8_t kController = 16;
constexpr uint8_t kDataExpectingReply = 5;
constexpr uint8_t kDataNotExpectingReply = 6;
constexpr uint8_t kPollForMaster = 1;
constexpr uint8_t kBlockService = 0xED;

constexpr const char* kScenario =
    "[controller]\naddress = 16\nhardware_id = 28\nversion = 14.00.172\nserial = 4410021\n"
    "model = QD4010A-6AC1100\nname = Boiler 1\nmax_master = 20\n";

int RunJob() {
  DeviceRecord record;
  std::strcpy(record.portName, "Com1");
  record.address = kController;
  record.hardwareId = 28;
  record.serialNumber = 4410021;
  std::strcpy(record.modelNumber, "QD4010A-6AC1100");
  if (Programmer_Init() != 1) return -1;
  Programmer_StartProgramming(&record);
  std::atomic<bool> stop{false};
  std::thread worker([&stop] {
    while (!stop.load()) {
      Programmer_Tick();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  });
  int status = ProgrammerRunning;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(5);
  while (status == ProgrammerRunning && std::chrono::steady_clock::now() < deadline) {
    status = Programmer_Wait(500);
  }
  stop = true;
  if (status == ProgrammerRunning) {
    worker.detach();
  } else {
    worker.join();
  }
  return status;
}

// The silent time of one kind of gap between frames.
struct Gap {
  double seconds = 0;
  std::size_t count = 0;

  void Add(double ms) {
    seconds += ms / 1000.0;
    ++count;
  }
  void Print(const char* what, double floorSeconds) const {
    std::printf("  %-26s %5zu gaps  %6.2f s  mean %6.2f ms  %5.1f %% of the floor\n", what, count,
                seconds, count == 0 ? 0.0 : seconds * 1000.0 / static_cast<double>(count),
                100.0 * seconds / floorSeconds);
  }
};

double Percentile(std::vector<double> values, double share) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto index = static_cast<std::size_t>(share * static_cast<double>(values.size() - 1));
  return values[index];
}

}  // namespace

int main() {
  test_support::EmulatedBus bus(kScenario, test_support::BusOptions().ExpectedImage(BREVANE_CARRIED_IMAGE));
  const int status = RunJob();
  Client_Close("Com1");
  bus.Stop();
  if (status != ProgrammerOk) {
    std::printf("the programming job ended with status %d\n", status);
    return 1;
  }

  const std::vector<LineFrame> frames = bus.Frames();
  std::size_t first = frames.size();
  std::size_t last = frames.size();
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const LineFrame& f = frames[i];
    if (!f.good || f.service != kBlockService) continue;
    if (f.type == kDataExpectingReply && f.dest == kController && first == frames.size()) {
      first = i;
    }
    if (f.type == kDataNotExpectingReply && f.src == kController) last = i;
  }
  if (first == frames.size() || last == frames.size() || last < first) {
    std::printf("no transfer seen on the line\n");
    return 1;
  }

  uint64_t octets = 0;
  std::vector<double> turnaroundMs;
  Gap answerDelay;
  Gap turnaround;
  Gap polls;
  Gap rest;
  const uint8_t pc = frames[first].src;
  for (std::size_t i = first; i <= last; ++i) {
    octets += frames[i].octets.size();
    if (i == last) break;
    const LineFrame& f = frames[i];
    const LineFrame& next = frames[i + 1];
    const double ms = static_cast<double>(next.firstOctetStart - f.lastOctetEnd) / 1000.0;
    if (f.src == pc && f.dest == kController && f.type == kDataExpectingReply &&
        next.src == kController) {
      answerDelay.Add(ms);
    } else if (f.src == kController && f.dest == pc && f.type == kDataNotExpectingReply &&
               next.src == pc) {
      turnaround.Add(ms);
      turnaroundMs.push_back(ms);
    } else if (f.src == pc && f.type == kPollForMaster) {
      polls.Add(ms);
    } else {
      rest.Add(ms);
    }
  }
  const double seconds =
      static_cast<double>(frames[last].lastOctetEnd - frames[first].firstOctetStart) / 1e6;
  const double floorSeconds = static_cast<double>(octets) * 10.0 / bus.baud();
  const double ratio = seconds / floorSeconds;
  std::printf("transfer time           %.2f s\n", seconds);
  std::printf("octets on the line      %llu\n", static_cast<unsigned long long>(octets));
  std::printf("bus floor               %.2f s\n", floorSeconds);
  std::printf("ratio                   %.3f (target %.2f)\n", ratio, kRatioTarget);
  std::printf("PC turnaround, token    median %.2f ms, p99 %.2f ms (%zu answers)\n",
              Percentile(turnaroundMs, 0.5), Percentile(turnaroundMs, 0.99), turnaroundMs.size());
  std::printf("silent line, by gap:\n");
  answerDelay.Print("controller's answer delay", floorSeconds);
  turnaround.Print("PC's turnaround", floorSeconds);
  polls.Print("after a poll for a master", floorSeconds);
  rest.Print("other", floorSeconds);
  const double paced = seconds - answerDelay.seconds - polls.seconds;
  std::printf("ratio without the controller's delay and the polls' waits  %.3f\n",
              paced / floorSeconds);
  return ratio <= kRatioTarget ? 0 : 1;
}
