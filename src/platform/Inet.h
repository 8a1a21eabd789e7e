// Inet: the Internet transfer layer in one include.
#pragma once

#include "platform/InetHandles.h"
