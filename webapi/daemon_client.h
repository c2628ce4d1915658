// The web back end's side of the modem daemon's command socket
// "/var/run/RIL_CMD": one command message out, one answer frame back, cut
// into lines.
//
// A command message is a run of fields, each a 4-byte native-order length
// (text bytes plus 1) followed by the text and its NUL; the first field is
// the command, the others its arguments. The whole message is the payload of
// one frame.
#pragma once

#include <cstddef>

constexpr size_t CMD_MESSAGE_MAX = 4096;
constexpr size_t CMD_ANSWER_MAX = 4095; // payload bytes read from the daemon
constexpr int CMD_ANSWER_WAIT_MS = 4000;

// A connected socket, or -1 (the daemon is not there, or its queue of
// connections stayed full for the 4 seconds of an exchange).
int cmd_connect();

// Build a message into a zero-filled 4096-byte buffer: its length, or -1
// when the fields would not fit (a message of exactly 4096 bytes fits).
int cmd_pack(char buffer[CMD_MESSAGE_MAX], const char *command);
int cmd_pack_arg(char buffer[CMD_MESSAGE_MAX], const char *command, const char *argument);
int cmd_pack_fields(char buffer[CMD_MESSAGE_MAX], const char *const fields[], int count);

// Sends the message as one frame and waits up to 4 s for the answer frame,
// which lands in answer (NUL-terminated) and is cut at "\n" into at most
// slots lines (a final "\n" makes no empty last line). Returns:
//   -1  the send failed, or no whole answer of 1 to 4095 bytes came in time;
//    0  slots < 1, or two or more lines of which the first is not "SUCCESS:";
//    1  a single line, whatever it says, in lines[0] ("SUCCESS:" included);
//    n  "SUCCESS:" and n value lines, moved down to lines[0..n-1].
int cmd_exchange(int sock, const char *message, size_t length, char answer[CMD_MESSAGE_MAX],
                 char *lines[], int slots);

// The socket of one page run, closed when it goes out of scope.
class DaemonConnection {
  public:
    DaemonConnection() : fd_(cmd_connect()) {}
    ~DaemonConnection() { close(); }
    DaemonConnection(const DaemonConnection &) = delete;
    DaemonConnection &operator=(const DaemonConnection &) = delete;

    bool connected() const { return fd_ >= 0; }
    // Packs and exchanges one command: the result of cmd_exchange, or -1
    // when not connected or the message does not fit.
    int exchange(const char *const fields[], int count, char *lines[], int slots);
    void close();

  private:
    int fd_;
    char message_[CMD_MESSAGE_MAX];
    char answer_[CMD_MESSAGE_MAX];
};
