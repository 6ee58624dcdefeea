// The transmit procedure through which every frame leaves the station, whether
// the user sends it or the master machine does.
#pragma once

#include <cstdint>

namespace tarnix {

inline constexpr uint32_t kTokenAgeLimitMs = 96;
inline constexpr uint32_t kAnswerWindowMs = 45;
inline constexpr uint32_t kMinSilenceMs = 3;

// Sends one frame on port `id`: 0 sent, 1 refused. Unless master services are
// disabled, the frame must pass the bus gates first: a token not older than
// 96 ms (with nothing but a repetition of that token waiting in the input) for
// the first frame of a token hold, a quiet input otherwise, no packet jam, an
// answer within 45 ms of its request, and 3 ms of silence on the line.
// A Data Expecting Reply frame is kept in the RequestBuffer for resending.
uint8_t TransmitFrame(uint8_t id, uint8_t frameType, uint8_t destination, const uint8_t* data,
                      uint16_t length);

// How long to wait before writing so that the line has been silent for 3 ms.
uint32_t SilenceWaitMs(uint32_t silenceTimer);

// The reply wait for a send time-out: 125 ms for each started 500 ms, computed
// in 16 bits as the bus has always done it (65535 gives 16500).
uint16_t ReplyWaitFor(uint16_t timeout);

}  // namespace tarnix
