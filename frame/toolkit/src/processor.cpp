#include "orvanta/processor.h"

#include <cstdlib>
#include <cstring>

namespace orvanta {
namespace {

Processor Read() {
  Processor p;
#if defined(__x86_64__) || defined(__i386__)
  __builtin_cpu_init();  // may run before the library's own initialisers
  p.avx2 = __builtin_cpu_supports("avx2");
  p.avx512f = __builtin_cpu_supports("avx512f");
  p.avx512bw = __builtin_cpu_supports("avx512bw");
  p.avx512dq = __builtin_cpu_supports("avx512dq");
  p.bmi2 = __builtin_cpu_supports("bmi2");
#endif
  const char* limit = std::getenv("ORVANTA_VECTOR_LIMIT");
  if (limit && (std::strcmp(limit, "sse2") == 0 || std::strcmp(limit, "avx2") == 0)) {
    p.avx512f = p.avx512bw = p.avx512dq = false;
    if (std::strcmp(limit, "sse2") == 0) p.avx2 = false;
  }
  return p;
}

}  // namespace

const Processor& ThisProcessor() {
  static const Processor processor = Read();
  return processor;
}

}  // namespace orvanta
