// Firmware and boot-loader upgrade from a browser upload: the file of a
// multipart form is taken from the raw body in place, checked (firmware
// only), saved to "/tmp/fw.bin" and written to its flash partition by the
// firmware's flash tools; success reboots the router after the answer.
// "/tmp/fw.bin" is held under an exclusive lock from its rewrite until the
// write command has ended (for the firmware, from before the services are
// stopped): an upload that finds it taken is refused and flashes nothing.
#pragma once

#include "cgi.h"

#include <cstddef>

// The file data of a multipart/form-data body whose first part is a file
// field: line 1 is the delimiter, line 2 is
// "Content-Disposition: form-data; <parameter>; filename=..." (letter case
// ignored, exactly one blank before the parameter and after its ";"), the
// part's headers end with an empty line, and the data ends with CR LF and the
// delimiter. On success *data points into body and *length (at least 1)
// counts the file's bytes: 0. -1 for anything else, including an empty body.
int upload_extract(const char *body, size_t body_length, const char **data, size_t *length);

// Opens "/tmp/fw.bin" (created when absent, its content kept) and takes its
// exclusive lock without waiting: the descriptor, whose closing releases the
// lock, or -1 when another upload holds it or the file cannot be opened.
int upload_lock_take();

// 0 when the firmware image may be written: a legacy boot-loader image
// header (64 bytes, magic 0x27051956) whose header CRC and data CRC match,
// the data CRC covering every byte after the header, and an image no larger
// than the flash partition named "Kernel" in "/proc/mtd". -1 otherwise.
int firmware_image_check(const char *data, size_t length);

// Run the firmware's flash tools on length bytes of "/tmp/fw.bin": the exit
// code of the write command (0: written), or -1 when it could not run.
// flash_firmware prepares the flash first and writes the "Kernel" partition;
// flash_bootloader writes the "Bootloader" partition.
int flash_firmware(size_t length);
int flash_bootloader(size_t length);

// "upgradefirmware.cgi": answers {"result":0} and reboots after the answer
// when the image was written. A refusal answers {"result":-1} and leaves the
// follow-up that the request entry set when it stopped the services
// (restart), so that a wrong file does not leave the router off the network;
// without req.upload_lock (another upload is writing) nothing was stopped
// and the refusal has no follow-up.
int page_upgrade_firmware(const PageRequest &req);
// "upgradebootloader.cgi": the same without services to bring back, and
// with the image checked only against the size of the "Bootloader"
// partition in "/proc/mtd" (a raw boot-loader image has no header).
int page_upgrade_bootloader(const PageRequest &req);
