// Finding the modem on the USB bus and publishing its devices under /var/run.
#pragma once

struct ModemContext;

// Fills cmd_dev, data_dev, ifname and modem_type from sysfs and rewrites
// "/var/run/mdm_cmd_dev", "/var/run/mdm_data_dev", "/var/run/mdm_ifname" and
// "/var/run/mdm_type" (removed when no modem). 0 when a supported modem was
// found, -1 when none, -5 when the USB device directory cannot be read.
int modem_scan_usb(ModemContext *context);

// "asr" or "mdm9x07"; null for MODEM_NONE.
const char *modem_type_name(int modem_type);
