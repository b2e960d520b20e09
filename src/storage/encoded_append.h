// Appending vectors that are stored encoded (the quantized stores): records are encoded in
// blocks on the worker pool, then written through the record file's buffered append.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "core/result.h"
#include "core/types.h"
#include "storage/record_file.h"

namespace tamix {

// Writes the record of vector i (exactly the file's stride bytes).
using EncodeRecord = std::function<void(size_t i, std::span<uint8_t> record)>;
// Sees the records of vectors [first, first + block.size() / stride) before they are
// appended, to derive per-record values from them.
using SeeBlock = std::function<void(size_t first, std::span<const uint8_t> block)>;

// Appends n encoded records and returns the first new slot. Either every record is
// appended, or none: a failure takes back what this call had appended.
Result<Slot> append_encoded(RecordFile& file, size_t n, const EncodeRecord& encode,
                            const SeeBlock& see = nullptr);

}  // namespace tamix
