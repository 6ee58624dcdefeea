// The steps of one device's firmware update around the programming job:
// freeing the standard bus address before it, the progress line while it
// runs, finding the device again and repairing its identity after it, and
// moving a displaced device back at the end. Each handler is one pass of the
// front end's menu loop and returns the state that follows it. All of them
// run on the console thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "client/result.h"
#include "client/scan.h"
#include "platform/thread.h"
#include "update/address_journal.h"
#include "update/menu_state.h"
#include "update/programmer.h"

struct DeviceUpdate;

// The bus, registry, programming job and console as the update steps see
// them, so that tests can drive every rule against a fake device and screen.
class UpdateIo {
 public:
  virtual ~UpdateIo() = default;

  virtual int Open(const char* port) = 0;   // Client_Open
  virtual int Close(const char* port) = 0;  // Client_Close
  // One request expecting a reply; true when a reply was delivered.
  virtual bool Exchange(const char* port, uint8_t station, const uint8_t* data,
                        uint16_t length) = 0;
  virtual int SetZoneAddress(const char* port, uint8_t station, uint8_t newAddress) = 0;
  virtual int WaitSettled(const char* port, uint8_t station) = 0;
  virtual uint8_t ScanRange(const char* port, uint8_t first, uint8_t last, DeviceRecord* records,
                            uint8_t capacity) = 0;
  virtual uint8_t Relocate(const char* port, uint8_t first, uint8_t last, uint16_t selectRegister,
                           const char* modelNumber, int32_t serialNumber) = 0;
  virtual int LoadDevice(DeviceRecord* record) = 0;  // Registry_LoadDevice

  // The journal of address moves (update/address_journal.h); false with the
  // reason in `why` when it could not be written.
  virtual bool RecordMove(const AddressMove& move, char* why, std::size_t size) = 0;
  virtual bool ClearMove(const char* port, int32_t serialNumber, char* why, std::size_t size) = 0;

  // The device's programming job: made for update->device with
  // update->defaultsWrite, kept in update->job, and run on a thread of its
  // own (update->jobThread).
  virtual void StartProgramming(DeviceUpdate* update) = 0;
  // Waits up to `timeoutMs` for the job's end: false while it runs; true once
  // it has ended (its thread joined), with how it ended in *ending.
  virtual bool WaitProgramming(DeviceUpdate* update, uint32_t timeoutMs, Result* ending) = 0;
  virtual void AbortProgramming(DeviceUpdate* update) = 0;
  virtual bool EntrySent(const DeviceUpdate& update) = 0;  // the job sent the bootloader entry
  virtual uint32_t Progress(const DeviceUpdate& update) = 0;
  virtual ProgrammerState JobState(const DeviceUpdate& update) = 0;
  virtual bool Interrupted() = 0;  // the operator interrupted the program
  virtual uint32_t NowMs() = 0;  // a clock in milliseconds, for the signs of life

  virtual void Print(const char* text) = 0;
  // A line for the run log alone (what the screen shows is logged anyway).
  virtual void Log(const char* text) = 0;
  virtual int ReadKey() = 0;  // -1 once input has ended
  virtual bool IsTerminal() = 0;
  virtual bool GetCursor(int* column, int* row) = 0;
  virtual bool SetCursor(int column, int row) = 0;
};

// The real calls, as the program makes them.
UpdateIo& Update_ClientIo();
// The calls the steps make; the program hands over Update_ClientIo() at
// start-up, before the first step, and tests a fake. The calling thread's
// client wait tick becomes Update_WaitTick.
void Update_SetIo(UpdateIo* io);

// Called by the client's waits while an update step waits for the device
// (see Client_SetWaitTick). A wait shows what it waits for once it has lasted
// 4 s, and then keeps moving: on a terminal a dot every 2 s, elsewhere a line
// "Waiting for ... (N s)" every 4 s.
void Update_WaitTick();
// A wait of the front end's own on this thread (a discovery without menus),
// shown as Update_WaitTick shows the steps' waits; `what` must stay valid
// until Update_EndWait.
void Update_WaitFor(const char* what);
void Update_EndWait();

// The number the run log gives a programming job's outcome: 0 done, 2 the
// port did not open, 3 the bootloader entry failed, 4 the device was lost, 5
// stopped, 6 a programming error; UpdateNotProgrammed while no job has ended.
inline constexpr int UpdateNotProgrammed = -1;

