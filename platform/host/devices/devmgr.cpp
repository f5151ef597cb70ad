// The host's Device Manager and Power Manager, working as the Windows CE ones do with a
// built-in stream driver.
#include "devmgr.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>

#include "coredll_sim.h"
#include "support/reg_data.h"
#include "support/text.h"

namespace coredll {
namespace {

constexpr std::string_view kBuiltIn = "Drivers\\BuiltIn";
constexpr std::string_view kActive = "Drivers\\Active";
constexpr std::u16string_view kPowerClass = u"" PMCLASS_GENERIC_DEVICE_TEXT;

// "IClass" is a string or a list of strings; any of them may name the class.
bool NamesPowerClass(const std::optional<RegValue>& v) {
    if (!v || (v->type != REG_SZ && v->type != REG_MULTI_SZ))
        return false;
    const std::u16string all = support::CodeUnits(v->data);
    size_t start = 0;
    while (start < all.size()) {
        size_t end = all.find(u'\0', start);
        if (end == std::u16string::npos)
            end = all.size();
        std::u16string_view item(all.data() + start, end - start);
        // An entry may carry a name after the class: "{GUID}=Name".
        item = item.substr(0, item.find(u'='));
        if (support::IEquals(item, kPowerClass))
            return true;
        start = end + 1;
    }
    return false;
}

template <typename Fn>
void Resolve(HMODULE module, const std::string& prefix, const char* op, Fn** slot) {
    std::u16string name = support::Utf16(prefix + "_" + op);
    // Through void (*)(), the type any function pointer may pass through unwarned.
    *slot =
        reinterpret_cast<Fn*>(reinterpret_cast<void (*)()>(GetProcAddressW(module, name.c_str())));
}

// The driver's settings under its BuiltIn key. Returns what is wrong with them, or nothing.
std::string ReadSettings(const std::string& key, ActiveDriver* d) {
    d->prefix = reg::GetString(key, "Prefix").value_or("");
    d->dll = reg::GetString(key, "Dll").value_or("");
    d->order = reg::GetDword(key, "Order").value_or(0);
    d->index = reg::GetDword(key, "Index").value_or(1);
    d->power_manageable = NamesPowerClass(reg::GetValue(key, "IClass"));
    if (d->prefix.size() != 3)
        return "\"Prefix\" must be three letters";
    if (d->dll.empty())
        return "no \"Dll\"";
    d->device = d->prefix + std::to_string(d->index) + ":";
    return "";
}

// Loads the driver's module and finds its entry points. Returns what failed, or nothing; on a
// failure the module is not left loaded.
std::string LoadEntryPoints(ActiveDriver* d) {
    d->module = LoadLibraryW(support::Utf16(d->dll).c_str());
    if (!d->module) {
        const DWORD error = GetLastError();
        const char* why = dlerror();  // the host's loader names the file and the reason
        if (error == ERROR_DLL_INIT_FAILED)
            return "cannot load " + d->dll + ": its DllMain refused the attach";
        return "cannot load " + d->dll + ": " +
               (why ? std::string(why) : "error " + std::to_string(error));
    }
    StreamEntryPoints& e = d->entry;
    Resolve(d->module, d->prefix, "Init", &e.Init);
    Resolve(d->module, d->prefix, "Deinit", &e.Deinit);
    Resolve(d->module, d->prefix, "Open", &e.Open);
    Resolve(d->module, d->prefix, "Close", &e.Close);
    Resolve(d->module, d->prefix, "Read", &e.Read);
    Resolve(d->module, d->prefix, "Write", &e.Write);
    Resolve(d->module, d->prefix, "Seek", &e.Seek);
    Resolve(d->module, d->prefix, "IOControl", &e.IOControl);
    Resolve(d->module, d->prefix, "PowerUp", &e.PowerUp);
    Resolve(d->module, d->prefix, "PowerDown", &e.PowerDown);
    if (!e.Init || !e.Deinit) {
        FreeLibrary(d->module);
        return d->dll + " exports no " + d->prefix + "_Init and " + d->prefix + "_Deinit";
    }
    return "";
}

}  // namespace

DeviceManager::~DeviceManager() {
    DeactivateAll();
}

int DeviceManager::LoadBuiltIn(std::vector<std::string>* errors) {
    reg::CreateKey(kActive);  // the list of active drivers, kept from the start, empty or not
    std::vector<std::pair<DWORD, std::string>> drivers;
    for (const std::string& name : reg::SubKeys(kBuiltIn)) {
        std::string key = std::string(kBuiltIn) + "\\" + name;
        drivers.emplace_back(reg::GetDword(key, "Order").value_or(0xFFFFFFFF), name);
    }
    std::stable_sort(drivers.begin(), drivers.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    int activated = 0;
    for (const auto& [order, name] : drivers) {
        std::string error;
        if (Activate(name, &error)) {
            ++activated;
        } else if (errors) {
            errors->push_back(error);
        }
    }
    return activated;
}

bool DeviceManager::Activate(std::string_view name, std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error)
            *error = std::string(name) + ": " + why;
        return false;
    };
    if (Find(name))
        return fail("already active");
    const std::string key = std::string(kBuiltIn) + "\\" + std::string(name);
    if (!reg::KeyExists(key))
        return fail("no key " + key);
    auto d = std::make_unique<ActiveDriver>();
    d->name = std::string(name);
    std::string why = ReadSettings(key, d.get());
    if (why.empty())
        why = LoadEntryPoints(d.get());
    if (!why.empty())
        return fail(why);

