// Object roots: the host's allocation operators (with test hooks for failure and counting).
#include <atomic>
#include <cstdlib>

#include "state.h"

namespace orvanta {
namespace {
std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_failAfter{-1};

void* Allocate(std::size_t size) noexcept {
  int64_t left = g_failAfter.load(std::memory_order_relaxed);
  if (left == 0) return nullptr;
  if (left > 0) g_failAfter.fetch_sub(1, std::memory_order_relaxed);
  void* p = std::malloc(size ? size : 1);
  if (p) g_live.fetch_add(1, std::memory_order_relaxed);
  return p;
}
}  // namespace

Object::~Object() = default;

void* Object::operator new(std::size_t size) {
  void* p = Allocate(size);
  if (!p) throw std::bad_alloc();
  return p;
}

void* Object::operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }

void Object::operator delete(void* p) noexcept {
  if (!p) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

void Object::operator delete(void* p, const std::nothrow_t&) noexcept { Object::operator delete(p); }

void Object::SetAttrs(const TagList&) {}

void Object::Recycle() { delete this; }

Parameter::~Parameter() = default;
Number::~Number() = default;
Point::~Point() = default;

namespace host::testing {
void FailAllocationsAfter(int64_t n) { g_failAfter.store(n); }
int64_t LiveObjects() { return g_live.load(); }
}  // namespace host::testing

}  // namespace orvanta
