// A programming job whose every completion the input makes, delivered in
// queue order as the link would, between ticks the input interleaves: the
// control answers and block answers may be right, refused, cut short, for
// another block, a programming error, arbitrary bytes or missing.
//
// What must hold: the state stays a state; acked never exceeds total and next
// never goes beyond it; no block outside the image is sent and at most a
// window of them is on its way; the transfer is over only once every block
// was acknowledged; after a programming error nothing more is sent; a job
// that has ended has nothing on its way and ended in one of its outcomes.
#include <fuzzer/FuzzedDataProvider.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>

#include "tests/update/fake_device.h"
#include "update/image_package.h"
#include "update/programmer.h"

namespace {

using programmer_test::BlockAnswer;
using programmer_test::Bytes;
using programmer_test::FakeDevice;
using programmer_test::Request;

void Check(bool condition) {
  if (!condition) __builtin_trap();
}

FakeDevice& Device() {
  static FakeDevice* const device = new FakeDevice;
  return *device;
}

// When set, the device answers as a working one (the fast-forward action).
bool g_good = false;
// How many requests had been sent when a block was first answered with the
// programming error; 0 before.
std::size_t g_sentAtError = 0;

std::optional<Bytes> Error(const Request& request) {
  if (request.IsBlock() && g_sentAtError == 0) g_sentAtError = Device().sent.size();
  return Bytes{0x01, 0x8A};
}

std::optional<Bytes> Answer(FuzzedDataProvider& in, const Request& request) {
  if (g_good) return FakeDevice::GoodDevice(request);
  // Running out of input gives 0: the device that works.
  switch (in.ConsumeIntegralInRange<int>(0, 8)) {
    case 0:
    case 1:
      return FakeDevice::GoodDevice(request);
    case 2:
      return std::nullopt;
    case 3: {  // a block answer for a block near this one, or anywhere
      const uint32_t address = request.IsBlock() ? request.BlockAddress() : 0x08003000u;
      return BlockAnswer(address + 128u * static_cast<uint32_t>(in.ConsumeIntegralInRange<int>(-3, 3)));
    }
    case 4: {
      Bytes cut = FakeDevice::GoodDevice(request).value_or(Bytes{0x01, request.data[1]});
      cut.resize(in.ConsumeIntegralInRange<std::size_t>(0, cut.size()));
      return cut;
    }
    case 5:
      return Bytes{0x01, in.ConsumeIntegral<uint8_t>(), in.ConsumeIntegral<uint8_t>(),
                   in.ConsumeIntegral<uint8_t>()};
    case 6:
      return in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 12));
    case 7:
      return Bytes{0x01, 0x01, 0x1C, 0xCC};  // a probe answered from the bootloader
    default:
      return in.ConsumeIntegralInRange<int>(0, 15) == 0 ? Error(request) : std::nullopt;
  }
}

bool AfterTransfer(ProgrammerState state) {
  return state == ProgrammerState::TransferDone || state == ProgrammerState::LeaveBootloader ||
         state == ProgrammerState::ConfirmApplication || state == ProgrammerState::DefaultsWrite;
}

std::size_t BlocksOnTheirWay(FakeDevice& device) {
  // Outstanding requests are delivered in order; count them by taking a look
  // at the ones sent and not yet answered.
  std::size_t blocks = 0;
  const std::size_t outstanding = device.Outstanding();
  for (std::size_t i = device.sent.size(), seen = 0; i > 0 && seen < outstanding; --i) {
    const Request& r = device.sent[i - 1];
    if (!r.expectReply) continue;
    ++seen;
    blocks += r.IsBlock() ? 1u : 0u;
  }
  return blocks;
}

struct Watch {
  std::size_t blocksChecked = 0;
};

void CheckInvariants(const ProgrammingJob& job, FakeDevice& device, Watch& watch) {
  const ProgrammerState state = job.State();
  Check(static_cast<uint8_t>(state) <= static_cast<uint8_t>(ProgrammerState::Done));
  const ProgrammerTransfer transfer = job.Transfer();
  Check(transfer.acked <= transfer.total);
  Check(transfer.next <= transfer.total);
  Check(job.Progress() <= 100);
  if (AfterTransfer(state)) Check(transfer.acked == transfer.total);
  Check(device.maxOutstandingBlocks <= ProgrammerWindow);
  Check(BlocksOnTheirWay(device) <= ProgrammerWindow);
  for (; watch.blocksChecked < device.sent.size(); ++watch.blocksChecked) {
    const Request& r = device.sent[watch.blocksChecked];
    if (!r.IsBlock()) continue;
    const uint32_t index = programmer_test::BlockIndex(r.BlockAddress());
    Check(r.BlockAddress() >= 0x08003000u && index < transfer.total);
  }
  if (g_sentAtError != 0) Check(device.sent.size() == g_sentAtError);
  if (job.Ended()) Check(device.Outstanding() == 0);
  // The fake reports a request a job never makes as a test failure.
  Check(!::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  FakeDevice& device = Device();
  device.Reset();
  g_good = false;
  g_sentAtError = 0;
  Image_SetPolicy(YesNoSetting::Unset,
                  in.ConsumeBool() ? YesNoSetting::No : YesNoSetting::Unset);

  const int32_t hardwareIds[] = {28, 23, 25, 0, 300};
  const uint8_t places[] = {16, 255, 20};
  DeviceRecord record;
  std::strcpy(record.portName, "Com1");
  record.address = 16;
  record.hardwareId = in.PickValueInArray(hardwareIds);
  record.serialNumber = 4410021;
  std::strcpy(record.modelNumber, "QD4010A-6AC1100");
  device.bootloaderAt = in.PickValueInArray(places);
  device.relocateAnswer = in.PickValueInArray(places);
  device.answer = [&in](const Request& request) { return Answer(in, request); };
  ProgrammingJob job(device, device, &record);

  Watch watch;
  for (int action = 0; action < 3000 && !job.Ended(); ++action) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        job.Step();
        device.DeliverAll();
        break;
      case 1:
        job.Step();
        break;
      case 2:
        for (int n = in.ConsumeIntegralInRange<int>(1, 25); n > 0 && device.DeliverOne(); --n) {
        }
        break;
      default: {
        g_good = true;
        for (int n = in.ConsumeIntegralInRange<int>(1, 2500); n > 0; --n) {
          job.Step();
          device.DeliverAll();
          CheckInvariants(job, device, watch);
          if (job.Ended()) break;
        }
        g_good = false;
        break;
      }
    }
    CheckInvariants(job, device, watch);
  }
  if (job.Ended()) {
    const Outcome outcome = job.Ending().outcome;
    Check(outcome == Outcome::Done || outcome == Outcome::PortNotOpened ||
          outcome == Outcome::EntryFailed || outcome == Outcome::NotFound ||
          outcome == Outcome::ProgrammingError);
    if (outcome == Outcome::ProgrammingError) Check(g_sentAtError != 0);
  } else {
    // The job is let go of only once nothing of it is on its way.
    job.Abort();
    for (int n = 0; n < 100 && !job.Ended(); ++n) {
      job.Step();
      device.DeliverAll();
    }
    Check(job.Ended());
  }
  device.answer = FakeDevice::GoodDevice;
  return 0;
}
