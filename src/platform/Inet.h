// Inet: the Internet transfer layer in one include: the handles (sessions, connections, transfers,
// requests, FTP searches: platform/InetHandles.h) and the locations the web components use on top of them
// (platform/InetLocation.h).
#pragma once

#include "platform/InetHandles.h"
#include "platform/InetLocation.h"
