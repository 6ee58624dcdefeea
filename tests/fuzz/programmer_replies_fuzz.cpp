// A programming job whose every completion the input makes, delivered in
// queue order as the link would, between ticks the input interleaves: the
// control answers and block answers may be right, refused, cut short, for
// another block, a programming error, arbitrary bytes or missing.
//
// What must hold: the state stays a state; acked never exceeds total and next
// never goes beyond it; no block outside the image is sent and at most a
// window of them is on its way; "ProgSem" permits and blocks on their way
// always add up to the window, and no semaphore is released beyond its
// maximum; the transfer is over only once every block was acknowledged; after
// a programming error nothing more is sent; every job ends exactly once.
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
      return in.ConsumeIntegralInRange<int>(0, 15) == 0 ? std::optional<Bytes>(Bytes{0x01, 0x8A})
                                                         : std::nullopt;
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
  std::size_t sentAtHalt = 0;
  std::size_t blocksChecked = 0;
};

void CheckInvariants(FakeDevice& device, Watch& watch) {
  const ProgrammerState state = Programmer_State();
  Check(static_cast<uint8_t>(state) <= static_cast<uint8_t>(ProgrammerState::Done));
  const ProgrammerTransfer transfer = Programmer_Transfer();
  Check(transfer.acked <= transfer.total);
  Check(transfer.next <= transfer.total);
  Check(Programmer_Progress() <= 100);
  if (AfterTransfer(state)) Check(transfer.acked == transfer.total);
  Check(device.overReleases == 0);
  Check(device.maxOutstandingBlocks <= ProgrammerWindow);
  Check(device.jobEndReleases <= 1);
  Check(device.halts <= 1);
  for (; watch.blocksChecked < device.sent.size(); ++watch.blocksChecked) {
    const Request& r = device.sent[watch.blocksChecked];
    if (!r.IsBlock()) continue;
    const uint32_t index = programmer_test::BlockIndex(r.BlockAddress());
    Check(r.BlockAddress() >= 0x08003000u && index < transfer.total);
  }
  if (Programmer_Halted()) {
    if (watch.sentAtHalt == 0) watch.sentAtHalt = device.sent.size();
    Check(device.sent.size() == watch.sentAtHalt);
  } else {
    Check(static_cast<std::size_t>(device.Permits()) + BlocksOnTheirWay(device) == ProgrammerWindow);
  }
  // The fake reports a control answer awaited that never came as a test failure.
  Check(!::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  FakeDevice& device = Device();
  device.Reset();
  g_good = false;
  Programmer_UseIo(&device);
  Check(Programmer_Init() == 1);
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
  Check(Programmer_StartProgramming(&record) == 1);

  Watch watch;
  for (int action = 0; action < 3000 && Programmer_State() != ProgrammerState::Idle; ++action) {
    switch (in.ConsumeIntegralInRange<int>(0, 3)) {
      case 0:
        Programmer_Tick();
        device.DeliverAll();
        break;
      case 1:
        Programmer_Tick();
        break;
      case 2:
        for (int n = in.ConsumeIntegralInRange<int>(1, 25); n > 0 && device.DeliverOne(); --n) {
        }
        break;
      default: {
        g_good = true;
        for (int n = in.ConsumeIntegralInRange<int>(1, 2500); n > 0; --n) {
          Programmer_Tick();
          device.DeliverAll();
          CheckInvariants(device, watch);
          if (Programmer_State() == ProgrammerState::Idle) break;
        }
        g_good = false;
        break;
      }
    }
    CheckInvariants(device, watch);
    if (Programmer_Halted()) break;
  }
  if (Programmer_State() == ProgrammerState::Idle) {
    Check(device.jobEndReleases == 1);
    const int status = Programmer_Wait(0);
    Check(status == ProgrammerOk || status == ProgrammerPortFailed || status == ProgrammerEntryFailed ||
          status == ProgrammerDeviceLost);
  }
  device.answer = FakeDevice::GoodDevice;
  Programmer_UseIo(nullptr);
  return 0;
}
