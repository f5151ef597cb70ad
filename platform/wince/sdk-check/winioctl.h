// For compile checks off the device only: what of Windows CE 5.0's winioctl.h pm.h needs to build
// its IOCTL_POWER_* codes (row IOCTL_POWER_*). Neither windows.h nor pm.h includes it.
#ifndef TIMEWARD_SDK_CHECK_WINIOCTL_H
#define TIMEWARD_SDK_CHECK_WINIOCTL_H

#define FILE_DEVICE_ACPI 0x00000032
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#endif  // TIMEWARD_SDK_CHECK_WINIOCTL_H