    char active[32];
    std::snprintf(active, sizeof active, "%s\\%02d", std::string(kActive).c_str(), next_active_++);
    d->active_key = active;
    reg::SetString(d->active_key, "Key", key);
    reg::SetString(d->active_key, "Name", d->device);

    const StreamEntryPoints& e = d->entry;
    d->context = e.Init(support::Utf16(d->active_key).c_str(), nullptr);
    threads::CheckNoSectionHeld(d->prefix + "_Init");
    if (d->context == 0) {
        reg::DeleteKey(d->active_key);
        FreeLibrary(d->module);
        return fail(d->prefix + "_Init refused initialisation");
    }
    if (d->power_manageable && e.IOControl) {
        DWORD actual = 0;
        d->caps_known = e.IOControl(d->context, IOCTL_POWER_CAPABILITIES, nullptr, 0,
                                    reinterpret_cast<PBYTE>(&d->caps), sizeof d->caps, &actual) &&
                        actual == sizeof d->caps;
        threads::CheckNoSectionHeld(d->prefix + "_IOControl");
    }
    active_.push_back(std::move(d));
    return true;
}

bool DeviceManager::Deactivate(std::string_view name) {
    ActiveDriver* d = Find(name);
    if (!d)
        return false;
    d->entry.Deinit(d->context);
    threads::CheckNoSectionHeld(d->prefix + "_Deinit");
    reg::DeleteKey(d->active_key);
    FreeLibrary(d->module);
    active_.erase(
        std::find_if(active_.begin(), active_.end(), [&](const auto& p) { return p.get() == d; }));
    return true;
}

void DeviceManager::DeactivateAll() {
    while (!active_.empty())
        Deactivate(active_.back()->name);
}

int DeviceManager::SetDevicePower(CEDEVICE_POWER_STATE requested) {
    int sent = 0;
    for (const auto& d : active_) {
        if (!d->power_manageable || !d->caps_known || !d->entry.IOControl)
            continue;
        int state = requested;
        while (state < D4 && !(d->caps.DeviceDx & DX_MASK(state)))
            ++state;
        if (state == d->power)
            continue;
        DWORD value = static_cast<DWORD>(state);
        DWORD actual = 0;
        ++sent;
        const BOOL set = d->entry.IOControl(d->context, IOCTL_POWER_SET, nullptr, 0,
                                            reinterpret_cast<PBYTE>(&value), sizeof value, &actual);
        threads::CheckNoSectionHeld(d->prefix + "_IOControl");
        if (set && value <= D4) {
            d->power = static_cast<CEDEVICE_POWER_STATE>(value);
        }
    }
    return sent;
}

ActiveDriver* DeviceManager::Find(std::string_view name_or_device) {
    for (const auto& d : active_) {
        if (d->name == name_or_device || d->device == name_or_device)
            return d.get();
    }
    return nullptr;
}

}  // namespace coredll
