/* A minimal Skyhelm peer in C, written as a microcontroller's main loop would be: one
 * non-blocking socket, fixed buffers, no allocation. On every pass it drains the socket keeping
 * the newest line and claims the bridge with "1" while it is quiet; once a line has come (so the
 * bridge is known to listen) it sends its command, and a second later prints a few fields.
 *
 * Usage: peer HOST PORT [COMMAND]    (COMMAND defaults to "1", which commands nothing)
 * Exit code 0 with a line, 1 without one. */
#include <arpa/inet.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define FIELD_COUNT 21

struct telemetry {
  double value[FIELD_COUNT]; /* in line order: ground_speed, altitude, pitch, bank, ... */
};

static long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * 1000L + t.tv_nsec / 1000000L;
}

/* 1 when `text` (len bytes) is a whole line: "v1.2," then 21 values each followed by ",", then
 * "\n\r\n". */
static int decode(const char* text, size_t len, struct telemetry* out) {
  char line[1025];
  char* cursor;
  int i;
  if (len < 9 || len > 1024 || memcmp(text, "v1.2,", 5) != 0 ||
      memcmp(text + len - 4, ",\n\r\n", 4) != 0) {
    return 0;
  }
  memcpy(line, text, len);
  line[len - 3] = '\0'; /* keep the last comma */
  cursor = line + 5;
  for (i = 0; i < FIELD_COUNT; ++i) {
    char* end;
    out->value[i] = strtod(cursor, &end);
    if (end == cursor || *end != ',') return 0;
    cursor = end + 1;
  }
  return *cursor == '\0';
}

int main(int argc, char** argv) {
  struct sockaddr_in bridge;
  struct telemetry newest;
  const char* command = argc > 3 ? argv[3] : "1";
  char buffer[1024];
  int have_line = 0, sent = 0, sock;
  long start, last_heard, deadline;
  if (argc < 3) {
    fprintf(stderr, "usage: peer HOST PORT [COMMAND]\n");
    return 2;
  }
  memset(&bridge, 0, sizeof bridge);
  bridge.sin_family = AF_INET;
  bridge.sin_port = htons((unsigned short)atoi(argv[2]));
  if (inet_pton(AF_INET, argv[1], &bridge.sin_addr) != 1) return 2;
  sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) return 1;
  fcntl(sock, F_SETFL, O_NONBLOCK);
  start = now_ms();
  last_heard = start - 1000;
  deadline = start + 5000;
  while (now_ms() < deadline) { /* the main loop */
    ssize_t n;
    while ((n = recv(sock, buffer, sizeof buffer, 0)) > 0) { /* drain, keep the newest */
      struct telemetry line;
      last_heard = now_ms();
      if (decode(buffer, (size_t)n, &line)) {
        newest = line;
        have_line = 1;
      }
    }
    if (now_ms() - last_heard > 200) { /* quiet: claim the bridge (again) with "1" */
      sendto(sock, "1", 1, 0, (struct sockaddr*)&bridge, sizeof bridge);
      last_heard = now_ms();
    }
    if (have_line && !sent) {
      sendto(sock, command, strlen(command), 0, (struct sockaddr*)&bridge, sizeof bridge);
      sent = 1;
      deadline = now_ms() + 1000;
    }
    {
      const struct timespec pass = {0, 10 * 1000000L}; /* the rest of the application's pass */
      nanosleep(&pass, NULL);
    }
  }
  close(sock);
  if (!have_line) {
    fprintf(stderr, "no line from %s:%s\n", argv[1], argv[2]);
    return 1;
  }
  printf("altitude=%.0f bank=%.6f heading_bug=%.0f true_heading=%.0f autopilot_master=%.0f\n",
         newest.value[1], newest.value[3], newest.value[6], newest.value[19], newest.value[12]);
  return 0;
}
