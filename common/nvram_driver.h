// Requests to the configuration store driver ("/dev/apsoc_nvram"). The router
// build talks to the kernel driver; host builds use a stand-in with the same
// behaviour, kept below the router root.
#pragma once

#include <cstddef>

// Argument of every request; the layout is the driver's.
struct NvramRequest {
    int index;
    int result;
    char *name;
    char *value;
};

constexpr unsigned long NVRAM_IOCTL_GET = 0x1001;
constexpr unsigned long NVRAM_IOCTL_GETALL = 0x1002;
constexpr unsigned long NVRAM_IOCTL_SET = 0x1003;
constexpr unsigned long NVRAM_IOCTL_COMMIT = 0x1004;

// Size of the value buffer of NVRAM_IOCTL_GET.
constexpr size_t NVRAM_GET_BUFFER = 20480;

// Results of nvram_driver_request; errno tells why.
constexpr int NVRAM_DRIVER_NO_DEVICE = -1; // the device could not be opened
constexpr int NVRAM_DRIVER_REFUSED = -2;   // the request itself failed

// Opens the device, issues one request and closes it again. 0 or one of the
// negative results above.
int nvram_driver_request(unsigned long request, NvramRequest *rq);

// Size of a section in flash in bytes, or 0 for an index out of range. The
// section text (NVRAM_IOCTL_GETALL) takes at most this size - 4 bytes.
size_t nvram_section_size(int index);
