#ifndef TAMSOR_COUNTEDOBJPTR_H
#define TAMSOR_COUNTEDOBJPTR_H

// Counted handles: every entry a file system hands out travels in a ManagedHandle and is deleted when the
// last handle that shares it is dropped. The count (TSReferenceCount, from StaticMemAllocator) has its own
// mutex: copies of one handle may be made, converted and dropped on different threads, and exactly one of
// them deletes the object. One handle object is not shared between threads; the object is not synchronised.

#include <ace/Thread_Mutex.h>

#include <cassert>
#include <cstdint>
#include <new>
#include <utility>

#include "tamsor/infra/ReleaserBase.h"
#include "tamsor/infra/StaticMemAllocator.h"

namespace Tamsor {

// The shared count of one object; lives in a block of StaticMemAllocator under "TSReferenceCount".
struct TSReferenceCount {
    ACE_Thread_Mutex m_mutex;  // guards the two fields below
    std::uint32_t m_uiCount;   // counted pointers sharing the object
    bool m_bLocked;            // true while an operation holds m_mutex; nothing reads it

    TSReferenceCount() : m_mutex(), m_uiCount(1), m_bLocked(false) {}

    static const char* allocationTag() { return "TSReferenceCount"; }
};

// Deletes the object through its virtual destructor, so the most-derived class's operator delete runs.
template <class T>
struct DeleteCountedObjDeleter {
    void operator()(T* pObject) const { delete pObject; }
};

// A counted pointer: the object and its shared count, both null or both set.
template <class T, class RefCntClass, class DeleteCls>
class CountedBuiltInPtr {
  public:
    CountedBuiltInPtr() : m_pObject(nullptr), m_pRefCount(nullptr) {}

    // Takes ownership of p. When the count cannot be made, p is deleted and the failure propagates, so that
    // nothing leaks and nothing is deleted twice.
    explicit CountedBuiltInPtr(T* p) : m_pObject(p), m_pRefCount(nullptr) {
        if (p) m_pRefCount = makeCount(p);
    }

    CountedBuiltInPtr(const CountedBuiltInPtr& other) : m_pObject(nullptr), m_pRefCount(nullptr) {
        share(other.m_pObject, other.m_pRefCount);
    }

    // Shares `pRefCount` for `p` (a converted pointer to the object that the count counts), or stays null.
    CountedBuiltInPtr(T* p, RefCntClass* pRefCount) : m_pObject(nullptr), m_pRefCount(nullptr) {
        if (p && pRefCount) share(p, pRefCount);
    }

    CountedBuiltInPtr& operator=(const CountedBuiltInPtr& other) {
        CountedBuiltInPtr copy(other);
        swap(copy);
        return *this;
    }
    ~CountedBuiltInPtr() { drop(); }
    T* get() const { return m_pObject; }
    RefCntClass* getRefCount() const { return m_pRefCount; }
    bool isNull() const { return m_pObject == nullptr; }

    void swap(CountedBuiltInPtr& other) {
        std::swap(m_pObject, other.m_pObject);
        std::swap(m_pRefCount, other.m_pRefCount);
    }

  private:
    void drop() {
        if (!m_pRefCount) {
            assert(m_pObject == 0);
            return;
        }
        RefCntClass* pRefCount = m_pRefCount;
        pRefCount->m_mutex.acquire();
        pRefCount->m_bLocked = true;
        if (pRefCount->m_uiCount != 1) {
            --pRefCount->m_uiCount;
            pRefCount->m_bLocked = false;
            pRefCount->m_mutex.release();
            return;
        }
        // Last reference: the object dies inside the count's mutex, then the count itself goes.
        if (m_pObject) DeleteCls()(m_pObject);
        pRefCount->m_bLocked = false;
        pRefCount->m_mutex.release();
        pRefCount->~RefCntClass();
        StaticMemAllocator::deallocate(pRefCount, sizeof(RefCntClass), RefCntClass::allocationTag());
    }

    void share(T* p, RefCntClass* pRefCount) {
        if (!pRefCount) return;
        pRefCount->m_mutex.acquire();
        pRefCount->m_bLocked = true;
        ++pRefCount->m_uiCount;
        pRefCount->m_bLocked = false;
        pRefCount->m_mutex.release();
        m_pObject = p;
        m_pRefCount = pRefCount;
    }

    static RefCntClass* makeCount(T* p) {
        void* pStorage;
        try {
            pStorage = StaticMemAllocator::allocate(sizeof(RefCntClass), RefCntClass::allocationTag());
        } catch (...) {
            DeleteCls()(p);
            throw;
        }
        try {
            return new (pStorage) RefCntClass();
        } catch (...) {
            // The object is left to the caller here, as the count's own failure is not the object's.
            StaticMemAllocator::deallocate(pStorage, sizeof(RefCntClass), RefCntClass::allocationTag());
            throw;
        }
    }

    T* m_pObject;
    RefCntClass* m_pRefCount;
};

template <class T, class RefCntClass>
class ManagedHandle;

// The handle that the file-system operations return by value: the object with its count, and a releaser
// part (null in every handle this library makes). A null handle reports failure or the end of a listing.
template <class T, class RefCntClass>
class ManagedHandle {
  public:
    typedef CountedBuiltInPtr<T, RefCntClass, DeleteCountedObjDeleter<T>> ObjectPtr;
    typedef CountedBuiltInPtr<ReleaserBase, RefCntClass, DeleteCountedObjDeleter<ReleaserBase>> ReleaserPtr;

    ManagedHandle() : m_pObject(), m_pReleaser() {}

    // Takes ownership of p; a null p gives a null handle without a count.
    explicit ManagedHandle(T* p) : m_pObject(p), m_pReleaser() {}

    ManagedHandle(const ManagedHandle& other) : m_pObject(other.m_pObject), m_pReleaser(other.m_pReleaser) {}

    // Converts up or down the class tree with a dynamic cast. On success the new handle shares the source's
    // count; otherwise it is null and the source's count is untouched. The releaser is shared either way.
    template <class U>
    ManagedHandle(const ManagedHandle<U, RefCntClass>& other)  // NOLINT: conversions are implicit on purpose
        : m_pObject(dynamic_cast<T*>(other.m_pObject.get()), other.m_pObject.getRefCount()),
          m_pReleaser(other.m_pReleaser) {}

    ManagedHandle& operator=(const ManagedHandle& other) {
        if (this != &other) {
            ManagedHandle copy(other);
            m_pObject.swap(copy.m_pObject);
            m_pReleaser.swap(copy.m_pReleaser);
        }
        return *this;
    }

    // Members are destroyed in reverse order: the releaser part is dropped first, then the object part.
    ~ManagedHandle() {}

    bool isNull() const { return m_pObject.isNull(); }
    T* get() const { return m_pObject.get(); }
    T* operator->() const { return m_pObject.get(); }
    T& operator*() const { return *m_pObject.get(); }

    // For tests and diagnostics: the number of counted pointers sharing the object (0 for a null handle).
    std::uint32_t useCount() const {
        RefCntClass* pRefCount = m_pObject.getRefCount();
        if (!pRefCount) return 0;
        pRefCount->m_mutex.acquire();
        const std::uint32_t uiCount = pRefCount->m_uiCount;
        pRefCount->m_mutex.release();
        return uiCount;
    }
    bool hasReleaser() const { return !m_pReleaser.isNull(); }

  private:
    template <class U, class R>
    friend class ManagedHandle;

    ObjectPtr m_pObject;
    ReleaserPtr m_pReleaser;
};

}  // namespace Tamsor

#endif
