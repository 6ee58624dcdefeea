// The steps of one device's firmware update around the programming job:
// freeing the standard bus address before it, the progress line while it
// runs, finding the device again and repairing its identity after it, and
// moving a displaced device back at the end. Each handler is one pass of the
// front end's menu loop and returns what comes next for the device. All that
// the steps keep between two passes lives in the device's DeviceUpdate, so
// the steps of several devices can run at once, each on a thread of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "client/result.h"
#include "client/scan.h"
#include "platform/thread.h"
#include "update/address_journal.h"
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

// The real calls, as the program makes them. They keep no state of their
// own: the updates of several devices may share them.
UpdateIo& Update_ClientIo();

// What comes next for a device after one of its update steps.
enum class UpdateNext : uint8_t {
  ProgressAgain,     // the job runs: Update_PollProgress again
  AfterProgramming,  // Update_Reconnect (again)
  RestoreSettings,   // the settings restore, then Update_Finish
  FinishDevice,      // Update_Finish
  NextDevice,        // the device is done with
};

// A wait shown on the console while it lasts (`what` null: none).
struct UpdateWait {
  const char* what = nullptr;
  uint32_t since = 0;  // when this wait began
  uint32_t moved = 0;  // when the screen last moved for the wait or the progress line
  bool labelShown = false;
  int dots = 0;
  std::size_t noteWidth = 0;  // columns the note behind the progress field takes
};

// The line that shows the programming job's percentage. On a terminal the
// field is rewritten in place and the cursor is left behind it, never on the
// next line: a line end on the screen's last row would scroll the screen and
// leave the remembered row pointing at the wrong line. Anywhere else (a
// pipe, a file, a CI log) each percentage far enough from the last one is one
// more line.
struct ProgressLine {
  bool open = false;
  bool inPlace = false;
  int column = 0;
  int row = 0;
  uint32_t shown = 0;   // the percentage on the screen
  uint32_t logged = 0;  // the last one written to the run log (in place only)
  // The job's step last logged; none before the first.
  std::optional<ProgrammerState> step;
};

// A device moved off the standard bus address, to be moved back once the
// programmed device is finished.
struct AddressChange {
  bool moved = false;
  DeviceRecord* displaced = nullptr;
  uint8_t savedAddress = 0;
};

// Called by the client's waits (see Client_SetWaitTick; the program makes it
// the tick of each thread that runs update steps). While an update step runs
// on the calling thread and waits for the device, it shows that device's
// wait: once the wait has lasted 4 s it says what it waits for, and then
// keeps moving: on a terminal a dot every 2 s, elsewhere a line
// "Waiting for ... (N s)" every 4 s. Outside a step it does nothing.
void Update_WaitTick();
// A wait of the front end's own (a discovery without menus), kept in `wait`
// and shown through `io` as Update_WaitTick shows the steps' waits: each
// Update_WaitTick(io, wait) moves it on. `what` must stay valid until
// Update_EndWait.
void Update_WaitFor(UpdateIo& io, UpdateWait* wait, const char* what);
void Update_WaitTick(UpdateIo& io, UpdateWait* wait);
void Update_EndWait(UpdateIo& io, UpdateWait* wait);

// The number the run log gives a programming job's outcome: 0 done, 2 the
// port did not open, 3 the bootloader entry failed, 4 the device was lost, 5
// stopped, 6 a programming error; UpdateNotProgrammed while no job has ended.
inline constexpr int UpdateNotProgrammed = -1;

// One device's update: the records the steps work on, and what they learnt
// about it for the closing summary.
struct DeviceUpdate {
  UpdateIo* io = nullptr;  // the calls this device's steps make
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
  // The occupant of the standard bus address is moved off and back by
  // whoever runs several devices' turns, not by this device's steps.
  bool occupantMovedForUs = false;
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

  // The steps' own, between two of them: the device this one displaced, the
  // progress line and the wait being shown.
  AddressChange change;
  ProgressLine progress;
  UpdateWait wait;
};

// Frees the standard bus address, starts the programming job and opens the
// progress line. Returns ProgressAgain; FinishDevice when the address
// move could not be written to the journal (nothing was changed).
UpdateNext Update_StartProgramming(DeviceUpdate* update);
// Waits up to 500 ms for the job and refreshes the percentage; once the job
// has ended, reports it. ProgressAgain, then AfterProgramming. An
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
UpdateNext Update_PollProgress(DeviceUpdate* update);
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
UpdateNext Update_Reconnect(DeviceUpdate* update);
// Moves a displaced device back, finds the programmed one (the restored
// settings may have moved it), lets it settle, restarts it and closes the
// port; a device that reported a programming error, or was given up, is not
// spoken to. Returns NextDevice; the caller moves to the next device.
// `found` (may be empty) is called once the programmed device was looked for
// where it now is, before the settle wait and the restart.
UpdateNext Update_Finish(DeviceUpdate* update, const std::function<void()>& found = {});

// Frees the standard bus address for update->device by moving the device of
// the same port that occupies it to the lowest address of the search range
// that no device of update->discovered has; the move is written to the
// journal first, and kept in update->change. 1 when the address is free or
// nothing needed doing, 0 when it could not be freed, -1 when the journal
// could not be written (nothing was sent).
int Update_ClearStandardAddress(DeviceUpdate* update);
// The device of update->discovered that stands on update->device's standard
// bus address and would be moved off it, or null: none, only one device was
// discovered, update->device stands there itself or was matched by its model.
DeviceRecord* Update_Occupant(const DeviceUpdate& update);
// Moves the device displaced by the update's Update_ClearStandardAddress
// back, once, and strikes the move from the journal. 1 when nothing was moved
// or it is back, 0 when moving it back failed (the journal keeps the move).
int Update_RestoreDisplaced(DeviceUpdate* update);
// Whether the programmed device answers at `address` as an application: its
// serial number, and its model number or the bootloader's placeholder for it.
bool Update_AnswersAt(DeviceUpdate* update, uint8_t address);
// Reads the identity of the device at update->device->address. A model
// number there with a capital X (the bootloader's placeholder) has the
// identity the record holds written back; any other model number read
// replaces the record's. `read` (may be null) receives what was read;
// returns whether anything was.
bool Update_RefreshIdentity(DeviceUpdate* update, DeviceRecord* read);
// Writes the model number, name and serial number of update->device into the
// device when `modelRead` holds a capital X. 1, or 0 when the identity of a
// device found in its bootloader cannot be loaded from the registry.
int Update_RestoreIdentity(DeviceUpdate* update, const char* modelRead);
