// The update steps' calls as the program makes them: the client, the
// registry, the programming job on a thread of its own, and the console.
#include <memory>

#include "client/bus.h"
#include "client/client.h"
#include "client/registry_record.h"
#include "client/relocate.h"
#include "client/services.h"
#include "platform/clock.h"
#include "platform/console.h"
#include "platform/interrupt.h"
#include "platform/thread.h"
#include "update/address_journal.h"
#include "update/programmer.h"
#include "update/update_steps.h"

namespace {

// The job's thread: it holds the job until the job has ended, whatever
// becomes of the DeviceUpdate that started it.
void RunJob(void* held) {
  const std::unique_ptr<std::shared_ptr<ProgrammingJob>> job(
      static_cast<std::shared_ptr<ProgrammingJob>*>(held));
  (*job)->Run();
}

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
  void StartProgramming(DeviceUpdate* update) override {
    update->job = std::make_shared<ProgrammingJob>(Client_Bus(), plat::system_clock(),
                                                   update->device, update->defaultsWrite);
    auto* held = new std::shared_ptr<ProgrammingJob>(update->job);
    update->jobThread = plat::thread_start(RunJob, held, 0);
    // Without a thread of its own the job runs here, to its end.
    if (update->jobThread == nullptr) RunJob(held);
  }
  bool WaitProgramming(DeviceUpdate* update, uint32_t timeoutMs, Result* ending) override {
    if (update->jobThread != nullptr) {
      if (!plat::thread_wait(update->jobThread, timeoutMs)) return false;
      plat::thread_close(update->jobThread);
      update->jobThread = nullptr;
    }
    if (update->job == nullptr || !update->job->Ended()) return false;
    *ending = update->job->Ending();
    return true;
  }
  void AbortProgramming(DeviceUpdate* update) override {
    if (update->job != nullptr) update->job->Abort();
  }
  bool EntrySent(const DeviceUpdate& update) override {
    return update.job != nullptr && update.job->EntrySent();
  }
  uint32_t Progress(const DeviceUpdate& update) override {
    return update.job != nullptr ? update.job->Progress() : 0;
  }
  ProgrammerState JobState(const DeviceUpdate& update) override {
    return update.job != nullptr ? update.job->State() : ProgrammerState::OpenPort;
  }
  bool Interrupted() override { return plat::interrupt_requested(); }
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
