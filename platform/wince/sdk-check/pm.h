// For compile checks off the device only: the declarations of the Windows CE 5 SDK's pm.h
// that the driver uses, as that header declares them.
#pragma once

#include "power_manager.h"
