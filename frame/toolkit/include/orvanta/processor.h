// The instruction sets this processor runs, read once per process. Vector rows built for an
// instruction set live in a file of their own, compiled for it, and export one function; a tool
// or table chooses among them once, when it is set up, from these flags, and keeps the chosen
// function.
//
// ORVANTA_VECTOR_LIMIT=sse2, avx2 or avx512 caps what counts as present (for comparing the rows
// of a narrower set with the rest on a wider processor); anything else, or unset, leaves the
// processor's own.
#pragma once

namespace orvanta {

struct Processor {
  bool avx2 = false;
  bool avx512f = false, avx512bw = false, avx512dq = false;
  bool bmi2 = false;
};

// Thread-safe; the first call reads the processor and the environment, later ones return that.
const Processor& ThisProcessor();

}  // namespace orvanta
