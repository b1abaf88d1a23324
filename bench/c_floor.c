/* The practical floor: the least a reader of these frames can do in C.
 *
 * One thread, the port in raw non-blocking mode, poll() for readiness, large
 * read()s into a buffer and frames found in the buffer. A frame counts as
 * received the moment all its readings are decoded into doubles, as the
 * library's decoders do. No locking, no hand-off to another thread, no
 * calibration: whatever the library adds above this is its own cost.
 *
 * usage: c_floor binary|text PORT PREFIX
 * Same conversation with run.py and same result files as consumers.py:
 * prints "ready", reads "stop N" on stdin, writes PREFIX.seq/.sent/.recv/.call
 * and PREFIX.json.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#define MAX_READINGS 2048

static int64_t now_ns(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000000 + ts.tv_nsec;
}

static double tv_s(struct timeval tv) { return (double)tv.tv_sec + (double)tv.tv_usec / 1e6; }

struct record {
    uint32_t* seq;
    int64_t *sent, *recv, *call;
    size_t n, cap;
};

static void record_add(struct record* r, const double* v, int64_t t, int64_t t_call) {
    if (r->n == r->cap) {
        r->cap = r->cap ? 2 * r->cap : 4096;
        r->seq = realloc(r->seq, r->cap * sizeof *r->seq);
        r->sent = realloc(r->sent, r->cap * sizeof *r->sent);
        r->recv = realloc(r->recv, r->cap * sizeof *r->recv);
        r->call = realloc(r->call, r->cap * sizeof *r->call);
        if (!r->seq || !r->sent || !r->recv || !r->call) {
            fprintf(stderr, "c_floor: out of memory\n");
            exit(1);
        }
    }
    uint64_t w[6];
    for (int k = 0; k < 6; ++k) w[k] = (uint64_t)v[k];
    r->seq[r->n] = (uint32_t)(w[0] | (w[1] << 16));
    r->sent[r->n] = (int64_t)(w[2] | (w[3] << 16) | (w[4] << 32) | (w[5] << 48));
    r->recv[r->n] = t;
    r->call[r->n] = t_call;
    r->n++;
}

static void save(const char* prefix, const char* name, const void* data, size_t bytes) {
    char path[4096];
    snprintf(path, sizeof path, "%s.%s", prefix, name);
    FILE* f = fopen(path, "wb");
    if (!f || fwrite(data, 1, bytes, f) != bytes || fclose(f) != 0) {
        fprintf(stderr, "c_floor: cannot write %s\n", path);
        exit(1);
    }
}

/* Decodes every whole frame in buf[0..len); returns the bytes consumed. */
static size_t decode_binary(const uint8_t* buf, size_t len, struct record* r, int64_t t_call, uint32_t* last) {
    static double values[MAX_READINGS];
    size_t pos = 0;
    for (;;) {
        while (pos + 1 < len && !(buf[pos] == 0xFF && buf[pos + 1] == 0xFF)) pos++;
        if (pos + 4 > len) return pos;
        size_t count = (size_t)buf[pos + 2] | ((size_t)buf[pos + 3] << 8);
        if (count < 6 || count > 511) {
            pos += 2;
            continue;
        }
        if (pos + 4 + 2 * count > len) return pos;
        const uint8_t* p = buf + pos + 4;
        for (size_t i = 0; i < count; ++i, p += 2) values[i] = (double)(p[0] | (p[1] << 8));
        record_add(r, values, now_ns(), t_call);
        *last = r->seq[r->n - 1];
        pos += 4 + 2 * count;
    }
}

static size_t decode_text(const uint8_t* buf, size_t len, struct record* r, int64_t t_call, uint32_t* last) {
    static double values[MAX_READINGS];
    static char line[1 << 16];
    size_t pos = 0;
    for (;;) {
        const uint8_t* nl = memchr(buf + pos, '\n', len - pos);
        if (!nl) return pos;
        size_t n = (size_t)(nl - (buf + pos));
        if (n >= sizeof line) n = sizeof line - 1;
        memcpy(line, buf + pos, n);
        line[n] = '\0';
        pos = (size_t)(nl - buf) + 1;
        size_t count = 0;
        char *s = line, *end;
        while (*s && count < MAX_READINGS) {
            values[count++] = strtod(s, &end);
            if (end == s) break;
            s = *end == ',' ? end + 1 : end;
        }
        if (count >= 6) {
            record_add(r, values, now_ns(), t_call);
            *last = r->seq[r->n - 1];
        }
    }
}

