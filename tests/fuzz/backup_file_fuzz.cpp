// Arbitrary bytes as a backup file, restored onto a device. The first byte
// says which requests the device lets fail; the rest is the file.
//
// What must hold: every write-instance message is a record of the file, in
// file order, sent again only after a failure and at most four times; a record
// of the input class differs from its message only by the one calibration
// item taken out; nothing beyond the file's records is sent; the run ends,
// and the file is deleted exactly when the run succeeded. DropMember is also
// given the whole input as a message: it takes out one whole item of the
// member or nothing.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "client/typed_value.h"
#include "tests/fuzz/backup_fuzz_world.h"

namespace {

using backup_fuzz::Bytes;
using backup_fuzz::Check;

constexpr uint8_t kInputClass = 3;
constexpr uint8_t kCalibrationMember = 7;
constexpr int kAttempts = 4;

// `after` is `before` with one item of `member` taken out, or `before` itself.
void CheckDropped(const Bytes& before, const uint8_t* after, uint16_t afterLength, uint8_t member) {
  Check(afterLength <= before.size());
  if (afterLength == before.size()) {
    Check(afterLength == 0 || std::memcmp(before.data(), after, afterLength) == 0);
    return;
  }
  const std::size_t removed = before.size() - afterLength;
  Check(before.size() > 5 && before[4] > 0 && after[4] == before[4] - 1);
  Check(std::memcmp(before.data(), after, 4) == 0);
  // The gap starts at an item of the member and holds exactly its value.
  std::size_t at = 5;
  while (at < afterLength && before[at] == after[at]) ++at;
  for (;;) {
    if (at + removed <= before.size() && before[at] == member &&
        std::memcmp(before.data() + at + removed, after + at, afterLength - at) == 0) {
      TypedValue value;
      if (TypedValue_Decode(before.data() + at + 1, before.size() - at - 1, &value) == removed - 1) break;
    }
    // Equal bytes before the gap may hide where it starts.
    Check(at > 5);
    --at;
  }
}

void FuzzDropMember(const uint8_t* data, std::size_t size) {
  if (size < 1) return;
  const uint8_t member = data[0];
  const Bytes before(data + 1, data + std::min<std::size_t>(size, 1 + BackupLongestRecord + 2));
  std::vector<uint8_t> message(before);  // exactly as long as the message
  uint16_t length = static_cast<uint16_t>(message.size());
  DropMember(message.data(), &length, member);
  CheckDropped(before, message.data(), length, member);
}

// The good records of the file, in order, and whether every part of the file
// was a good record.
std::vector<Bytes> RecordsOf(const Bytes& file, bool* whole) {
  std::vector<Bytes> records;
  std::size_t at = 0;
  *whole = true;
  while (at < file.size()) {
    if (at + 2 > file.size()) {
      *whole = false;
      break;
    }
    const std::size_t length = file[at] | std::size_t{file[at + 1]} << 8;
    if (length < BackupShortestRecord || length > BackupLongestRecord) {
      *whole = false;
      at += 2 + length;
      continue;
    }
    if (at + 2 + length > file.size()) {
      *whole = false;
      break;
    }
    records.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(at + 2),
                         file.begin() + static_cast<std::ptrdiff_t>(at + 2 + length));
    at += 2 + length;
  }
  return records;
}

void FuzzRestore(const uint8_t* data, std::size_t size) {
  if (size < 1) return;
  const uint8_t failing = data[0];  // bit k: request k (mod 8) fails
  const Bytes file(data + 1, data + size);
  bool whole = false;
  const std::vector<Bytes> records = RecordsOf(file, &whole);

  backup_fuzz::Engine engine;
  BackupRun& run = engine.run;
  backup_fuzz::World& world = backup_fuzz::TheWorld();
  const std::string name = backup_fuzz::BackupFileName();
  world.files[name] = file;
  Check(run.StartRestore("Com1", backup_fuzz::kAddress, 28, true).Ok());

  std::size_t record = 0;
  int attempt = 0;
  bool gaveUp = false;
  std::size_t lost = 0;  // records the device never took
  std::size_t requests = 0;
  // A run ends with the run idle, in the step that says so.
  bool ended = false;
  const std::size_t steps = 16 * (records.size() + 1) * kAttempts + file.size() + 64;
  for (std::size_t step = 0; step < steps && !ended; ++step) {
    const bool said = run.Step();
    Check(backup_fuzz::ValidState(run.State()));
    Check(said == (run.State() == BackupState::Idle));
    while (!world.queued.empty()) {
      const Bytes request = world.queued.front().request;
      // The message for the record the run has reached.
      Check(record < records.size());
      Check(request.size() >= 2 && request[0] == 0x01 && request[1] == 0x0A);
      const Bytes& expected = records[record];
      if (expected[0] == kInputClass) {
        Bytes full = {0x01, 0x0A};
        full.insert(full.end(), expected.begin(), expected.end());
        CheckDropped(full, request.data(), static_cast<uint16_t>(request.size()), kCalibrationMember);
      } else {
        Check(Bytes(request.begin() + 2, request.end()) == expected);
      }
      const bool fails = (failing >> (requests++ % 8) & 1) != 0;
      ++attempt;
      if (!fails || attempt == kAttempts) {
        gaveUp = gaveUp || fails;
        if (fails) ++lost;
        ++record;
        attempt = 0;
      }
      const uint8_t reply[] = {0x01, 0x0A, request[2], request[3]};
      world.Complete(fails ? 1 : 0, fails ? nullptr : reply, fails ? 0 : static_cast<uint32_t>(sizeof reply));
    }
    ended = run.State() == BackupState::Idle;
  }
  Check(ended);
  const Result result = run.RunResult();
  Check(record == records.size());
  Check(world.openHandles == 0);
  const bool succeeded = whole && !gaveUp;
  Check(result.Ok() == succeeded);
  Check(run.Facts().recordsRestored == records.size() - lost);
  Check((world.files.count(name) == 0) == succeeded);
  if (!succeeded) Check(world.files.at(name) == file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzDropMember(data, size);
  FuzzRestore(data, size);
  return 0;
}
