#pragma once

namespace libmo {

// Base of classes that can be neither copied nor assigned.
class Noncopyable {
 protected:
  Noncopyable() = default;
  ~Noncopyable() = default;

 public:
  Noncopyable(const Noncopyable&) = delete;
  Noncopyable& operator=(const Noncopyable&) = delete;
};

}  // namespace libmo
