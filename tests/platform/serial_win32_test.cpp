// What the Windows backend learns about a port from the registry's list of
// devices: the adapter's friendly name and its driver's latency timer. The
// test enters devices of its own under an enumerator nobody else uses.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "platform/serial.h"

namespace {

constexpr char kEnumerator[] = "SYSTEM\\CurrentControlSet\\Enum\\BrevaneTestBus";

struct Device {
  const char* instance;  // "<device id>\<instance>" under the enumerator
  const char* port;      // PortName
  const char* friendly;  // FriendlyName; nullptr for none
  bool has_timer;
  DWORD timer;           // LatencyTimer
};

class DeviceRegistryTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kEnumerator); }
  void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kEnumerator); }

  static void enter(const Device& device) {
    const std::string instance = std::string(kEnumerator) + "\\" + device.instance;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, instance.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &key, nullptr),
              ERROR_SUCCESS)
        << instance;
    if (device.friendly != nullptr) {
      EXPECT_EQ(set_string(key, "FriendlyName", device.friendly), ERROR_SUCCESS);
    }
    HKEY parameters = nullptr;
    ASSERT_EQ(RegCreateKeyExA(key, "Device Parameters", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &parameters, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(set_string(parameters, "PortName", device.port), ERROR_SUCCESS);
    if (device.has_timer) {
      EXPECT_EQ(RegSetValueExA(parameters, "LatencyTimer", 0, REG_DWORD,
                               reinterpret_cast<const BYTE*>(&device.timer), sizeof device.timer),
                ERROR_SUCCESS);
    }
    RegCloseKey(parameters);
    RegCloseKey(key);
  }

  static LONG set_string(HKEY key, const char* name, const std::string& value) {
    return RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                          static_cast<DWORD>(value.size() + 1));
  }
};

TEST_F(DeviceRegistryTest, PortsShowTheirAdaptersNameAndLatencyTimer) {
  const Device devices[] = {
      {"VID_0001&PID_0001\\A1", "COM201", "USB Serial Port (COM201)", true, 16},
      {"VID_0001&PID_0001\\A2", "COM202", "Cable\x1b[2J (COM202)", true, 2},
      {"VID_0002&PID_0005\\7&1b2c&0&1", "COM203", nullptr, false, 0},
      {"VID_0002&PID_0005\\7&1b2c&0&2", "COM204", "RS-485 Bridge (COM204)", true, 3},
  };
  for (const Device& device : devices) {
    ASSERT_NO_FATAL_FAILURE(enter(device));
  }

  using plat::LatencyState;
  const struct {
    const char* name;
    const char* text;  // what serial_describe() gives, "" for nothing
    LatencyState state;
    uint32_t timer_ms;
  } cases[] = {
      {"Com201", "USB Serial Port (COM201)", LatencyState::Slow, 16},
      {"\\\\.\\com201", "USB Serial Port (COM201)", LatencyState::Slow, 16},
      {"COM202", "Cable?[2J (COM202)", LatencyState::Fine, 2},
      {"COM203", "", LatencyState::None, 0},
      {"\\\\.\\COM204", "RS-485 Bridge (COM204)", LatencyState::Slow, 3},
      {"COM2040", "", LatencyState::None, 0},  // no such port: a name's prefix does not match
      {"COM20", "", LatencyState::None, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    char text[160] = "stale";
    EXPECT_EQ(plat::serial_describe(c.name, text, sizeof text), c.text[0] != '\0');
    EXPECT_STREQ(text, c.text);
    const plat::AdapterLatency latency = plat::serial_latency(c.name);
    EXPECT_EQ(latency.state, c.state);
    EXPECT_EQ(latency.timer_ms, c.timer_ms);
    EXPECT_EQ(latency.error, 0u);
  }
}

}  // namespace
