// Finding a known device again after it may have moved: restarted at another
// station address, or come up speaking Modbus RTU.
#pragma once

#include <cstdint>

// Looks for the device with this model number and serial number, running its
// application, from `first` to `last` for up to 60 s. Each pass scans the band;
// when the device is not there it closes the connection, sends the Modbus
// protocol switch (a write of 1286 to `selectRegister` of slave 1 at 9600
// baud), opens the connection again, waits 1000 ms and looks once more.
// `selectRegister` is the device's protocol-select register
// (Image_ModbusSelectRegister of its hardware id). The port's connection must
// be open; it is open again when the search returns.
// Returns the station address, or 255 when the deadline passed or the port was
// lost (Client_PortLost).
uint8_t Client_Relocate(const char* portName, uint8_t first, uint8_t last, uint16_t selectRegister,
                        const char* modelNumber, int32_t serialNumber);

// What the search does on the bus and with time, apart from its rules.
class RelocateSteps {
 public:
  virtual ~RelocateSteps() = default;
  // One scan of the band: the station of the device running its application,
  // or 255.
  virtual uint8_t Look() = 0;
  // The Modbus switch with the connection stopped around it, and the pause
  // after it.
  virtual void SwitchBack() = 0;
  virtual uint32_t NowMs() = 0;
  // The port's device has gone: no look or switch can succeed any more.
  virtual bool PortLost() = 0;
  // The operator interrupted the program: the search gives up at once.
  virtual bool Interrupted() { return false; }
};

// The rules of the search: look, switch back, look again, until one look finds
// the device or a pass ends after `searchMs`; a lost port ends it after the
// look that found it lost. Returns the station or 255.
uint8_t Relocate_Search(RelocateSteps& steps, uint32_t searchMs);

inline constexpr uint32_t RelocateSearchMs = 60000;
