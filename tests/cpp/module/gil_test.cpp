#include "frame/gil.hpp"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "embedded_interpreter.hpp"
#include "frame/handle.hpp"

namespace quellgate {
namespace {

// A fresh object and batches of owned references to it, one batch for each
// thread that will drop them.
class HandedOut {
 public:
  HandedOut(int batches, int references_each) {
    gil::with_gil([&] {
      object_ = PyList_New(0);
      alone_ = Py_REFCNT(object_);
      batches_.resize(static_cast<std::size_t>(batches));
      for (auto& batch : batches_) {
        for (int i = 0; i < references_each; ++i) batch.push_back(PyRef::borrow(object_));
      }
    });
  }
  ~HandedOut() {
    gil::with_gil([&] { Py_DecRef(object_); });
  }
  HandedOut(const HandedOut&) = delete;
  HandedOut& operator=(const HandedOut&) = delete;

  std::vector<std::vector<PyRef>>& batches() { return batches_; }
  PyObject* object() const { return object_; }
  // Taking the lock as a foreign thread would, without the module's entry
  // (which drains the queue first).
  Py_ssize_t references_beyond_the_test_own() const {
    const PyGILState_STATE state = PyGILState_Ensure();
    const Py_ssize_t count = Py_REFCNT(object_) - alone_;
    PyGILState_Release(state);
    return count;
  }
  // The same through an entry into the module.
  Py_ssize_t references_beyond_the_test_own_after_an_entry() const {
    return gil::with_gil([&] { return Py_REFCNT(object_) - alone_; });
  }

 private:
  PyObject* object_ = nullptr;
  Py_ssize_t alone_ = 0;
  std::vector<std::vector<PyRef>> batches_;
};

TEST(PendingReleasesTest, DropsOnThreadsWithoutTheLockWaitForTheNextEntryThenAllLand) {
  HandedOut handed_out(4, 2000);
  {
    std::vector<std::jthread> droppers;
    for (auto& batch : handed_out.batches()) droppers.emplace_back([&batch] { batch.clear(); });
  }
  EXPECT_EQ(handed_out.references_beyond_the_test_own(), 4 * 2000) << "dropped without the lock";
  EXPECT_EQ(handed_out.references_beyond_the_test_own_after_an_entry(), 0);
}

TEST(PendingReleasesTest, EntriesDrainingWhileThreadsKeepDroppingLoseNoReference) {
  HandedOut handed_out(3, 3000);
  {
    std::vector<std::jthread> droppers;
    for (auto& batch : handed_out.batches()) {
      droppers.emplace_back([&batch] {
        while (!batch.empty()) batch.pop_back();
      });
    }
    for (int entry = 0; entry < 300; ++entry) gil::with_gil([] {});
  }
  EXPECT_EQ(handed_out.references_beyond_the_test_own_after_an_entry(), 0);
}

TEST(DroppedReferencesTest, DropsUnderTheLockLandBeforeTheAcquisitionEndsEvenPastTheThreadsOwnList) {
  HandedOut handed_out(1, 1000);  // more than a thread keeps to itself
  gil::with_gil([&] { handed_out.batches()[0].clear(); });
  EXPECT_EQ(handed_out.references_beyond_the_test_own(), 0);
}

// A capsule that owns the next link through a PyRef: releasing the head makes
// each destructor drop the next link while references are being released.
PyObject* chain_of_capsules(PyObject* tail, int links) {
  PyObject* link = tail;
  Py_IncRef(tail);
  for (int i = 0; i < links; ++i) {
    auto* next = new PyRef(PyRef::steal(link));
    link = PyCapsule_New(next, nullptr, [](PyObject* capsule) {
      delete static_cast<PyRef*>(PyCapsule_GetPointer(capsule, nullptr));
    });
  }
  return link;
}

TEST(DroppedReferencesTest, ReferencesDroppedByTheReleasesThemselvesLandToo) {
  HandedOut tail(0, 0);
  PyRef head;
  gil::with_gil([&] { head = PyRef::steal(chain_of_capsules(tail.object(), 300)); });
  EXPECT_EQ(tail.references_beyond_the_test_own(), 1);
  gil::with_gil([&] { head.reset(); });
  EXPECT_EQ(tail.references_beyond_the_test_own(), 0);
}

}  // namespace
}  // namespace quellgate
