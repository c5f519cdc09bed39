#pragma once
#include <vector>

#include "crypto/ecgost/ecgost.h"
#include "test_util.h"

namespace ectest {

inline std::vector<unsigned char> reversed(const unsigned char* p, std::size_t n) {
  return std::vector<unsigned char>(std::reverse_iterator<const unsigned char*>(p + n),
                                    std::reverse_iterator<const unsigned char*>(p));
}

}  // namespace ectest
