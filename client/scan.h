// Finding devices on a bus and telling who they are.
#pragma once

#include <cstddef>
#include <cstdint>

struct DeviceRecord {
  char portName[32] = {};
  uint8_t address = 0;
  int32_t inBootloader = 0;    // 1: answered as a bootloader, identified by its boot identity
  int32_t matchedByModel = 0;  // set by the device matching, never here
  // Identity numbers keep the placement of their value word (a one-byte value
  // in the most significant byte, and so on).
  int32_t hardwareId = 0;
  int32_t softwareId = 0;
  int32_t release = 0;
  int32_t prototype = 0;
  int32_t build = 0;
  int32_t serialNumber = 0;
  char modelNumber[33] = {};
  char deviceName[35] = {};
};

// Reads the identity instance (class 1) of a station running its application;
// 1 = filled, 0 = failed (no answer, or a reply that is cut short).
int Client_ReadIdentity(const char* portName, uint8_t station, uint8_t instance,
                        DeviceRecord* record);
// Reads the hardware id and model text of a station running its bootloader.
int Client_ReadBootIdentity(const char* portName, uint8_t station, DeviceRecord* record);

// Takes the identity items out of a read-instance reply of `length` bytes.
// 1 = every item read; 0 = the reply is cut short, and the record is left as
// it was. Texts longer than the record holds are cut.
int DecodeIdentityItems(const uint8_t* reply, std::size_t length, DeviceRecord* record);

// Probes every address from `first` to `last` and fills one record per device
// identified, in address order, at most `capacity`. Returns the number filled.
// A noisy line is given second tries by the rules of Scan_Range.
uint8_t Client_ScanRange(const char* portName, uint8_t first, uint8_t last, DeviceRecord* records,
                         std::size_t capacity);

// A station that answered the probe with something unreadable is probed up to
// this many times in all: the answer proves it is there.
inline constexpr int ScanProbeAttempts = 3;
// A station that answered the probe has its identity read up to this many
// times in all.
inline constexpr int ScanIdentityAttempts = 3;
// The band where controllers live (the standard bus addresses). A silent
// address in it is probed a second time, once the rest of the range has been
// scanned, when it lies at or below the one just above the highest station of
// the band that answered (the first address of the band scanned when none
// did): controllers sit from 16 upward with few gaps, so a controller lost to
// one damaged or lost frame is found again, while the empty top of the band
// costs one probe, not sixteen, and a look at one address asks twice.
inline constexpr uint8_t ScanBandLow = 16;
inline constexpr uint8_t ScanBandHigh = 31;

// What a scan does on the bus, apart from its rules.
class ScanSteps {
 public:
  virtual ~ScanSteps() = default;
  // One Client_Probe: a Probe* result.
  virtual int Probe(uint8_t station) = 0;
  // One identity read: 1 = filled, 0 = failed.
  virtual int ReadIdentity(uint8_t station, DeviceRecord* record) = 0;
  virtual int ReadBootIdentity(uint8_t station, DeviceRecord* record) = 0;
};

// The rules of the scan: fills `address`, `inBootloader` and the identity of
// one record per device identified, in address order, at most `capacity`.
// Returns the number filled.
std::size_t Scan_Range(ScanSteps& steps, uint8_t first, uint8_t last, DeviceRecord* records,
                       std::size_t capacity);

// Whether a bootloader's model text (with '*' and 'X' as wildcards) fits a
// model number; the comparison ends with the shorter text, and an empty model
// number fits every bootloader.
bool BootModelFits(const char* bootModel, const char* modelNumber);

// Station of the first bootloader in the range whose model text fits, or 255.
uint8_t Client_FindBootloader(const char* portName, uint8_t first, uint8_t last,
                              const char* modelNumber);
// Station of the first application in the range with this model number and
// serial number, or 255.
uint8_t Client_FindDevice(const char* portName, uint8_t first, uint8_t last,
                          const char* modelNumber, int32_t serialNumber);
