// Small routines shared by the daemon and the CGI: commands, GPIO, one-line
// files, interface queries, boot time, checksums and strings.
#pragma once

#include <cstddef>
#include <cstdint>
#include <net/if.h>

struct BootTime {
    int32_t sec;
    int32_t usec;
};

// Runs the line through the shell (an absolute program path at its start
// resolves like every system path: RouterCommand). Exit status of the
// command (0-255), or -1 when it could not run or died by a signal; failures
// are logged in the program's wording.
int do_system_call(const char *command);
// Starts path (found in PATH when bare, resolved like every system path when
// absolute) with argv, without a shell. Child's process id (not waited for),
// or -1.
int do_fork_call(const char *path, char *const argv[]);

int _gpio_set(int pin, int on, int off, int blinks, int rests, int times);
// flag 0: steady on; any other flag: steady off.
int gpio_set_level(int pin, int flag);
int modem_power_set(int on);

// First line without its line end. 0 or -1.
int read_file_string(const char *path, char *buf, size_t size);
// The text without a line end, replacing the file. 0 or -1.
int write_file_string(const char *path, const char *text);

void ifc_init_ifreq(const char *name, int request, struct ifreq *ifr);
int ifc_get_ifindex(const char *name, int *index);
int ifc_get_hwaddr(const char *name, unsigned char *hwaddr);
int ifc_get_addr(const char *name, uint32_t *addr);
int ifc_get_netmask(const char *name, uint32_t *mask);

int time_bootup(BootTime *out);
uint16_t inet_cksum(const void *data, size_t length);

char *str_trim(char *s);
int str_split(char *s, char **out, int max, const char *delimiters);
int get_random_string(char *buf, size_t size);
