// The programming engine: one worker thread that carries out the long bus jobs
// (a scan of an address band, and programming one device through its
// bootloader) so that the console stays free to show progress. The front end
// starts a job only while the engine is idle and then calls Programmer_Wait
// until the job has ended; every job ends with exactly one release of
// "FLESem".
//
// The engine's logic sees the world only through ProgrammerIo: the product
// wires it to the client and the platform, tests to a fake device with
// virtual time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/client.h"
#include "client/scan.h"

enum class ProgrammerState : uint8_t {
  Idle,
  Scan,
  OpenPort,
  EnterBootloader,
  FindBootloader,
  Prepare,
  ReadyCheck,
  Transfer,
  TransferDone,
  LeaveBootloader,
  ConfirmApplication,
  DefaultsWrite,
  Failed,
  Done,
};

// Outcome of the last job.
inline constexpr int ProgrammerOk = 0;
inline constexpr int ProgrammerPortFailed = 2;
inline constexpr int ProgrammerEntryFailed = 3;
// The device stopped answering and was not found again: the job gave up
// searching for it (see the two limits below). Finding it is left to the
// update steps, which ask the operator to power cycle it.
inline constexpr int ProgrammerDeviceLost = 4;
// The front end asked the job to stop (an interrupt): it ended at its next
// step. Programmer_EntrySent() tells whether the device may sit in its
// bootloader.
inline constexpr int ProgrammerAborted = 5;
// Programmer_Wait's answer while the job still runs.
inline constexpr int ProgrammerRunning = 1;

// Room for the records of one scan job: its band spans at most this many addresses.
inline constexpr std::size_t ProgrammerScanRecords = 32;
// Blocks that may be on their way to the device without an answer ("ProgSem").
inline constexpr uint32_t ProgrammerWindow = 20;
// Failed or refused block answers in a row, with no block acknowledged in
// between, after which the device is taken to have restarted and lost its
// prepared flash: the job finds its bootloader again and starts over from
// block 0. One whole window of them: line faults that lose or spoil that
// many exchanges in a row do not occur, while a restarted device refuses a
// window's worth of blocks within a fraction of a second.
inline constexpr uint32_t ProgrammerStallLimit = ProgrammerWindow;
// Relocation passes in a row that do not find a device which stopped
// answering a control message (the ready check, the restart, the presence
// probe), after which the job ends with ProgrammerDeviceLost. A pass looks for
// up to 60 s and sends the Modbus switch after every miss, while a controller
// that restarts is back within seconds, on the Tarnix bus or in Modbus mode:
// the first pass finds it. The second allows for a pass spoilt by the line;
// a device still missing after both needs a person's hands (the update steps
// ask for a power cycle), not more minutes of searching.
inline constexpr uint32_t ProgrammerRelocationPasses = 2;
// Bootloader searches in a row that do not find the device, each after the
// entry message was sent again and the device given 1 s, after which the job
// ends with ProgrammerDeviceLost. A device that heard the entry message, or
// that restarted in the middle of the transfer, is in its bootloader within
// that second; five entry messages in a row lost on the line do not happen,
// so a device still missing is switched off or cut from the bus.
inline constexpr uint32_t ProgrammerBootloaderSearches = 5;

// Everything the engine does outside its own state: requests to the device,
// pauses, the three semaphores and the console.
class ProgrammerIo {
 public:
  virtual ~ProgrammerIo() = default;
  virtual int Open(const char* portName) = 0;
  virtual int Close(const char* portName) = 0;
  // Queues a request and returns at once (0 queued); `completion` runs on the
  // port's master thread when a request that expects a reply completes.
  virtual int RequestAsync(const char* portName, uint8_t destination, const uint8_t* data,
                           uint16_t length, uint8_t expectReply, CompletionCallback completion) = 0;
  virtual uint8_t ScanRange(const char* portName, uint8_t first, uint8_t last,
                            DeviceRecord* records, std::size_t capacity) = 0;
  virtual uint8_t Relocate(const char* portName, uint8_t first, uint8_t last,
                           uint16_t selectRegister, const char* modelNumber,
                           int32_t serialNumber) = 0;
  virtual void Sleep(uint32_t ms) = 0;
  // "FLESem": true when a job's end was taken within the time-out.
  virtual bool WaitJobEnded(uint32_t timeoutMs) = 0;
  virtual void SignalJobEnded() = 0;
  // "ResSem", waited on without time-out.
  virtual void WaitReply() = 0;
  virtual void SignalReply() = 0;
  // "ProgSem": true when a permit was taken within the time-out.
  virtual bool TakePermit(uint32_t timeoutMs) = 0;
  virtual void GivePermit() = 0;
  virtual void Print(const char* text) = 0;
  // Stops the calling thread (the port's master thread) for good, so that no
  // further request goes out or completes on that port. A test's fake returns.
  virtual void Halt() = 0;
};

// Creates "FLESem", "ResSem" and "ProgSem" (once; a second call only clears
// the state) and makes the engine idle. Returns 0 when a semaphore could not
// be created, else 1.
int Programmer_Init();
// Routes the engine through `io` from now on; nullptr goes back to the client
// and the platform. Called before Programmer_Init, while no job runs.
void Programmer_UseIo(ProgrammerIo* io);
// The worker thread's body: forever one tick, then 10 ms of sleep.
void Programmer_Run(void* unused);
// One step of the current job.
void Programmer_Tick();
ProgrammerState Programmer_State();

// Scans `low` to `high` on `portName` at the next tick: opens the port,
// identifies every station that answers, closes the port. A band wider than
// the scan records is cut to their room. Returns 1.
int Programmer_StartScan(const char* portName, uint8_t low, uint8_t high);
// Copies the records of the last scan job, at most `capacity`, and returns
// how many were copied.
uint8_t Programmer_FetchScan(DeviceRecord* destination, std::size_t capacity);

// Programs the carried image into the device of `record` at the next ticks.
// The record must stay valid until the job has ended: a new station address
// of the device is written into it. `defaultsWrite` false leaves out the
// write of the factory settings after the restart (the settings could not be
// put back afterwards). Returns 1.
int Programmer_StartProgramming(DeviceRecord* record, bool defaultsWrite = true);
// Ends the running programming job at its next step (its waits are cut
// short), with ProgrammerAborted; nothing more is sent for it.
void Programmer_Abort();
// Whether the running or last job sent its device the bootloader entry.
bool Programmer_EntrySent();
// Waits up to `timeoutMs` for the end of the current job: ProgrammerRunning
// while it goes on, otherwise the job's status.
int Programmer_Wait(uint32_t timeoutMs);
// Percentage of the image acknowledged by the device being programmed.
uint32_t Programmer_Progress();
// The transfer's counters: blocks the device acknowledged in order, the next
// block to send, and the blocks of the image.
struct ProgrammerTransfer {
  uint32_t acked = 0;
  uint32_t next = 0;
  uint32_t total = 0;
};
ProgrammerTransfer Programmer_Transfer();
// True once a device answered a block with its programming error: the
// engine has printed it and halted for good.
bool Programmer_Halted();

// Completion callbacks of the programming job's requests (run on the port's
// master thread): the control messages that expect a reply, and the blocks.
uint8_t Programmer_OnControlReply(const char* portName, int32_t portNameLength,
                                  const uint8_t* reply, uint32_t source, uint32_t length,
                                  uint32_t status);
uint8_t Programmer_OnBlockReply(const char* portName, int32_t portNameLength,
                                const uint8_t* reply, uint32_t source, uint32_t length,
                                uint32_t status);
