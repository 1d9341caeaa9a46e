#include "plinth/core/counted_ref.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace plinth {
namespace {

std::atomic<int> destroyed{0};

class Counted : public Refcountable {
 public:
  virtual ~Counted() { ++destroyed; }
  CountedRef<Counted> inner;  // released by the destructor, which takes globalLock again
};

class Derived : public Counted {
 public:
  ~Derived() override { ++derivedDestroyed; }
  static inline int derivedDestroyed = 0;
};

class CountedRefTest : public ::testing::Test {
 protected:
  void SetUp() override { destroyed = 0; }
};

TEST_F(CountedRefTest, CopiesCountAndTheLastReleaseDestroysOnce) {
  auto* object = new Counted;
  EXPECT_EQ(object->refCount, 0);
  {
    CountedRef<Counted> first(object);
    EXPECT_EQ(object->refCount, 1);
    {
      CountedRef<Counted> second(first);
      EXPECT_EQ(object->refCount, 2);
    }
    EXPECT_EQ(object->refCount, 1);
    EXPECT_EQ(destroyed, 0);
  }
  EXPECT_EQ(destroyed, 1);
}

TEST_F(CountedRefTest, SameObjectAndEmptyReleaseTakeNoLock) {
  auto* object = new Counted;
  CountedRef<Counted> ref(object);
  CountedRef<Counted> empty;
  globalLock.lock();  // would deadlock if either call below took the lock
  ref.assign(object);
  ref = ref;
  empty.release();
  globalLock.unlock();
  EXPECT_EQ(object->refCount, 1);
  EXPECT_FALSE(empty);
  EXPECT_TRUE(empty == nullptr);
}

TEST_F(CountedRefTest, ReassignDestroysTheOldObjectAfterStoringTheNew) {
  auto* a = new Counted;
  auto* b = new Counted;
  CountedRef<Counted> keepB(b);
  CountedRef<Counted> ref(a);
  ref.assign(b);
  EXPECT_EQ(destroyed, 1);
  EXPECT_EQ(b->refCount, 2);
  EXPECT_EQ(ref.get(), b);
}

TEST_F(CountedRefTest, DestructorReleasingItsOwnReferencesDoesNotDeadlock) {
  auto* outer = new Counted;
  outer->inner.assign(new Counted);
  outer->inner->inner.assign(new Counted);
  CountedRef<Counted> ref(outer);
  ref.release();
  EXPECT_EQ(destroyed, 3);
}

TEST_F(CountedRefTest, DestroysThroughTheDerivedDestructor) {
  Derived::derivedDestroyed = 0;
  CountedRef<Derived> derived(new Derived);
  CountedRef<Counted> base(derived);
  EXPECT_EQ(base->refCount, 2);
  derived.release();
  base.release();
  EXPECT_EQ(Derived::derivedDestroyed, 1);
  EXPECT_EQ(destroyed, 1);
}

TEST_F(CountedRefTest, ThreadsCopyingAndDroppingKeepTheCountExact) {
  auto* object = new Counted;
  CountedRef<Counted> root(object);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&root] {
      CountedRef<Counted> mine(root);  // each thread copies from its own reference
      for (int i = 0; i < 20000; ++i) {
        CountedRef<Counted> copy(mine);
      }
    });
  }
  for (auto& thread : threads)
    thread.join();
  EXPECT_EQ(object->refCount, 1);
  root.release();
  EXPECT_EQ(destroyed, 1);
}

}  // namespace
}  // namespace plinth
