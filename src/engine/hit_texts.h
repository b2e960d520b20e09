// The check a batch makes before it answers: every hit's metadata text can be read.
#pragma once

#include <functional>
#include <span>
#include <vector>

#include "core/result.h"
#include "core/types.h"

namespace tamix {

// Reads the texts of ascending slots, calling failed(i, error) for each slots[i] it cannot.
using ReadTexts = std::function<void(std::span<const Slot> slots,
                                     const std::function<void(size_t, Error)>& failed)>;

// Queries of a batch share many hits, so each slot is read once, in slot order; a failure
// reports the first failing hit in query and hit order, as reading hit by hit would.
Status check_hit_texts(const std::vector<std::vector<ScoredIndex>>& scored, const ReadTexts& read);

}  // namespace tamix