int main(int argc, char** argv) {
    if (argc != 4 || (strcmp(argv[1], "binary") != 0 && strcmp(argv[1], "text") != 0)) {
        fprintf(stderr, "usage: c_floor binary|text PORT PREFIX\n");
        return 2;
    }
    const int text = strcmp(argv[1], "text") == 0;
    int fd = open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        perror(argv[2]);
        return 1;
    }
    struct termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        perror("tcgetattr");
        return 1;
    }
    cfmakeraw(&tio);
    cfsetispeed(&tio, B115200);
    cfsetospeed(&tio, B115200);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        perror("tcsetattr");
        return 1;
    }
    tcflush(fd, TCIFLUSH);

    static uint8_t buf[1 << 16];
    size_t len = 0;
    struct record rec = {0};
    int64_t last_seq = INT64_MAX, deadline = INT64_MAX;
    uint32_t seen = 0;
    char cmd[128];
    size_t cmd_len = 0;
    int stdin_open = 1;

    struct rusage r0, r1;
    getrusage(RUSAGE_SELF, &r0);
    printf("ready\n");
    fflush(stdout);

    for (;;) {
        if (rec.n > 0 && (int64_t)seen >= last_seq) break;
        int64_t t = now_ns();
        if (t > deadline) break;
        struct pollfd pfd[2] = {{fd, POLLIN, 0}, {0, POLLIN, 0}};
        int wait = deadline == INT64_MAX ? -1 : (int)((deadline - t) / 1000000 + 1);
        int ready = poll(pfd, stdin_open ? 2 : 1, wait);
        if (ready < 0) {
            if (errno == EINTR) continue;
            perror("poll");
            return 1;
        }
        int64_t t_call = now_ns();
        if (stdin_open && (pfd[1].revents & (POLLIN | POLLHUP))) {
            ssize_t n = read(0, cmd + cmd_len, sizeof cmd - 1 - cmd_len);
            if (n <= 0) {
                stdin_open = 0;
                deadline = now_ns();
            } else {
                cmd_len += (size_t)n;
                cmd[cmd_len] = '\0';
                long long count = 0;
                if (strchr(cmd, '\n') && sscanf(cmd, "stop %lld", &count) == 1) {
                    last_seq = count - 1;
                    deadline = now_ns() + 2000000000LL;
                    stdin_open = 0;
                }
            }
        }
        if (pfd[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            ssize_t n = read(fd, buf + len, sizeof buf - len);
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR) continue;
                perror("read");
                return 1;
            }
            if (n == 0) break; /* the device hung up */
            len += (size_t)n;
            size_t used =
                text ? decode_text(buf, len, &rec, t_call, &seen) : decode_binary(buf, len, &rec, t_call, &seen);
            if (used == 0 && len == sizeof buf) used = len; /* no frame in a full buffer: drop it */
            memmove(buf, buf + used, len - used);
            len -= used;
        }
    }
    getrusage(RUSAGE_SELF, &r1);

    save(argv[3], "seq", rec.seq, rec.n * sizeof *rec.seq);
    save(argv[3], "sent", rec.sent, rec.n * sizeof *rec.sent);
    save(argv[3], "recv", rec.recv, rec.n * sizeof *rec.recv);
    save(argv[3], "call", rec.call, rec.n * sizeof *rec.call);
    char path[4096];
    snprintf(path, sizeof path, "%s.json", argv[3]);
    FILE* f = fopen(path, "w");
    if (!f) return 1;
    fprintf(f,
            "{\"cpu_user_s\": %.6f, \"cpu_sys_s\": %.6f, \"vol_switches\": %ld, \"invol_switches\": %ld, "
            "\"reader_decoded\": %zu}\n",
            tv_s(r1.ru_utime) - tv_s(r0.ru_utime), tv_s(r1.ru_stime) - tv_s(r0.ru_stime), r1.ru_nvcsw - r0.ru_nvcsw,
            r1.ru_nivcsw - r0.ru_nivcsw, rec.n);
    fclose(f);
    close(fd);
    return 0;
}
