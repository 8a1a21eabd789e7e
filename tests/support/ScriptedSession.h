// The scripted peer under its former name: see ScriptedPeer.h.
#pragma once

#include "support/ScriptedPeer.h"
