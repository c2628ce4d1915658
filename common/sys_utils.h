// Small routines shared by the daemon and the CGI: commands, GPIO, one-line
// files, interface queries, boot time, checksums and strings. Each keeps no
// state between calls; only the two command runners log.
#pragma once

#include <cstddef>
#include <cstdint>
#include <net/if.h>

// Boot-clock time: seconds and microseconds since boot.
struct BootTime {
    int32_t sec;
    int32_t usec;
};

// In a GPIO pattern: an unlimited count or duration.
constexpr int GPIO_UNLIMITED = 4000;

// Runs the line through the shell (an absolute program path at its start
// resolves like every system path: RouterCommand). Exit status of the
// command (0-255), or -1 when it could not run or the shell died by a
// signal. Those failures and a non-zero exit status are logged with the
// running program's prefix and wording; success logs nothing.
int do_system_call(const char *command);
// Starts path (found in PATH when bare, resolved like every system path when
// absolute) with argv (null-terminated, argv[0] included) without a shell and
// without waiting: reaping the child is the caller's. Child's process id, or
// -1 when fork failed (logged). A child whose exec fails logs it with the
// running program's prefix and exits with status 127.
int do_fork_call(const char *path, char *const argv[]);

// One pattern request to the GPIO driver: the pin is on for `on` units and
// off for `off`, `blinks` times, then rests for `rests`, all that `times`
// times (GPIO_UNLIMITED: for ever; the driver defines the unit). 0 or -1.
int _gpio_set(int pin, int on, int off, int blinks, int rests, int times);
// flag 0: steady on; any other flag: steady off. 0 or -1.
int gpio_set_level(int pin, int flag);
// Switches the modem's power line (pin 2): on != 0 powers the modem. 0 or -1.
int modem_power_set(int on);

// The first line of the file (at most size - 1 characters) without its line
// end ("\n", "\r\n" or a lone "\r"). 0, or -1 when the file cannot be read
// or is empty.
int read_file_string(const char *path, char *buf, size_t size);
// Replaces the file with the text, adding no line end. 0 or -1 (a failed
// write may leave a cut file behind).
int write_file_string(const char *path, const char *text);

// Zeroes the request and puts the interface name in, cut to 15 characters.
void ifc_init_ifreq(const char *name, struct ifreq *ifr);
// Interface queries, each one ioctl on a fresh IPv4 datagram socket: the
// index, the 6-byte hardware address, the IPv4 address and mask (network
// byte order). 0, or -1 when the socket or the request fails (out unchanged).
int ifc_get_ifindex(const char *name, int *index);
int ifc_get_hwaddr(const char *name, unsigned char *hwaddr);
int ifc_get_addr(const char *name, uint32_t *addr);
int ifc_get_netmask(const char *name, uint32_t *mask);

// Boot-clock time (zero on failure). 0 or -1.
int time_bootup(BootTime *out);
// Internet checksum (RFC 1071) of the bytes, read as 16-bit words in memory
// order; store the result into a packet as it is.
uint16_t inet_cksum(const void *data, size_t length);

// Trims in place every leading and trailing byte that, as a signed char, is
// at most 32 (controls, space and bytes 0x80-0xFF). The first kept character.
char *str_trim(char *s);
// Splits s in place at runs of the delimiter characters into at most max
// tokens (no empty ones) stored in out; a slot after the last token is set
// to null when there is room for it. Number of tokens stored; the rest of s
// after the last one is not examined.
int str_split(char *s, char **out, int max, const char *delimiters);
// size - 1 random letters and digits from /dev/urandom, zero-terminated.
// 0, or -1 for a null buffer, size 0 or a failed read.
int get_random_string(char *buf, size_t size);
