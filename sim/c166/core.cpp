#include "sim/c166/core.hpp"
