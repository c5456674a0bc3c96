// A picture of a chaos run's history: one self-contained SVG document.
//
// A lane per name shows its holds as bars coloured by process; rows above
// show where each kind of fault struck, red marks show overlapping holds, a
// time axis runs below, and the title carries the verdict. Whatever the
// number of holds, each lane is drawn as at most one bar per column (the
// process that held the name longest in that column); a column is a pixel
// wide, wider when many lanes share the budget of bars. So a run of any
// length and any number of names stays under 2 MiB (a few hundred KiB
// typically) and readable.
//
// Thread safety: a pure function. Ownership: the result is the caller's.
#ifndef WENDLEMOOR_CHAOS_TIMELINE_H_
#define WENDLEMOOR_CHAOS_TIMELINE_H_

#include <string>
#include <vector>

#include "chaos/checker.h"
#include "chaos/history.h"

namespace wendlemoor {

// The SVG document of `check` (from CheckHistory over `history` with `names`
// names), titled `title`, with `run` (what was run) on the line below.
std::string TimelineSvg(const ChaosCheck& check,
                        const std::vector<ChaosRecord>& history, int names,
                        const std::string& title, const std::string& run);

}  // namespace wendlemoor

#endif  // WENDLEMOOR_CHAOS_TIMELINE_H_
