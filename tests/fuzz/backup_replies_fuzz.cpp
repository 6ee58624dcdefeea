// A backup run whose every completion the input makes: its status, and the
// reply's length and bytes (up to the longest message a frame carries).
//
// What must hold: one request on the bus at a time; the state stays a state;
// only classes and instances the device listed are read, never the live
// status class; the run ends; a backup file exists afterwards only under its
// final name, holding one record per read-instance reply that had class,
// instance and count, each that reply from its third byte on, and only when
// nothing was lost; a run in which anything was lost reports it.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "tests/fuzz/backup_fuzz_world.h"

namespace {

using backup_fuzz::Bytes;
using backup_fuzz::Check;

constexpr uint8_t kLiveStatusClass = 16;

// A reply of the input, made to look like the answer the request expects
// often enough that runs get past the class list.
Bytes ReplyTo(FuzzedDataProvider& in, const Bytes& request) {
  Bytes reply;
  switch (in.ConsumeIntegralInRange<int>(0, 3)) {
    case 0: {  // the answer's head, then a count and entries of the input
      reply.assign(request.begin(), request.end());
      const Bytes rest = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 12));
      reply.insert(reply.end(), rest.begin(), rest.end());
      break;
    }
    case 1:  // cut short
      reply.assign(request.begin(),
                   request.begin() + in.ConsumeIntegralInRange<std::ptrdiff_t>(
                                         0, static_cast<std::ptrdiff_t>(request.size())));
      break;
    case 2:  // as long as a frame can carry
      reply.assign(request.begin(), request.end());
      reply.resize(ClientMaxMessage, in.ConsumeIntegral<uint8_t>());
      break;
    default:
      reply = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, ClientMaxMessage));
      break;
  }
  if (reply.size() > ClientMaxMessage) reply.resize(ClientMaxMessage);
  return reply;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  backup_fuzz::Engine engine;
  BackupRun& run = engine.run;
  backup_fuzz::World& world = backup_fuzz::TheWorld();
  const std::string name = backup_fuzz::BackupFileName();
  const std::string partial = name + BackupPartialSuffix;
  Check(run.StartBackup("Com1", backup_fuzz::kAddress).Ok());

  std::set<uint8_t> listedClasses;
  std::set<uint8_t> listedInstances;  // of the class last listed
  Bytes expectedFile;
  bool anythingFailed = false;
  int failuresInARow = 0;
  // A run ends with the run idle, in the step that says so.
  bool ended = false;
  for (int step = 0; step < 50000 && !ended; ++step) {
    const bool said = run.Step();
    Check(backup_fuzz::ValidState(run.State()));
    Check(said == (run.State() == BackupState::Idle));
    Check(world.queued.size() <= 1);
    if (!world.queued.empty()) {
      const Bytes request = world.queued.front().request;
      Check(request[0] == 0x01);
      const bool listClasses = request.size() == 3 && request[1] == 0x02 && request[2] == 0x02;
      const bool listInstances = request.size() == 4 && request[1] == 0x02 && request[2] == 0x03;
      const bool readInstance = request.size() == 4 && request[1] == 0x05;
      Check(listClasses || listInstances || readInstance);
      if (listInstances) Check(listedClasses.count(request[3]) == 1 && request[3] != kLiveStatusClass);
      if (readInstance) {
        Check(listedClasses.count(request[2]) == 1 && request[2] != kLiveStatusClass);
        Check(listedInstances.count(request[3]) == 1);
      }

      const uint32_t status = in.ConsumeBool() ? in.ConsumeIntegralInRange<uint32_t>(1, 4) : 0;
      const Bytes reply = status == 0 ? ReplyTo(in, request) : Bytes{};
      // A message is sent four times before the run gives up on it.
      failuresInARow = status == 0 ? 0 : failuresInARow + 1;
      if (failuresInARow == 4) {
        anythingFailed = true;
        failuresInARow = 0;
      }
      if (status == 0 && listClasses) {
        listedClasses.clear();
        if (reply.size() > 3) {
          for (std::size_t i = 4; i < reply.size() && i < 4u + reply[3]; ++i) listedClasses.insert(reply[i]);
          if (reply.size() < 4u + reply[3]) anythingFailed = true;
        } else {
          anythingFailed = true;
        }
      }
      if (status == 0 && listInstances) {
        listedInstances.clear();
        if (reply.size() > 4) {
          for (std::size_t i = 5; i < reply.size() && i < 5u + reply[4]; ++i) {
            listedInstances.insert(reply[i]);
          }
          if (reply.size() < 5u + reply[4]) anythingFailed = true;
        } else {
          anythingFailed = true;
        }
      }
      if (status == 0 && readInstance) {
        if (reply.size() >= 2 + BackupShortestRecord) {
          const std::size_t payload = reply.size() - 2;
          expectedFile.push_back(static_cast<uint8_t>(payload));
          expectedFile.push_back(static_cast<uint8_t>(payload >> 8));
          expectedFile.insert(expectedFile.end(), reply.begin() + 2, reply.end());
        } else {
          anythingFailed = true;
        }
      }
      world.Complete(status, status == 0 ? reply.data() : nullptr, static_cast<uint32_t>(reply.size()));
    }
    ended = run.State() == BackupState::Idle;
  }
  Check(ended);
  const Result result = run.RunResult();
  // What can go wrong with a device that answers with anything: a setting
  // that cannot be read, or a backup that does not read back whole.
  Check(result.Ok() || result.outcome == Outcome::SettingFailed || result.outcome == Outcome::FileFailed);
  Check(result.Ok() == run.Facts().saved);
  Check(world.openHandles == 0);
  Check(world.files.count(partial) == 0);
  if (anythingFailed) Check(!result.Ok());
  if (result.Ok()) Check(world.files.count(name) == 1 && world.files.at(name) == expectedFile);
  if (world.files.count(name) == 1) {
    // Every record can be restored: its length is that of a settings record.
    const Bytes& file = world.files.at(name);
    for (std::size_t at = 0; at < file.size();) {
      Check(at + 2 <= file.size());
      const std::size_t length = file[at] | std::size_t{file[at + 1]} << 8;
      Check(length >= BackupShortestRecord && length <= BackupLongestRecord);
      Check(at + 2 + length <= file.size());
      at += 2 + length;
    }
  }
  return 0;
}
