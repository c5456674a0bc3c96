#include "driver/random_sleep.h"

#include <cstdlib>

#include "runtime/interval.h"

static_assert((static_cast<unsigned long long>(RAND_MAX) + 1) % 32768 == 0,
              "the low 15 bits of rand() must be uniform");

std::uint32_t RandomDraw() {
  return static_cast<std::uint32_t>(std::rand()) & kRandomDrawMax;
}

std::uint32_t RandomDelayMs(std::uint32_t draw, std::uint32_t min_ms,
                            std::uint32_t max_ms) {
  const double span = static_cast<double>(max_ms - min_ms);
  return min_ms + static_cast<std::uint32_t>((draw * (1 / 32767.0)) * span);
}

void RandomSleep(std::uint32_t min_ms, std::uint32_t max_ms) {
  const std::uint32_t delay = RandomDelayMs(RandomDraw(), min_ms, max_ms);
  JX_Sleep(JX_MillisecondsToInterval(delay));
}
