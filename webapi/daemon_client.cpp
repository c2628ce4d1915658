#include "daemon_client.h"

#include "cgi.h"
#include "local_socket.h"
#include "platform.h"

#include <cstdint>
#include <cstring>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

constexpr char kCommandSocket[] = "/var/run/RIL_CMD";

} // namespace

int cmd_connect() {
    int sock = socket_create(AF_UNIX, SOCK_STREAM);
    if (sock < 0) return -1;
    // A daemon whose queue of connections is full (busy with the modem, or
    // stopped) would hold connect for ever: it gets the exchange's limit.
    timespec limit{CMD_ANSWER_WAIT_MS / 1000, 0}, real;
    boot_clock_to_real(&limit, &real);
    timeval wait{real.tv_sec, static_cast<suseconds_t>(real.tv_nsec / 1000)};
    setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    if (socket_unix_connect(sock, kCommandSocket, sizeof kCommandSocket - 1) != 0) {
        close(sock);
        return -1;
    }
    return sock;
}

int cmd_pack_fields(char buffer[CMD_MESSAGE_MAX], const char *const fields[], int count) {
    memset(buffer, 0, CMD_MESSAGE_MAX);
    size_t used = 0;
    for (int i = 0; i < count; i++) {
        size_t text = strlen(fields[i]) + 1;
        if (text > CMD_MESSAGE_MAX || CMD_MESSAGE_MAX - used < sizeof(uint32_t) + text) return -1;
        auto length = static_cast<uint32_t>(text);
        memcpy(buffer + used, &length, sizeof length);
        memcpy(buffer + used + sizeof length, fields[i], text);
        used += sizeof length + text;
    }
    return static_cast<int>(used);
}

int cmd_pack(char buffer[CMD_MESSAGE_MAX], const char *command) {
    return cmd_pack_fields(buffer, &command, 1);
}

int cmd_pack_arg(char buffer[CMD_MESSAGE_MAX], const char *command, const char *argument) {
    const char *fields[] = {command, argument};
    return cmd_pack_fields(buffer, fields, 2);
}

int cmd_exchange(int sock, const char *message, size_t length, char answer[CMD_MESSAGE_MAX],
                 char *lines[], int slots) {
    {
        SigpipeIgnored quiet; // a daemon that closed the connection is a failed exchange
        if (socket_write_size(sock, message, length) != 0) return -1;
    }
    int n = socket_read_size(sock, answer, CMD_ANSWER_MAX, CMD_ANSWER_WAIT_MS);
    if (n <= 0) return -1;
    answer[n] = '\0';
    if (slots < 1) return 0;

    int count = 0;
    char *line = answer;
    const char *end = answer + n;
    while (count < slots) {
        lines[count++] = line;
        char *newline = strchr(line, '\n');
        // a NUL inside the payload ends the text as well
        if (!newline || newline + 1 >= end) {
            if (newline) *newline = '\0';
            break;
        }
        *newline = '\0';
        line = newline + 1;
    }
    if (count == 1) return 1;
    if (strcmp(lines[0], "SUCCESS:") != 0) return 0;
    for (int i = 1; i < count; i++)
        lines[i - 1] = lines[i];
    return count - 1;
}

int DaemonConnection::exchange(const char *const fields[], int count, char *lines[], int slots) {
    if (fd_ < 0) return -1;
    int length = cmd_pack_fields(message_, fields, count);
    if (length < 0) return -1;
    return cmd_exchange(fd_, message_, static_cast<size_t>(length), answer_, lines, slots);
}

void DaemonConnection::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}
