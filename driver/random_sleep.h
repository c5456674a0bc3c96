// The randomized millisecond pause.
//
// RandomSleep may be called from several threads at once; it keeps no random
// state of its own and never seeds the C library's generator, whose state is
// shared by the threads of the process.
#ifndef WENDLEMOOR_DRIVER_RANDOM_SLEEP_H_
#define WENDLEMOOR_DRIVER_RANDOM_SLEEP_H_

#include <cstdint>

// The top value of a draw: draws range over 0..kRandomDrawMax.
inline constexpr std::uint32_t kRandomDrawMax = 32767;

// One draw from 0 to 32767, each value equally likely, taken from rand(). The
// C library's rand ranges to RAND_MAX (2^31 - 1 here); its low 15 bits are
// uniform over 0..32767 because RAND_MAX + 1 is a multiple of 32768.
std::uint32_t RandomDraw();

// The delay for a draw: min_ms + trunc(draw * (1 / 32767.0) * (max_ms -
// min_ms)), in double arithmetic, the products taken in this order. Draw 0
// gives min_ms; only draw 32767 gives max_ms. REQUIRES: min_ms <= max_ms, draw
// <= kRandomDrawMax.
std::uint32_t RandomDelayMs(std::uint32_t draw, std::uint32_t min_ms,
                            std::uint32_t max_ms);

// Pauses the calling thread for RandomDelayMs(RandomDraw(), min_ms, max_ms)
// milliseconds. One draw is consumed on every call, even when the bounds are
// equal. Signals do not shorten the pause.
// REQUIRES: min_ms <= max_ms.
void RandomSleep(std::uint32_t min_ms, std::uint32_t max_ms);

#endif  // WENDLEMOOR_DRIVER_RANDOM_SLEEP_H_
