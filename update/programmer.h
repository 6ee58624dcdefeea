// The programming engine: one worker thread that carries out the long bus jobs
// so that the console stays free to show progress. The front end starts a job
// only while the engine is idle and then calls Programmer_Wait until the job
// has ended; every job ends with exactly one release of "FLESem".
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/scan.h"

enum class ProgrammerState : uint8_t { Idle, Scan };

// Outcome of the last job.
inline constexpr int ProgrammerOk = 0;
inline constexpr int ProgrammerPortFailed = 2;
// Programmer_Wait's answer while the job still runs.
inline constexpr int ProgrammerRunning = 1;

// Room for the records of one scan job: its band spans at most this many addresses.
inline constexpr std::size_t ProgrammerScanRecords = 32;

// Creates "FLESem", "ResSem" and "ProgSem" (once; a second call only clears
// the state) and makes the engine idle. Returns 0 when a semaphore could not
// be created, else 1.
int Programmer_Init();
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
// Waits up to `timeoutMs` for the end of the current job: ProgrammerRunning
// while it goes on, otherwise the job's status.
int Programmer_Wait(uint32_t timeoutMs);
// Percentage of the image acknowledged by the device being programmed.
uint32_t Programmer_Progress();
