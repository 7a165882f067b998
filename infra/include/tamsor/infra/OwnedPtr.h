#ifndef TAMSOR_INFRA_OWNEDPTR_H
#define TAMSOR_INFRA_OWNEDPTR_H

namespace Tamsor {

// Sole owner of one object made with new: deletes it when reset or destroyed. Not copyable.
template <class T>
class OwnedPtr {
  public:
    OwnedPtr() : m_pObject(nullptr) {}
    explicit OwnedPtr(T* p) : m_pObject(p) {}
    ~OwnedPtr() { delete m_pObject; }

    // Takes `p`, deleting what was held before.
    void reset(T* p = nullptr) {
        T* pOld = m_pObject;
        m_pObject = p;
        delete pOld;
    }

    bool isNull() const { return m_pObject == nullptr; }
    T* get() const { return m_pObject; }
    T* operator->() const { return m_pObject; }
    T& operator*() const { return *m_pObject; }

  private:
    OwnedPtr(const OwnedPtr&) = delete;
    OwnedPtr& operator=(const OwnedPtr&) = delete;

    T* m_pObject;
};

}  // namespace Tamsor

#endif
