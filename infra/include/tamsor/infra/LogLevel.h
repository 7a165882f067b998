#ifndef TAMSOR_INFRA_LOGLEVEL_H
#define TAMSOR_INFRA_LOGLEVEL_H

#include <cstdint>

namespace Tamsor {

// A log4cplus level held as a 32-bit signed value; -1 means that no level is set.
typedef std::int32_t LogLevel;

const LogLevel kNoLogLevel = -1;
const LogLevel kTraceLogLevel = 0;
const LogLevel kDebugLogLevel = 10000;
const LogLevel kInfoLogLevel = 20000;
const LogLevel kWarnLogLevel = 30000;
const LogLevel kErrorLogLevel = 40000;
const LogLevel kFatalLogLevel = 50000;

}  // namespace Tamsor

#endif
