#pragma once

#include "assembly/assembly_context.h"

namespace mdf {

// SEARCH MORE: fills the gaps of the combination, at most one fragment per gap and pass, the
// first that the map confirms or else the first it cannot judge, pass after pass until a pass
// finds nothing; then reads the file's name from page 32 when the first row is too short to
// hold it and writes name and size into the first row's remark. True when it ran to that end.
bool Button6Click(AssemblyContext& ctx);

// CHECK: the pages the combination still lacks: missing PFS pages, and every page a recorded
// PFS page marks allocated, gap by gap.
void Button5Click(AssemblyContext& ctx);

}  // namespace mdf
