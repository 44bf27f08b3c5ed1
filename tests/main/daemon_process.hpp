// The daemon runner and the LMTP line client, which live in tests/support.
#pragma once

#include <fmt/format.h>

#include "support/daemon_process.hpp"
#include "support/line_client.hpp"
