/* The practical limit of a pty -> TCP relay: blocking reads, whole writes,
 * nothing else. Usage: relay_min DEVICE HOST PORT */
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char **argv) {
    if (argc != 4) return 2;
    int dev = open(argv[1], O_RDWR | O_NOCTTY);
    struct termios tio;
    if (dev < 0 || tcgetattr(dev, &tio) != 0) return 1;
    cfmakeraw(&tio);
    tcsetattr(dev, TCSANOW, &tio);
    struct sockaddr_in to = {.sin_family = AF_INET,
                             .sin_port = htons((unsigned short)atoi(argv[3]))};
    int sock = socket(AF_INET, SOCK_STREAM, 0);
    if (inet_pton(AF_INET, argv[2], &to.sin_addr) != 1 ||
        connect(sock, (struct sockaddr *)&to, sizeof to) != 0)
        return 1;
    char buf[4096];
    for (;;) {
        ssize_t n = read(dev, buf, sizeof buf);
        if (n <= 0) return 0;
        for (ssize_t off = 0; off < n;) {
            ssize_t w = write(sock, buf + off, (size_t)(n - off));
            if (w <= 0) return 1;
            off += w;
        }
    }
}
