/* orvalin-reference-loop: the least a program must do for the service's
 * exchanges, as the yardstick for its CPU and wake-ups per exchange.
 *
 *   orvalin-reference-loop DEVICE SECONDS ADDRESS...
 *
 * Polls the addresses round-robin on DEVICE (9600 baud, raw, non-blocking),
 * each exchange as soon as the last one ended: writes the 8-byte poll,
 * sleeps until the reply can be whole (the last reply's time), then waits
 * with VMIN 8 for the rest, up to 50 ms. Prints one line:
 *   exchanges N replies N cpu_us N voluntary N involuntary N
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

static long long now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void sleep_until(long long ns)
{
    struct timespec t = { (time_t)(ns / 1000000000LL), (long)(ns % 1000000000LL) };
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, NULL) == EINTR) { }
}

static long long cpu_us(const struct rusage *u)
{
    return (long long)(u->ru_utime.tv_sec + u->ru_stime.tv_sec) * 1000000LL + u->ru_utime.tv_usec
        + u->ru_stime.tv_usec;
}

int main(int argc, char **argv)
{
    if (argc < 4) {
        fputs("usage: orvalin-reference-loop DEVICE SECONDS ADDRESS...\n", stderr);
        return 2;
    }
    const int fd = open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK);
    struct termios settings;
    if (fd < 0 || tcgetattr(fd, &settings) != 0) {
        perror(argv[1]);
        return 1;
    }
    cfmakeraw(&settings);
    cfsetispeed(&settings, B9600);
    cfsetospeed(&settings, B9600);
    settings.c_cc[VMIN] = 8;
    settings.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &settings);

    const long long end = now_ns() + atoll(argv[2]) * 1000000000LL;
    long long exchanges = 0, replies = 0;
    long long last_reply = 16667000; /* the line's own time for 16 bytes */
    struct rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    for (int next = 3; now_ns() < end; next = next + 1 < argc ? next + 1 : 3) {
        unsigned char poll_frame[8]
            = { 0x55, (unsigned char)atoi(argv[next]), 0x10, 0, 0, 0, 0, 0 };
        for (int i = 0; i < 7; ++i)
            poll_frame[7] = (unsigned char)(poll_frame[7] + poll_frame[i]);
        tcflush(fd, TCIFLUSH);
        const long long written = now_ns();
        if (write(fd, poll_frame, 8) != 8)
            break;
        ++exchanges;
        sleep_until(written + last_reply / 1000000 * 1000000);
        unsigned char reply[64];
        int got = 0;
        while (got < 8 && now_ns() < written + 50000000LL) {
            struct pollfd watched = { fd, POLLIN, 0 };
            const long long left_ms = (written + 50000000LL - now_ns()) / 1000000;
            if (poll(&watched, 1, (int)(left_ms > 0 ? left_ms : 0)) <= 0)
                continue;
            const ssize_t n = read(fd, reply + got, sizeof reply - (size_t)got);
            if (n > 0)
                got += (int)n;
        }
        if (got >= 8 && reply[0] == 0x22) {
            ++replies;
            last_reply = now_ns() - written;
        }
    }
    getrusage(RUSAGE_SELF, &after);
    printf("exchanges %lld replies %lld cpu_us %lld voluntary %ld involuntary %ld\n", exchanges,
        replies, cpu_us(&after) - cpu_us(&before), after.ru_nvcsw - before.ru_nvcsw,
        after.ru_nivcsw - before.ru_nivcsw);
    return 0;
}
