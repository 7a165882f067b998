#ifndef TAMSOR_INFRA_LOGMACROS_H
#define TAMSOR_INFRA_LOGMACROS_H

#include <sstream>

// Logs the pieces (`a << b << c`) at `level` on `logger` with this file's name (TAMSOR_SOURCE_FILE, defined
// by the including source file) and the line of the macro. The text is built only after the level test and
// the logger's isActive() have passed; otherwise nothing is built or sent. `logger` is evaluated once for
// each test, so pass an lvalue: an object logger (CachedLLLogger) gets its cached level test.
#define TAMSOR_LOG(logger, level, pieces)                                                       \
    do {                                                                                        \
        if ((logger).isEnabledFor(level) && (logger).isActive()) {                              \
            std::ostringstream tamsorLogStream_;                                                \
            tamsorLogStream_ << pieces;                                                         \
            (logger).logMessage((level), tamsorLogStream_.str(), TAMSOR_SOURCE_FILE, __LINE__); \
        }                                                                                       \
    } while (0)

#endif
