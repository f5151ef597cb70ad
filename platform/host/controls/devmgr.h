// The host's Device Manager and Power Manager: loads built-in stream drivers from the
// simulated registry, calls their entry points, and sends them power requests.
#ifndef TIMEWARD_DEVMGR_H
#define TIMEWARD_DEVMGR_H

#include <timeward_backend.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace coredll {

// A stream driver's entry points, resolved by name from its module.
struct StreamEntryPoints {
    DWORD (*Init)(LPCWSTR, LPCVOID) = nullptr;
    BOOL (*Deinit)(DWORD) = nullptr;
    DWORD (*Open)(DWORD, DWORD, DWORD) = nullptr;
    BOOL (*Close)(DWORD) = nullptr;
    DWORD (*Read)(DWORD, LPVOID, DWORD) = nullptr;
    DWORD (*Write)(DWORD, LPCVOID, DWORD) = nullptr;
    DWORD (*Seek)(DWORD, LONG, DWORD) = nullptr;
    BOOL (*IOControl)(DWORD, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD) = nullptr;
    void (*PowerUp)(DWORD) = nullptr;
    void (*PowerDown)(DWORD) = nullptr;
};

// One active driver instance.
struct ActiveDriver {
    std::string name;    // its key under Drivers\BuiltIn
    std::string prefix;  // "RTC"
    std::string dll;     // "Timeward.dll"
    DWORD order = 0;
    DWORD index = 0;
    std::string device;      // "RTC1:"
    std::string active_key;  // "Drivers\Active\NN"
    HMODULE module = nullptr;
    DWORD context = 0;  // what Init returned
    StreamEntryPoints entry;
    bool power_manageable = false;  // "IClass" names the power-manageable devices class
    POWER_CAPABILITIES caps{};
    bool caps_known = false;
    CEDEVICE_POWER_STATE power = D0;
};

class DeviceManager {
  public:
    DeviceManager() = default;
    ~DeviceManager();  // deactivates whatever is still active
    DeviceManager(const DeviceManager&) = delete;
    DeviceManager& operator=(const DeviceManager&) = delete;

    // Activates every driver under Drivers\BuiltIn, in "Order". Returns the number activated;
    // each failure is described in `errors`.
    int LoadBuiltIn(std::vector<std::string>* errors);

    // Activates the driver of Drivers\BuiltIn\<name>: loads its "Dll", resolves
    // <Prefix>_Init and the rest, and calls Init with its Active key. When Init returns 0 the
    // module is unloaded again and false returned. A power-manageable driver is asked for
    // its capabilities after Init.
    bool Activate(std::string_view name, std::string* error);

    // Calls Deinit, then unloads the module.
    bool Deactivate(std::string_view name);
    void DeactivateAll();  // in the reverse order of activation

    // As the Power Manager: the device state for a system state is the requested one if the
    // driver supports it, else the next lower-power state it does support. A request goes out
    // only when the state changes. Returns the number of requests sent.
    int SetDevicePower(CEDEVICE_POWER_STATE requested);

    ActiveDriver* Find(std::string_view name_or_device);
    const std::vector<std::unique_ptr<ActiveDriver>>& Active() const {
        return active_;
    }

  private:
    std::vector<std::unique_ptr<ActiveDriver>> active_;
    int next_active_ = 1;
};

}  // namespace coredll

#endif  // TIMEWARD_DEVMGR_H
