// The firmware image check on an uploaded file, against a flash whose
// "Kernel" partition holds 0x1000 bytes. A flag of the input seals the
// header first (magic and CRCs right), so that the checks behind the CRCs
// are reached.
#include "fuzz_root.h"
#include "image_crc.h"
#include "pages_upgrade.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size) {
    static bool once = [] {
        fuzz_write("/proc/mtd", "dev:    size   erasesize  name\n"
                                "mtd0: 00030000 00010000 \"Bootloader\"\n"
                                "mtd1: 00001000 00010000 \"Kernel\"\n");
        return true;
    }();
    (void)once;
    FuzzedDataProvider in(bytes, size);
    bool seal = in.ConsumeBool();
    std::vector<unsigned char> image = in.ConsumeRemainingBytes<unsigned char>();
    if (seal && image.size() >= 64) seal_image(image.data(), image.size());

    int rc = firmware_image_check(reinterpret_cast<const char *>(image.data()), image.size());
    const unsigned char *p = image.data();
    bool valid = image.size() >= 64 && image.size() <= 0x1000 && get_be32(p) == 0x27051956u &&
                 get_be32(p + 24) == reference_crc32(p + 64, image.size() - 64);
    if (valid) {
        unsigned char header[64];
        memcpy(header, p, 64);
        memset(header + 4, 0, 4);
        valid = get_be32(p + 4) == reference_crc32(header, 64);
    }
    if ((rc == 0) != valid) abort();
    return 0;
}
