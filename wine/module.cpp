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

bool Module::Suspend() {
    DWORD state = 4, actual = 0;
    return IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual) &&
           state == 4 && actual == 4;
}

namespace {

struct DeinitCall {
    Module* m;
    BOOL result;
};

DWORD WINAPI CallDeinit(LPVOID p) {
    auto* call = static_cast<DeinitCall*>(p);
    call->result = call->m->Deinit(1);
    return 0;
}

}  // namespace

int Module::DeinitWithin(DWORD ms) {
    // Static: a call that has not returned writes its result here when it does.
    static DeinitCall call;
    call = {this, FALSE};
    HANDLE t = CreateThread(nullptr, 0, CallDeinit, &call, 0, nullptr);
    if (!t)
        return -1;
    const bool returned = WaitForSingleObject(t, ms) == WAIT_OBJECT_0;
    CloseHandle(t);
    if (!returned) {
        h = nullptr;  // the call still runs in its code
        return -1;
    }
    return call.result;
}

}  // namespace harness
