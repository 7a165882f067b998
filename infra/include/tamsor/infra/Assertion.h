#ifndef TAMSOR_INFRA_ASSERTION_H
#define TAMSOR_INFRA_ASSERTION_H

#include <string>

namespace Tamsor {

// Reports a failed condition and returns: it never stops the process. The caller tests the condition itself
// and goes on with its own failure result. Reports go at ERROR to the log4cplus logger named
// "corvane.infra.Assertion", as "Assertion failed: <text>", with the caller's file name and line.
class Assertion {
  public:
    Assertion(bool bCondition, const char* text, const char* file, int line);

    // The name of the logger that assertions report to.
    static const char* loggerName();
};

}  // namespace Tamsor

// Tests `condition`; when it fails, reports its source text with this file's name (TAMSOR_SOURCE_FILE, which
// the including source file defines) and line, and returns `result` from the calling function. Each macro is
// one statement (an `else` after it belongs to the `if` around it); __LINE__ is the line of the macro's use.
#define TAMSOR_ASSERT_OR_RETURN(condition, result)                                \
    do {                                                                          \
        if (!(condition)) {                                                       \
            ::Tamsor::Assertion(false, #condition, TAMSOR_SOURCE_FILE, __LINE__); \
            return result;                                                        \
        }                                                                         \
    } while (0)

// Tests `condition`; when it fails, reports it and goes on.
#define TAMSOR_ASSERT(condition)                                                                \
    do {                                                                                        \
        if (!(condition)) ::Tamsor::Assertion(false, #condition, TAMSOR_SOURCE_FILE, __LINE__); \
    } while (0)

#endif
