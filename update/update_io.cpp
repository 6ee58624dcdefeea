// The update steps' calls as the program makes them: the client, the
// registry, the programming engine and the console.
#include "client/client.h"
#include "client/registry_record.h"
#include "client/relocate.h"
#include "client/services.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "update/address_journal.h"
#include "update/programmer.h"
#include "update/update_steps.h"

namespace {

class ClientIo final : public UpdateIo {
 public:
  int Open(const char* port) override { return Client_Open(port); }
  int Close(const char* port) override { return Client_Close(port); }
  bool Exchange(const char* port, uint8_t station, const uint8_t* data, uint16_t length) override {
    uint8_t reply[ClientMaxMessage];
    uint8_t source = 0;
    uint16_t replyLength = 0;
    uint8_t status = 0;
    return Client_Request(port, station, data, length, 1, &source, reply, sizeof reply,
                          &replyLength, &status) == 0 &&
           status == static_cast<uint8_t>(UpcallStatus::Delivered);
  }
  int SetZoneAddress(const char* port, uint8_t station, uint8_t newAddress) override {
    return Client_SetZoneAddress(port, station, newAddress);
  }
  int WaitSettled(const char* port, uint8_t station) override {
    return Client_WaitSettled(port, station);
  }
  uint8_t ScanRange(const char* port, uint8_t first, uint8_t last, DeviceRecord* records,
                    uint8_t capacity) override {
    return Client_ScanRange(port, first, last, records, capacity);
  }
  uint8_t Relocate(const char* port, uint8_t first, uint8_t last, uint16_t selectRegister,
                   const char* modelNumber, int32_t serialNumber) override {
    return Client_Relocate(port, first, last, selectRegister, modelNumber, serialNumber);
  }
  int LoadDevice(DeviceRecord* record) override { return Registry_LoadDevice(record); }
  bool RecordMove(const AddressMove& move, char* why, std::size_t size) override {
    return Journal_Add(move, why, size);
  }
  bool ClearMove(const char* port, int32_t serialNumber, char* why, std::size_t size) override {
    return Journal_Remove(port, serialNumber, why, size);
  }
  int StartProgramming(DeviceRecord* record, bool defaultsWrite) override {
    return Programmer_StartProgramming(record, defaultsWrite);
  }
  void AbortProgramming() override { Programmer_Abort(); }
  bool EntrySent() override { return Programmer_EntrySent(); }
  bool Interrupted() override { return plat::interrupt_requested(); }
  int WaitProgramming(uint32_t timeoutMs) override { return Programmer_Wait(timeoutMs); }
  uint32_t Progress() override { return Programmer_Progress(); }
  bool ProgrammingHalted() override { return Programmer_Halted(); }
  ProgrammerState JobState() override { return Programmer_State(); }
  uint32_t NowMs() override { return plat::now_ms(); }
  void Print(const char* text) override { plat::con_printf("%s", text); }
  void Log(const char* text) override { plat::con_note("%s\n", text); }
  int ReadKey() override { return plat::con_read_key(); }
  bool IsTerminal() override { return plat::con_is_terminal(); }
  bool GetCursor(int* column, int* row) override { return plat::con_get_cursor(column, row); }
  bool SetCursor(int column, int row) override { return plat::con_set_cursor(column, row); }
};

}  // namespace

UpdateIo& Update_ClientIo() {
  static ClientIo io;
  return io;
}
