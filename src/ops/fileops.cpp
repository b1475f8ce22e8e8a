// (being written)
#include "ops/ops.hpp"
