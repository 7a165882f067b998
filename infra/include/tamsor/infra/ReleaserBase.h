#ifndef TAMSOR_INFRA_RELEASERBASE_H
#define TAMSOR_INFRA_RELEASERBASE_H

#include "tamsor/infra/Object.h"

namespace Tamsor {

// A polymorphic releaser that a counted handle may carry beside its object. Handles only hold and share it.
class ReleaserBase : public virtual Object {
  public:
    ~ReleaserBase() override {}
};

}  // namespace Tamsor

#endif
