// SPDX-License-Identifier: MIT
#include "common/scratch.hpp"

namespace tav {

Scratch scratch;

}  // namespace tav
