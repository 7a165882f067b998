#ifndef TAMSOR_TESTS_SAMEBYTES_H
#define TAMSOR_TESTS_SAMEBYTES_H

#include <gtest/gtest.h>

#include <string>

namespace Tamsor {
namespace Testing {

// Equality of byte strings that reports both sizes and the first difference instead of printing the bytes.
inline ::testing::AssertionResult sameBytes(const std::string& left, const std::string& right) {
    if (left == right) return ::testing::AssertionSuccess();
    std::size_t at = 0;
    while (at < left.size() && at < right.size() && left[at] == right[at]) ++at;
    return ::testing::AssertionFailure() << left.size() << " bytes against " << right.size() << ", differing at " << at;
}

}  // namespace Testing
}  // namespace Tamsor

#endif
