// An emulated process controller on the Tarnix bus: an MS/TP master station
// with the device behind it (identity, settings, address and protocol
// settings, bootloader with its flash) and, when switched to Modbus, a Modbus
// RTU slave. It is driven only by the bus: no threads, no clock of its own,
// so a run is repeatable.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/device_settings.h"
#include "sim/firmware.h"
#include "sim/modbus_rtu.h"
#include "sim/mstp_station.h"
#include "sim/node.h"
#include "sim/scenario.h"

namespace sim {

// Answer codes of refused requests (byte 1 of the answer).
enum RefusalCode : uint8_t {
  kUnknownItem = 0x81,    // service, class, instance or member not known
  kWrongType = 0x82,
  kBadValue = 0x83,
  kReadOnly = 0x84,
  kLocked = 0x85,         // identity member while the identity is locked
  kMalformed = 0x86,
  kProgrammingError = 0x8A,
  kNotErased = 0x8C,      // block before the erase has finished
};

class Controller : public Node {
 public:
  enum class Mode { kApplication, kBootloader, kOff };

  // Time until the answer to a request starts, before any configured latency.
  static constexpr Micros kAnswerDelay = 2'000;

  Controller(const ControllerConfig& config, const DeviceProtocol& protocol,
             uint32_t busBaud = 38400);

  uint32_t Baud() const override;
  void OnOctet(uint8_t octet, Micros now) override;
  void OnTime(Micros now) override;
  Micros NextWake() const override;
  bool TakeOctet(uint8_t* octet) override;
  Micros DriverRelease() const override { return config_.driverReleaseUs; }

  // The image the flash is compared with in the report.
  void SetExpectedImage(std::vector<uint8_t> image) { expected_ = std::move(image); }

  // This controller's entry of the exit report, a JSON object.
  std::string ReportJson() const;

  Mode mode() const { return mode_; }
  bool modbus() const { return modbus_; }
  uint8_t address() const { return address_; }
  const std::vector<uint8_t>& flash() const { return flash_; }
  bool FlashHoldsExpected() const;
  // Identity members as a scan would read them.
  uint32_t IdentityNumber(uint8_t member) const;
  std::string IdentityText(uint8_t member) const;
  // A value in wire form, or empty when there is no such member.
  std::optional<WireValue> Value(uint8_t cls, uint8_t instance, uint8_t member) const;
  // "class.instance.member" of every setting that differs from the start.
  std::vector<std::string> ChangedSettings() const;
  uint32_t SettingsDigest() const;
  const MasterStation& station() const { return station_; }
  uint64_t requestsServed() const { return requests_ + modbusSlave_.requests(); }

 private:
  enum class BootTarget { kFlash, kBootloader };
  struct AfterAnswer {
    std::optional<uint8_t> moveTo;
    bool toModbus = false;
    std::optional<BootTarget> restart;
  };

  void OnFrame(const Frame& f, Micros now);
  std::optional<std::vector<uint8_t>> Serve(const std::vector<uint8_t>& req, Micros now);
  std::optional<std::vector<uint8_t>> ServeApplication(const std::vector<uint8_t>& req, Micros now);
  std::optional<std::vector<uint8_t>> ServeBootloader(const std::vector<uint8_t>& req, Micros now);
  std::vector<uint8_t> ReadMember(const std::vector<uint8_t>& req, Micros now);
  std::vector<uint8_t> WriteMember(const std::vector<uint8_t>& req, Micros now);
  std::vector<uint8_t> ReadInstance(const std::vector<uint8_t>& req, Micros now);
  std::vector<uint8_t> WriteInstance(const std::vector<uint8_t>& req, Micros now);
  std::optional<std::vector<uint8_t>> WriteBlock(const std::vector<uint8_t>& req, Micros now);
  uint8_t CheckWrite(uint8_t cls, uint8_t instance, uint8_t member, const WireValue& v) const;
  void ApplyWrite(uint8_t cls, uint8_t instance, uint8_t member, const WireValue& v, Micros now);
  void RefreshStatus(Micros now);
  void FactoryReset();

  void Advance(Micros now);
  void PowerOff(Micros until, BootTarget target);
  // Carries out a power cut or reboot set for this moment (a block number or
  // a count of settings requests); true when the station went off.
  bool CutAt(Moment::Kind kind, uint64_t value, Micros now);
  // The setting request kind (kRead, kWrite) of a request, kNone for others.
  static Moment::Kind SettingsRequestKind(const std::vector<uint8_t>& req);
  void Boot(Micros now);
  void ApplyUpdate(const ImageInfo& info);
  void SetAddress(uint8_t address);
  bool Active() const { return mode_ != Mode::kOff && !config_.silent; }

  ControllerConfig config_;
  DeviceProtocol protocol_;
  uint32_t busBaud_;
  MasterStation station_;
  ModbusSlave modbusSlave_;
  Classes db_;
  Classes start_;
  std::vector<uint8_t> flash_;
  std::vector<uint8_t> expected_;

  Mode mode_ = Mode::kApplication;
  bool modbus_ = false;
  uint8_t address_;
  Micros now_ = 0;
  Micros offUntil_ = 0;
  BootTarget bootTarget_ = BootTarget::kFlash;
  bool unlocked_ = false;
  bool updated_ = false;        // blocks written since the application last ran
  bool erased_ = false;
  Micros eraseDoneAt_ = kNever;
  Micros settleStart_ = -1;
  Micros settleEnd_ = -1;
  AfterAnswer after_;
  bool powerCutDone_ = false;
  bool rebootDone_ = false;
  uint64_t settingsReads_ = 0;
  uint64_t settingsWrites_ = 0;
  uint64_t requests_ = 0;
};

}  // namespace sim
