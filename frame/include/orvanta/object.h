// The host's object roots: Object (allocation through the host, Recycle), Parameter and the value
// types Number and Point.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace orvanta {

class TagList;

class Object {
 public:
  virtual ~Object();

  // Tool and host objects are allocated through the host's operators.
  static void* operator new(std::size_t size);
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* p) noexcept;
  static void operator delete(void* p, const std::nothrow_t&) noexcept;
  static void* operator new(std::size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}

  // Changes attributes (shown state, ranges) of an object; for inputs, see Input.
  virtual void SetAttrs(const TagList& tags);
  // Releases an object the caller owns (temporary images).
  void Recycle();

 protected:
  Object() = default;
  Object(const Object&) = default;
  Object& operator=(const Object&) = default;
};

class Parameter : public Object {
 public:
  ~Parameter() override;
};

class Number : public Parameter {
 public:
  explicit Number(double v = 0.0) : value_(v) {}
  ~Number() override;
  operator double() const { return value_; }
  double Value() const { return value_; }

 private:
  double value_;
};

class Point : public Parameter {
 public:
  Point(double x = 0.0, double y = 0.0) : X(x), Y(y) {}
  ~Point() override;
  double X, Y;
};

// A number value that lives as long as a call: the tools build one to hand a value to an input.
class AutoNumber {
 public:
  explicit AutoNumber(double v) : number_(v) {}
  Number* operator->() { return &number_; }
  Number* get() { return &number_; }
  operator Number*() { return &number_; }

 private:
  Number number_;
};

// Owns a parameter made with new and releases it when it goes out of scope.
class AutoParameter {
 public:
  explicit AutoParameter(Parameter* p) : p_(p) {}
  ~AutoParameter() { delete p_; }
  AutoParameter(const AutoParameter&) = delete;
  AutoParameter& operator=(const AutoParameter&) = delete;
  Parameter* get() const { return p_; }
  operator Parameter*() const { return p_; }

 private:
  Parameter* p_;
};

}  // namespace orvanta
