// Counted references: an object derived from Refcountable lives while a CountedRef points at it,
// and the release that brings its count to 0 destroys it.
#pragma once

#include <cstdint>
#include <type_traits>

#include "plinth/core/spin_lock.h"

namespace plinth {

// The count every counted object carries. A new object has count 0; the first CountedRef that
// takes it raises the count to 1. Classes deriving from it have a virtual destructor.
class Refcountable {
 public:
  std::int32_t refCount = 0;

 protected:
  Refcountable() = default;
  ~Refcountable() = default;
};

// A counted reference to a T. Every count change is made under globalLock, and the object is
// destroyed after the lock is released, so its destructor may release references of its own.
// One CountedRef variable is used by one thread at a time; separate references to the same
// object may live on separate threads.
template <typename T>
class CountedRef {
 public:
  CountedRef() = default;
  CountedRef(T* object) { assign(object); }  // NOLINT(google-explicit-constructor)
  CountedRef(const CountedRef& other) { assign(other.object_); }
  template <typename U>
  requires std::is_convertible_v<U*, T*> CountedRef(
      const CountedRef<U>& other) {  // NOLINT(google-explicit-constructor)
    assign(other.get());
  }
  ~CountedRef() { release(); }

  CountedRef& operator=(const CountedRef& other) {
    assign(other.object_);
    return *this;
  }

  void assign(T* object) {
    if (object == object_)
      return;  // the same object: no lock, no count change
    T* toDestroy = nullptr;
    globalLock.lock();
    if (object_ != nullptr && --object_->refCount == 0)
      toDestroy = object_;
    object_ = object;
    if (object_ != nullptr)
      ++object_->refCount;
    globalLock.unlock();
    delete toDestroy;
  }

  void release() { assign(nullptr); }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  T& operator*() const { return *object_; }
  explicit operator bool() const { return object_ != nullptr; }
  bool operator==(std::nullptr_t) const { return object_ == nullptr; }

 private:
  T* object_ = nullptr;
};

}  // namespace plinth
