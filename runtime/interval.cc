#include "runtime/interval.h"

JX_Interval JX_SecondsToInterval(std::uint32_t seconds) {
  return JX_Interval{seconds} * 1000000u;
}

JX_Interval JX_MillisecondsToInterval(std::uint32_t milliseconds) {
  return JX_Interval{milliseconds} * 1000u;
}
