// The Windows CE Power Manager's declarations that the driver uses, as CE 5.0's pm.h has them,
// for backends whose platform headers have none (on Windows CE they come from <pm.h>). As pm.h
// does, it builds the IOCTL_POWER_* codes from winioctl.h's CTL_CODE, FILE_DEVICE_ACPI,
// METHOD_BUFFERED and FILE_ANY_ACCESS without including it: its includer brings them first.
#ifndef TIMEWARD_POWER_MANAGER_H
#define TIMEWARD_POWER_MANAGER_H

typedef enum _CEDEVICE_POWER_STATE {
    PwrDeviceUnspecified = -1,
    D0 = 0,
    D1,
    D2,
    D3,
    D4,
    PwrDeviceMaximum
} CEDEVICE_POWER_STATE,
    *PCEDEVICE_POWER_STATE;

typedef struct _POWER_CAPABILITIES {
    UCHAR DeviceDx;
    UCHAR WakeFromDx;
    UCHAR InrushDx;
    DWORD Power[PwrDeviceMaximum];
    DWORD Latency[PwrDeviceMaximum];
    DWORD Flags;
} POWER_CAPABILITIES, *PPOWER_CAPABILITIES;

#define DX_MASK(d) (0x01U << (d))

#define FILE_DEVICE_POWER FILE_DEVICE_ACPI
#define IOCTL_POWER_CAPABILITIES \
    CTL_CODE(FILE_DEVICE_POWER, 0x400, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_POWER_QUERY CTL_CODE(FILE_DEVICE_POWER, 0x401, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_POWER_SET CTL_CODE(FILE_DEVICE_POWER, 0x402, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_POWER_GET CTL_CODE(FILE_DEVICE_POWER, 0x403, METHOD_BUFFERED, FILE_ANY_ACCESS)

// The class of power-manageable devices, named in a driver's "IClass".
#define PMCLASS_GENERIC_DEVICE_TEXT "{A32942B7-920C-486b-B0E6-92A702A99B35}"

#endif  // TIMEWARD_POWER_MANAGER_H
