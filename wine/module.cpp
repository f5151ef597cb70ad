// The Wine harness's module: Timeward.dll loaded, its entry points found, its clock patched.
#include "harness.h"

#include <type_traits>

namespace harness {

bool Module::Load() {
    h = LoadLibraryW(L"Timeward.dll");
    if (!h)
        return false;
    bool ok = true;
    auto get = [&](const char* name, auto** fn) {
        *fn = reinterpret_cast<std::remove_pointer_t<decltype(fn)>>(
            reinterpret_cast<void*>(GetProcAddress(h, name)));
        ok = ok && *fn;
    };
    get("RTC_Init", &Init);
    get("RTC_Deinit", &Deinit);
    get("RTC_Open", &Open);
    get("RTC_Close", &Close);
    get("RTC_Read", &Read);
    get("RTC_Write", &Write);
    get("RTC_Seek", &Seek);
    get("RTC_IOControl", &IOControl);
    get("RTC_PowerUp", &PowerUp);
    get("RTC_PowerDown", &PowerDown);
    ok = ok && PatchImport(h, "KERNEL32.dll", "GetSystemTime", (void*)&TestGetSystemTime);
    ok = ok && PatchImport(h, "KERNEL32.dll", "SetSystemTime", (void*)&TestSetSystemTime);
    return ok;
}
void Module::Unload() {
    FreeLibrary(h);
    h = nullptr;
}

}  // namespace harness
