// The platform cases' needs on desktop Windows.
#include "platform_support.h"

bool HoldNameWithAMutex(LPCWSTR name) {
    return CreateMutexW(nullptr, FALSE, name) != nullptr;
}

bool MoveTickCountTo(DWORD) {
    return false;
}
