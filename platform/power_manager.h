// The Windows CE Power Manager's declarations that the driver uses, for backends whose
// platform headers have none (on Windows CE they come from <pm.h>).
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

// Device type FILE_DEVICE_POWER, buffered, any access.
#define IOCTL_POWER_CAPABILITIES 0x00321000U
#define IOCTL_POWER_QUERY 0x00321004U
#define IOCTL_POWER_SET 0x00321008U
#define IOCTL_POWER_GET 0x0032100CU

// The class of power-manageable devices, named in a driver's "IClass".
#define PMCLASS_GENERIC_DEVICE_TEXT "{A32942B7-920C-486b-B0E6-92A702A99B35}"

#endif  // TIMEWARD_POWER_MANAGER_H
