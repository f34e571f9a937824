// Reference-counted objects of the capture framework and of the device
// backends. Every object counts itself and its references in process-wide
// counters, so a test can show that a sequence of operations gave back
// everything it took.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/com.h"

namespace kelvane::framework {

using platform::HRESULT;
using platform::IID;
using platform::REFIID;
using platform::ULONG;

void CountObject(int delta);
void CountReference(int delta);
// Objects alive now, and references held on them.
int64_t LiveObjects();
int64_t OutstandingReferences();

// One COM identity: its reference count and its interface lookup. It starts
// with one reference, held by whoever created it.
class Object {
 public:
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  ULONG AddRefImpl() {
    CountReference(+1);
    return refs_.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  ULONG ReleaseImpl() {
    CountReference(-1);
    const ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
  }
  HRESULT QueryImpl(REFIID riid, void** out) {
    if (!out) return platform::E_POINTER;
    *out = Find(riid);
    if (!*out) return platform::E_NOINTERFACE;
    AddRefImpl();
    return platform::S_OK;
  }

 protected:
  Object() {
    CountObject(+1);
    CountReference(+1);
  }
  virtual ~Object() { CountObject(-1); }
  // The interface pointer for riid, or null. No reference is added here.
  virtual void* Find(REFIID riid) = 0;

 private:
  std::atomic<ULONG> refs_{1};
};

// Implements the three IUnknown operations of a class that derives from Object
// and from one or more interfaces.
#define KELVANE_IUNKNOWN                                                                    \
  HRESULT QueryInterface(REFIID riid, void** out) override { return QueryImpl(riid, out); } \
  ULONG AddRef() override { return AddRefImpl(); }                                          \
  ULONG Release() override { return ReleaseImpl(); }

// An interface implemented by a member of an object (needed where two
// interfaces share method names, as the three driver property interfaces do).
// It has no identity of its own: everything goes to the owner.
template <class I>
class Facet : public I {
 public:
  explicit Facet(Object& owner) : owner_(owner) {}
  HRESULT QueryInterface(REFIID riid, void** out) override { return owner_.QueryImpl(riid, out); }
  ULONG AddRef() override { return owner_.AddRefImpl(); }
  ULONG Release() override { return owner_.ReleaseImpl(); }

 protected:
  Object& owner_;
};

// Creates an object, hands out the interface asked for, and drops the creation reference.
template <class T>
HRESULT HandOut(T* object, REFIID riid, void** out) {
  const HRESULT hr = object->QueryImpl(riid, out);
  object->ReleaseImpl();
  return hr;
}

}  // namespace kelvane::framework
