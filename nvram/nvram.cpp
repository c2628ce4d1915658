// nvram: reads and changes the configuration store from the command line,
// through the same client as the daemon and the web back end.
#include "nvram_env.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr int kExitFailed = 1; // the store refused or failed
constexpr int kExitUsage = 2;

const char kUsage[] = "usage: nvram get SECTION KEY\n"
                      "       nvram set SECTION KEY VALUE\n"
                      "       nvram show SECTION\n"
                      "       nvram commit SECTION\n"
                      "\n"
                      "SECTION is uboot, 2860, rtdev, wifi3, cert or oem, or its index 0-5.\n"
                      "get    prints the value and a line end; a key that is not in the section\n"
                      "       prints an empty line, like an empty value (show tells them apart).\n"
                      "set    changes the value at once for every program, until the next boot.\n"
                      "show   prints every name=value line of the section in store order.\n"
                      "commit writes the section to flash so that it survives a reboot.\n";

int usage_error(const char *message, const char *arg) {
    fprintf(stderr, "nvram: %s%s\n", message, arg);
    fputs("Run nvram without arguments for the usage.\n", stderr);
    return kExitUsage;
}

// Section index of a name or of a single digit 0-5, or -1.
int parse_section(const char *arg) {
    int index = nvram_section_index(arg);
    if (index >= 0) return index;
    if (arg[0] >= '0' && arg[0] < '0' + NVRAM_SECTION_COUNT && arg[1] == '\0') return arg[0] - '0';
    return -1;
}

void print_pair(const char *name, const char *value, void *) {
    printf("%s=%s\n", name, value);
}

int finish_output() {
    if (fflush(stdout) != 0 || ferror(stdout)) {
        perror("nvram: standard output");
        return kExitFailed;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        fputs(kUsage, stderr);
        return kExitUsage;
    }
    const char *command = argv[1];
    if (strcmp(command, "-h") == 0 || strcmp(command, "--help") == 0 ||
        strcmp(command, "help") == 0) {
        fputs(kUsage, stdout);
        return finish_output();
    }
    int wanted;
    if (strcmp(command, "get") == 0)
        wanted = 4;
    else if (strcmp(command, "set") == 0)
        wanted = 5;
    else if (strcmp(command, "show") == 0 || strcmp(command, "commit") == 0)
        wanted = 3;
    else
        return usage_error("unknown command: ", command);
    if (argc < wanted) return usage_error("missing arguments for ", command);
    if (argc > wanted) return usage_error("too many arguments for ", command);

    int index = parse_section(argv[2]);
    if (index < 0) return usage_error("unknown section: ", argv[2]);
    const char *section = nvram_section_name(index);

    if (strcmp(command, "show") == 0) {
        if (nvram_getall_foreach(index, print_pair, nullptr) < 0) {
            fprintf(stderr, "nvram: cannot read section %s\n", section);
            return kExitFailed;
        }
        return finish_output();
    }
    if (strcmp(command, "commit") == 0) {
        if (nvram_commit(index) < 0) {
            fprintf(stderr, "nvram: cannot commit section %s\n", section);
            return kExitFailed;
        }
        return 0;
    }

    const char *key = argv[3];
    if (key[0] == '\0' || strchr(key, '=')) return usage_error("invalid key: ", key);
    if (strcmp(command, "get") == 0) {
        const char *value;
        if (nvram_bufget_checked(index, key, &value) < 0) {
            fprintf(stderr, "nvram: cannot read %s from section %s\n", key, section);
            return kExitFailed;
        }
        printf("%s\n", value);
        nvram_close(index);
        return finish_output();
    }
    // set: the section is left without nvram_close, which would commit it
    if (nvram_bufset(index, key, argv[4]) < 0) {
        fprintf(stderr, "nvram: cannot set %s in section %s\n", key, section);
        return kExitFailed;
    }
    return 0;
}
