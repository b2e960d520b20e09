// The check a batch makes before it answers: every hit's metadata text can be read.
#pragma once

#include <functional>
#include <vector>

#include "core/result.h"
#include "core/types.h"

namespace tamix {

// Reads one slot's text, reporting only whether it could.
using ReadText = std::function<Status(Slot)>;

// Queries of a batch share many hits, so each slot is read once, in slot order; a failure
// reports the first failing hit in query and hit order, as reading hit by hit would.
Status check_hit_texts(const std::vector<std::vector<ScoredIndex>>& scored, const ReadText& read);

}  // namespace tamix
