#ifndef TAMSOR_INFRA_NULLABLEPTR_H
#define TAMSOR_INFRA_NULLABLEPTR_H

namespace Tamsor {

// A plain pointer with a null test. It owns nothing: whoever sets it releases what it points to.
template <class T>
class NullablePtr {
  public:
    NullablePtr() : m_pObject(nullptr) {}
    NullablePtr(T* p) : m_pObject(p) {}  // NOLINT: implicit on purpose, it stands for a T*

    NullablePtr& operator=(T* p) {
        m_pObject = p;
        return *this;
    }

    bool isNull() const { return m_pObject == nullptr; }
    T* get() const { return m_pObject; }
    operator T*() const { return m_pObject; }  // NOLINT

  private:
    T* m_pObject;
};

}  // namespace Tamsor

#endif
