#ifndef TAMSOR_INFRA_LOGGER_H
#define TAMSOR_INFRA_LOGGER_H

#include <log4cplus/logger.h>

#include <string>

#include "tamsor/infra/LogLevel.h"

namespace Tamsor {

// A named logger on log4cplus. A default-constructed Logger is bound to no log4cplus logger: it is never
// enabled, never active and has no level (-1); assigning a named Logger to it binds it.
//
// Level tests and logMessage are safe from any thread (log4cplus locks what it shares). Copying and
// assigning a Logger object is not synchronised: one Logger object is changed by one thread at a time.
class Logger {
  public:
    Logger();
    explicit Logger(const std::string& name);
    Logger(const Logger& other);
    Logger& operator=(const Logger& other);
    virtual ~Logger();

    // True when log4cplus would log at `level` on this logger.
    bool isEnabledFor(LogLevel level) const;

    // The logger's name; empty when unbound.
    std::string getName() const;

    // The effective level of the logger, inherited from its ancestors when it has none of its own; -1 when
    // the logger is unbound or no level is set anywhere on its chain.
    LogLevel getChainedLogLevel() const;

    // Non-zero when this logger may log at all. A host (or a test) can silence one logger object without
    // touching log4cplus's configuration by setActive(false).
    int isActive() const;
    void setActive(bool bActive);

    // Emits `text` at `level` with the reporting site's file name and line. No level test of its own: the
    // caller has done it. `file` may be null.
    void logMessage(LogLevel level, const std::string& text, const char* file, int line) const;

    // The log4cplus logger underneath (only valid when bound).
    const log4cplus::Logger& getLog4cplusLogger() const { return m_log4cplusLogger; }
    bool isBound() const { return m_bBound; }

  private:
    log4cplus::Logger m_log4cplusLogger;
    bool m_bBound;
    bool m_bActive;
};

}  // namespace Tamsor

#endif
