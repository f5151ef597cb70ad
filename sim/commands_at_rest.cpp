// timeward-sim's commands on the device at rest: status, and ctl with timewardctl's words.
#include "commands_at_rest.h"

#include "at_rest.h"
#include "console.h"

namespace program {

int CtlAtRest(const tws::Device& device, const std::vector<std::string>& args, bool in_use) {
    int ctl_status = 0;
    const int rc = tws::RunCtlAtRest(device, args, &ctl_status, in_use);
    return rc == tws::kAllHeld ? ctl_status : rc;
}

int ExistingDevice(const Args& a, const tws::Device& device, const std::string& what, bool reads) {
    if (a.fresh || a.date)
        return BadInput(std::string(a.fresh ? "--fresh" : "--date") + ": " + what +
                        (reads ? " changes no device" : " works on the device as it is") +
                        "; leave it out");
    if (!device.Exists()) {
        return BadInput(device.dir().string() +
                        ": no device here; a device is made by its first run of steps");
    }
    std::string error;
    if (int rc = device.Check(&error); rc != tws::kAllHeld) {
        tws::Out().Fail(error);
        return rc;
    }
    return -1;
}

int ReadAtRest(const Args& a, const tws::Device& device) {
    const std::optional<long> holder = tws::DeviceLock::Holder(device.dir());
    if (holder) {
        tws::Out().Fail(device.dir().string() + " is in use by another run" +
                        (*holder ? " (pid " + std::to_string(*holder) + ")" : "") +
                        ": what follows is its hive as last flushed and its clock as last stored");
    }
    if (!a.ctl)
        return tws::ShowStatusAtRest(device, a.json, holder.has_value());
    const int rc = CtlAtRest(device, *a.ctl, holder.has_value());
    if (a.ctl->front() == "check" && !holder) {
        tws::Out().Fail(
            "the device is off, so no driver runs; to check it on: timeward-sim "
            "--device " +
            device.dir().string() + " boot ctl check shutdown");
    }
    return rc;
}

}  // namespace program
