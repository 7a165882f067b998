#ifndef TAMSOR_INFRA_OBJECT_H
#define TAMSOR_INFRA_OBJECT_H

namespace Tamsor {

// Root of the class tree. Classes reach it through virtual inheritance so that one object has exactly one
// Object part however it is reached; this is what lets a counted handle convert between any two classes of
// one object with a dynamic cast. Destroying an Object does nothing.
class Object {
  public:
    virtual ~Object() {}
};

}  // namespace Tamsor

#endif
