// The link's fixed tables: eight port names with their 8-bit ids, and the three
// per-port record tables (LinkPort, NodeState, SerialChannel) with their counts.
// Nothing here allocates from the heap.
#pragma once

#include <cstdint>

#include "link/records.h"

namespace tarnix {

// Registers `name` (1 to 32 characters): a name already present keeps its id,
// a new one receives the highest id from 255 down that no entry holds. Returns
// the id, or 0 when the name is null, empty, too long or the table is full.
// *added tells whether a new entry was made (so that a failed start can undo it).
uint8_t RegisterPortName(const char* name, bool* added);

// Clears the entry holding `id` to zeros; nothing happens for an unknown id.
void UnregisterPortName(uint8_t id);

// Clears the whole table. Only done when no port is open.
void ClearPortNames();

// Exact, case-sensitive lookup; 0 when the name is null, empty or not registered.
uint8_t PortIdOf(const char* name);

// The registered name of `id` (stable while the port is open), or nullptr.
const char* PortNameOf(uint8_t id);

// Lookup by id: the first slot in slot order whose PortId is `id`, in use or
// not. Id 0 finds nothing.
LinkPort* FindLinkPort(uint8_t id);
NodeState* FindNodeState(uint8_t id);
SerialChannel* FindSerialChannel(uint8_t id);

// Allocation takes the first slot whose in-use flag (Running / Active) is 0,
// tags it with `id`, raises the table's count and sets the fields a fresh
// port starts with. nullptr when all eight are in use.
LinkPort* AllocateLinkPort(uint8_t id);
NodeState* AllocateNodeState(uint8_t id);
SerialChannel* AllocateSerialChannel(uint8_t id);

// Release clears PortId and the in-use flag and lowers the count; the other
// fields keep their values.
void ReleaseLinkPort(LinkPort& port);
void ReleaseNodeState(NodeState& node);
void ReleaseSerialChannel(SerialChannel& channel);

uint8_t LinkPortCount();
uint8_t NodeStateCount();
uint8_t SerialChannelCount();

// The eight NodeState slots, for the tick that walks them all.
NodeState* NodeStateSlots();

}  // namespace tarnix
