// The journal of address moves: a device moved off the standard bus address
// so that another one can be programmed is written down, in the backup
// folder, before the move is sent, and struck out once it is back. A run that
// ends before that (killed, a power cut, the console closed) leaves the entry
// for the next run, which reports it and moves the device back.
//
// One line per move, fields separated by tabs: port, serial number, model
// number, the address it had, the address it was moved to.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char* AddressJournalName = "brevane-address-moves.txt";
inline constexpr uint32_t AddressJournalCapacity = 32;

struct AddressMove {
  char port[32] = {};
  int32_t serialNumber = 0;
  char modelNumber[33] = {};
  uint8_t from = 0;
  uint8_t to = 0;
};

// The open moves. An absent journal holds none. False when the journal is
// there but cannot be read (`why` holds the system's text); a line that is
// not a move is skipped.
bool Journal_Load(AddressMove* moves, uint32_t capacity, uint32_t* count, char* why,
                  std::size_t size);
// Adds a move and puts the journal on the disk before it returns. False when
// that failed; the move must then not be made.
bool Journal_Add(const AddressMove& move, char* why, std::size_t size);
// Strikes out the move of the device with `serialNumber` on `port`.
bool Journal_Remove(const char* port, int32_t serialNumber, char* why, std::size_t size);

// One move as the operator reads it, without a line end.
void Journal_Describe(const AddressMove& move, char* text, std::size_t size);
