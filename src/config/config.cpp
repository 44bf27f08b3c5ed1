// Placeholder until the reader lands.
#include "config/config.hpp"
