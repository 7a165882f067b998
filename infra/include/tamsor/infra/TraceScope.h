#ifndef TAMSOR_INFRA_TRACESCOPE_H
#define TAMSOR_INFRA_TRACESCOPE_H

#include "tamsor/infra/LogLevel.h"
#include "tamsor/infra/Logger.h"

namespace Tamsor {

// Logs entry to and exit from a scope at TRACE, as "ENTER: <text>" and "EXIT: <text>".
//
// `level` is the level the caller knows for `logger` (an object logger's cached level, or its chained level
// when nothing is cached). The scope traces when that level is -1 and log4cplus would log TRACE, or when the
// level is TRACE itself; and the logger is active. A scope that does not trace logs nothing at all.
// `text` is not copied: it must outlive the scope (the library passes literals).
class TraceScope {
  public:
    TraceScope(const Logger& logger, const char* text, LogLevel level);
    ~TraceScope();

    void ctorLog();
    void dtorLog();

    bool isTracing() const { return m_bTracing; }

  private:
    TraceScope(const TraceScope&) = delete;
    TraceScope& operator=(const TraceScope&) = delete;

    const Logger& m_rLogger;
    const char* m_pText;
    bool m_bTracing;
};

}  // namespace Tamsor

#endif
