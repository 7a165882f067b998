#ifndef TAMSOR_INFRA_CACHEDLLLOGGER_H
#define TAMSOR_INFRA_CACHEDLLLOGGER_H

#include <string>

#include "tamsor/infra/Logger.h"

namespace Tamsor {

// A Logger that caches a log level, so that an object's level tests cost one comparison instead of a walk
// up log4cplus's hierarchy. The cache holds -1 until refreshCachedLogLevel() or setCachedLogLevel() fills
// it; while it holds -1 the level test asks log4cplus. Changes to log4cplus's configuration made after the
// cache was filled are not seen until the next refresh.
class CachedLLLogger : public Logger {
  public:
    CachedLLLogger() : m_cachedLogLevel(kNoLogLevel) {}
    explicit CachedLLLogger(const std::string& name) : Logger(name), m_cachedLogLevel(kNoLogLevel) {}

    // The object logger's level test: with a cached level, cached <= level; otherwise log4cplus decides.
    // Hides Logger::isEnabledFor on purpose: code that holds a CachedLLLogger gets the cached test.
    bool isEnabledFor(LogLevel level) const {
        return m_cachedLogLevel == kNoLogLevel ? Logger::isEnabledFor(level) : m_cachedLogLevel <= level;
    }

    LogLevel getCachedLogLevel() const { return m_cachedLogLevel; }
    void setCachedLogLevel(LogLevel level) { m_cachedLogLevel = level; }
    void refreshCachedLogLevel() { m_cachedLogLevel = getChainedLogLevel(); }

    // The level a trace scope is given: the cached level, or the chained level while nothing is cached.
    LogLevel getKnownLogLevel() const {
        return m_cachedLogLevel != kNoLogLevel ? m_cachedLogLevel : getChainedLogLevel();
    }

  private:
    LogLevel m_cachedLogLevel;
};

}  // namespace Tamsor

#endif
