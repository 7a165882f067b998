#ifndef TAMSOR_INFRA_ACECLEANUPLOGGER_H
#define TAMSOR_INFRA_ACECLEANUPLOGGER_H

#include "tamsor/infra/Logger.h"

namespace Tamsor {

// A Logger meant to live until the process ends: file-scope loggers are made with new on first use and
// never deleted, so that code running during static destruction can still log through them.
class AceCleanupLogger : public Logger {
  public:
    explicit AceCleanupLogger(const char* name) : Logger(name ? name : "") {}
};

}  // namespace Tamsor

#endif
