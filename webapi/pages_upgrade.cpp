#include "pages_upgrade.h"

#include "crc32.h"
#include "fd_io.h"
#include "page_util.h"
#include "pages_events.h"
#include "platform.h"
#include "sys_utils.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <strings.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

constexpr char kImagePath[] = "/tmp/fw.bin";
constexpr char kPrepareFlash[] = "/bin/flash -f 0x400000 -l 0x40ffff";
constexpr std::string_view kDisposition = "Content-Disposition: form-data;";
constexpr std::string_view kFilename = "filename=";
constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kHeadersEnd = "\r\n\r\n";

constexpr size_t kHeaderSize = 64;
constexpr uint32_t kImageMagic = 0x27051956;
constexpr size_t kHeaderCrcOffset = 4;
constexpr size_t kDataCrcOffset = 24;

// A byte-wise search that does not stop at NUL bytes.
const char *find(const char *from, const char *end, std::string_view needle) {
    if (from >= end) return nullptr;
    return static_cast<const char *>(
        memmem(from, static_cast<size_t>(end - from), needle.data(), needle.size()));
}

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

uint32_t be32(const unsigned char *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | p[3];
}

// The size of the flash partition of that name in "/proc/mtd" (lines
// "mtdN: SIZE ERASESIZE \"NAME\"" after a title line), or -1.
long long mtd_partition_size(const char *name) {
    char quoted[64];
    snprintf(quoted, sizeof quoted, "\"%s\"", name);
    RouterPath path("/proc/mtd");
    FILE *f = fopen(path.c_str(), "re");
    if (!f) return -1;
    char line[256];
    long long size = -1;
    if (fgets(line, sizeof line, f)) {
        while (size < 0 && fgets(line, sizeof line, f)) {
            char *fields[4];
            if (str_split(line, fields, 4, " \t\r\n") == 4 && strcmp(fields[3], quoted) == 0)
                size = static_cast<long long>(strtoull(fields[1], nullptr, 16));
        }
    }
    fclose(f);
    return size;
}

// True when length bytes fit the flash partition of that name.
bool fits_partition(size_t length, const char *name) {
    long long partition = mtd_partition_size(name);
    return partition >= 0 &&
           static_cast<unsigned long long>(length) <= static_cast<unsigned long long>(partition);
}

// The write command of a partition for length bytes of the saved image.
int mtd_write(size_t length, const char *partition) {
    RouterPath image(kImagePath);
    char command[768];
    int n = snprintf(command, sizeof command, "/bin/mtd_write -o %d -l %d write %s %s", 0,
                     static_cast<int>(length), image.c_str(), partition);
    if (!image.ok() || n < 0 || static_cast<size_t>(n) >= sizeof command) return -1;
    return do_system_call(command);
}

// Saves the data to "/tmp/fw.bin", whose upload lock fd holds, and flashes
// it. 0 when the write command succeeded; -1 when the file cannot be written
// completely (nothing is flashed then) or the write command failed.
int save_and_flash(int fd, const char *data, size_t length, int (*flash)(size_t)) {
    if (ftruncate(fd, 0) != 0 || fd_write_all(fd, data, length, nullptr) != 0) return -1;
    return flash(length) == 0 ? 0 : -1;
}

// The extracted file, checked: the firmware image as a whole, the boot
// loader only for its partition's size.
int upload_check(const char *data, size_t length, bool firmware) {
    if (firmware) return firmware_image_check(data, length);
    return fits_partition(length, "Bootloader") ? 0 : -1;
}

// Writes under req.upload_lock when the request entry took it, else under
// the lock taken here.
int upgrade(const PageRequest &req, bool firmware, int (*flash)(size_t)) {
    const char *data = nullptr;
    size_t length = 0;
    if (upload_extract(req.body, req.body_received, &data, &length) != 0 ||
        upload_check(data, length, firmware) != 0)
        return answer_result(req.answer, -1);
    int lock = req.upload_lock, own = -1;
    if (lock < 0) lock = own = upload_lock_take();
    int rc = lock >= 0 ? save_and_flash(lock, data, length, flash) : -1;
    if (own >= 0) close(own);
    if (rc != 0) return answer_result(req.answer, -1);
    restart_reason_store(firmware ? "firmware upgrade" : "boot-loader upgrade");
    req.context->follow_up = FollowUpAction::Reboot;
    return answer_result(req.answer, 0);
}

} // namespace

int upload_extract(const char *body, size_t body_length, const char **data, size_t *length) {
    if (!body || body_length == 0) return -1;
    const char *end = body + body_length;

    const char *line1_end = find(body, end, kCrLf);
    if (!line1_end || line1_end == body) return -1;
    std::string_view delimiter(body, static_cast<size_t>(line1_end - body));

    const char *line2 = line1_end + kCrLf.size();
    const char *line2_end = find(line2, end, kCrLf);
    if (!line2_end) return -1;
    std::string_view disposition(line2, static_cast<size_t>(line2_end - line2));
    if (!starts_with_nocase(disposition, kDisposition)) return -1;
    // one blank, the field's name parameter, then "; filename=" on this line
    size_t semicolon = disposition.find(';', kDisposition.size() + 1);
    if (semicolon == std::string_view::npos || semicolon + 2 > disposition.size() ||
        !starts_with_nocase(disposition.substr(semicolon + 2), kFilename))
        return -1;

    // from the line end of line 2, so that a part without further header
    // lines is read right too
    const char *headers_end = find(line2_end, end, kHeadersEnd);
    if (!headers_end) return -1;
    const char *start = headers_end + kHeadersEnd.size();

    // the data ends with CR LF and the delimiter
    for (const char *p = start; (p = find(p, end, delimiter)) != nullptr; p++) {
        if (p - start < 2 || p[-2] != '\r' || p[-1] != '\n') continue;
        if (p - 2 == start) return -1; // empty file
        *data = start;
        *length = static_cast<size_t>(p - 2 - start);
        return 0;
    }
    return -1;
}

int upload_lock_take() {
    RouterPath path(kImagePath);
    // not truncated before the lock is ours: the holder's bytes stay intact
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return -1;
    int locked;
    while ((locked = flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (locked == 0) return fd;
    close(fd);
    return -1;
}

int firmware_image_check(const char *data, size_t length) {
    if (!data || length < kHeaderSize) return -1;
    const auto *image = reinterpret_cast<const unsigned char *>(data);
    if (be32(image) != kImageMagic) return -1;
    unsigned char header[kHeaderSize];
    memcpy(header, image, kHeaderSize);
    memset(header + kHeaderCrcOffset, 0, 4);
    if (crc32(0, header, kHeaderSize) != be32(image + kHeaderCrcOffset)) return -1;
    if (crc32(0, image + kHeaderSize, length - kHeaderSize) != be32(image + kDataCrcOffset))
        return -1;
    return fits_partition(length, "Kernel") ? 0 : -1;
}

int flash_firmware(size_t length) {
    do_system_call(kPrepareFlash); // its exit code is not looked at
    return mtd_write(length, "Kernel");
}

int flash_bootloader(size_t length) {
    return mtd_write(length, "Bootloader");
}

int page_upgrade_firmware(const PageRequest &req) {
    // the request entry took the lock before it stopped the services; when
    // another upload held it, nothing was stopped and nothing is restarted
    if (req.upload_lock < 0) return answer_result(req.answer, -1);
    return upgrade(req, true, flash_firmware);
}

int page_upgrade_bootloader(const PageRequest &req) {
    return upgrade(req, false, flash_bootloader);
}