// One device's update: the records the steps work on, and what they learnt
// about it for the closing summary.
struct DeviceUpdate {
  DeviceRecord* device = nullptr;  // the device to program; its address may change
  DeviceRecord* discovered = nullptr;  // the last discovery, for the address change
  uint32_t discoveredCount = 0;

  // How the programming job ended (see update/programmer.h); nothing while
  // it has not.
  std::optional<Outcome> programming;
  // The job, once started, and the thread it runs on until that is joined.
  std::shared_ptr<ProgrammingJob> job;
  plat::ThreadHandle jobThread = nullptr;
  // Set by the front end before the job starts: false leaves out the
  // factory-settings write, when the settings could not be put back.
  bool defaultsWrite = true;
  bool started = false;  // the programming job was started
  // The occupant of the standard bus address was not moved, because the
  // move could not be written to the journal: the device was not programmed.
  bool moveNotRecorded = false;
  // Found in its bootloader, and the registry could not give its identity:
  // it was programmed, but its identity and settings were left alone.
  bool identityUnknown = false;
  bool foundAgain = false;  // answered after programming
  bool givenUp = false;     // not found, and input ended at the key-press prompt
  bool versionRead = false;  // the version below was read when it was found again
  int32_t release = 0;
  int32_t prototype = 0;
  int32_t build = 0;
};

// Frees the standard bus address, starts the programming job and opens the
// progress line. Returns ProgrammingProgress; FinishDevice when the address
// move could not be written to the journal (nothing was changed).
MenuState Update_StartProgramming(DeviceUpdate* update);
// Waits up to 500 ms for the job and refreshes the percentage; once the job
// has ended, reports it. ProgrammingProgress, then AfterProgramming. An
// interrupt asks the job to stop. On a terminal the percentage is rewritten
// in place; elsewhere each percentage 5 or more away from the last one shown,
// and 100, is a line "Programming: NN%", and so is the last one when the job
// ends elsewhere. While the percentage stands still,
// what the job waits for is shown as Update_WaitTick shows a wait (on a
// terminal behind the percentage, and taken away when the job ends).
//
// A job that ended with a programming error has the three lines of the error
// said under the percentage and goes to FinishDevice: nothing more is sent to
// the device, which waits for a person's hands.
MenuState Update_PollProgress(DeviceUpdate* update);
// Stops a job that has not ended (an interrupt): asks it to stop and waits up
// to `waitMs` for it; a job still running then counts as stopped. Records
// whether the device may sit in its bootloader.
void Update_StopProgramming(DeviceUpdate* update, uint32_t waitMs);
// Whether the device's job sent it the bootloader entry.
bool Update_EntrySent(const DeviceUpdate& update);
// The run log's number for how the device's job ended (see
// UpdateNotProgrammed).
int Update_JobStatus(const DeviceUpdate& update);
// Finds the programmed device again and repairs its identity: RestoreSettings;
// AfterProgramming after asking the operator to power cycle it; FinishDevice
// when input has ended at that prompt (the device is given up).
MenuState Update_Reconnect(DeviceUpdate* update);
// Moves a displaced device back, finds the programmed one (the restored
// settings may have moved it), lets it settle, restarts it and closes the
// port; a device that reported a programming error, or was given up, is not
// spoken to. Returns NextDevice; the caller moves to the next device.
MenuState Update_Finish(DeviceUpdate* update);

// Frees the standard bus address for `device` by moving the device of the
// same port that occupies it to the lowest address of the search range that
// no discovered device has; the move is written to the journal first. 1 when
// the address is free or nothing needed doing, 0 when it could not be freed,
// -1 when the journal could not be written (nothing was sent).
int Update_ClearStandardAddress(DeviceRecord* discovered, uint32_t count,
                                const DeviceRecord& device);
// Moves the device displaced by the last Update_ClearStandardAddress back,
// once, and strikes the move from the journal. 1 when nothing was moved or it
// is back, 0 when moving it back failed (the journal keeps the move).
int Update_RestoreDisplaced();
// Reads the identity of the device at record->address. A model number there
// with a capital X (the bootloader's placeholder) has the identity the record
// holds written back; any other model number read replaces the record's.
// `read` (may be null) receives what was read; returns whether anything was.
bool Update_RefreshIdentity(DeviceRecord* record, DeviceRecord* read);
// Writes the record's model number, name and serial number into the device
// when `modelRead` holds a capital X. 1, or 0 when the identity of a device
// found in its bootloader cannot be loaded from the registry.
int Update_RestoreIdentity(DeviceRecord* record, const char* modelRead);
