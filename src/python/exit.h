// A database still open when the interpreter exits is flushed as its destructor would: objects
// kept alive to the end (cycles, leaks) are never deallocated. Touched only with the GIL.
#pragma once

#include "python/object.h"

namespace tamix::python {

void TrackOpen(TamixObject* obj);
void Untrack(TamixObject* obj);

// Hooks the flush into the interpreter's exit; false with a Python error on failure.
bool RegisterExitFlush();

}  // namespace tamix::python
