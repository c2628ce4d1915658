// The flash partition table "/proc/mtd" as the firmware check reads it, with
// a sealed image of a size the input picks.
#include "fuzz_root.h"
#include "image_crc.h"
#include "pages_upgrade.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    FuzzedDataProvider in(bytes, size);
    size_t image_size = in.ConsumeIntegralInRange<size_t>(64, 8192);
    std::string table = in.ConsumeRemainingBytesAsString();
    fuzz_write("/proc/mtd", table);
    std::vector<unsigned char> image(image_size, 0x5A);
    seal_image(image.data(), image.size());
    int rc = firmware_image_check(reinterpret_cast<const char *>(image.data()), image.size());
    // only a table that names the partition can let an image through
    if (rc == 0 && table.find("\"Kernel\"") == std::string::npos) abort();
    return 0;
}
