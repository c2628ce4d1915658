// Router build: requests go to the kernel driver.
#include "nvram_driver.h"
#include "platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

int nvram_driver_request(unsigned long request, NvramRequest *rq) {
    RouterPath dev("/dev/apsoc_nvram");
    int fd = open(dev.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return NVRAM_DRIVER_NO_DEVICE;
    int rc = ioctl(fd, request, rq);
    int saved = errno;
    close(fd);
    errno = saved;
    return rc < 0 ? NVRAM_DRIVER_REFUSED : 0;
}
