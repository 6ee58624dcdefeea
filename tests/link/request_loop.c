/* Joins a bus as a master station and, from its token-obtained delegate, sends
 * one "read instance" request (class 1, instance 1) after another to one
 * station, checking every outcome the link reports.
 *
 * Usage: request_loop PORT [--station N] [--max-master N] [--to N] [--count N]
 *                          [--seconds S] [--tolerant]
 *   --max-master N  highest address polled (default 20, so that controllers
 *                from 16 on join the ring and get the token from this station)
 *   --count N    stop after N outcomes (default 1000)
 *   --seconds S  run for S seconds instead of a number of requests
 *   --tolerant   a damaged line is expected: ReplyTimeout and InvalidFrame
 *                are allowed besides Delivered; without it only Delivered is
 *
 * Every Delivered reply must hold the same bytes as the first one, which the
 * program prints in hexadecimal ("reply: 01 05 ..."). Exit status 0 when every
 * outcome was allowed, every reply matched, the run reached its count (or
 * delivered at least one reply in a timed run) and TarnixLink_UnInit returned
 * 0; otherwise 1. */
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "link/tarnix_link.h"

#define REPLY_MAX 501

static const uint8_t request[4] = {0x01, 0x05, 0x01, 0x01};

static uint8_t destination = 16;
static long wanted = 1000;
static atomic_long sent;
static atomic_long outcomes[5];
static atomic_long mismatches;
static atomic_int stopping;

/* Written and read only on the link's master thread, where every upcall runs. */
static uint8_t reference[REPLY_MAX];
static uint32_t referenceLength;

static uint8_t OnToken(const char* portName) {
  /* A timed run stops asking once the main thread has decided to end. */
  if (atomic_load(&stopping) || (wanted > 0 && atomic_load(&sent) >= wanted)) {
    return 0;
  }
  if (TarnixLink_SendFrame(portName, destination, request, sizeof request, 1) == 0) {
    atomic_fetch_add(&sent, 1);
  }
  /* One request per call: the link calls again once this one is answered. */
  return 1;
}

static int32_t OnUpcall(const char* portName, const uint8_t* data, uint32_t source, uint32_t length,
                        UpcallStatus status) {
  (void)portName;
  if ((unsigned)status > 4) {
    return 0;
  }
  atomic_fetch_add(&outcomes[status], 1);
  if (status != Delivered) {
    return 0;
  }
  if (source != destination || data == NULL || length == 0 || length > REPLY_MAX) {
    atomic_fetch_add(&mismatches, 1);
    return 0;
  }
  if (referenceLength == 0) {
    memcpy(reference, data, length);
    referenceLength = length;
  } else if (length != referenceLength || memcmp(reference, data, length) != 0) {
    atomic_fetch_add(&mismatches, 1);
  }
  return 0;
}

static long Total(void) {
  long total = 0;
  int i;
  for (i = 0; i < 5; ++i) {
    total += atomic_load(&outcomes[i]);
  }
  return total;
}

int main(int argc, char** argv) {
  const char* port = "Com1";
  long station = 0;
  long maxMaster = 20;
  long seconds = 0;
  int tolerant = 0;
  LinkConfig config;
  time_t start;
  time_t limit;
  int i;
  int ok;
  uint8_t closed;

  for (i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--station") == 0 && i + 1 < argc) {
      station = strtol(argv[++i], NULL, 10);
    } else if (strcmp(argv[i], "--max-master") == 0 && i + 1 < argc) {
      maxMaster = strtol(argv[++i], NULL, 10);
    } else if (strcmp(argv[i], "--to") == 0 && i + 1 < argc) {
      destination = (uint8_t)strtol(argv[++i], NULL, 10);
    } else if (strcmp(argv[i], "--count") == 0 && i + 1 < argc) {
      wanted = strtol(argv[++i], NULL, 10);
    } else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = strtol(argv[++i], NULL, 10);
      wanted = 0;
    } else if (strcmp(argv[i], "--tolerant") == 0) {
      tolerant = 1;
    } else if (argv[i][0] != '-') {
      port = argv[i];
    } else {
      fprintf(stderr, "request_loop: unknown option %s\n", argv[i]);
      return 2;
    }
  }

  memset(&config, 0, sizeof config);
  config.PortName = port;
  config.BaudRate = 38400;
  config.MaxMaster = (int32_t)maxMaster;
  config.MaxInfoFrames = 3;
  config.StationAddress = (int32_t)station;
  config.TokenObtained = OnToken;
  config.Upcall = OnUpcall;
  if (TarnixLink_Init(&config) != 0) {
    fprintf(stderr, "request_loop: cannot open %s\n", port);
    return 1;
  }

  /* Bounds a run whose bus never answers: ten times what 1000 requests take. */
  start = time(NULL);
  limit = start + (seconds > 0 ? seconds : 300);
  while (time(NULL) < limit) {
    if (wanted > 0 && Total() >= wanted) {
      break;
    }
    usleep(20000);
  }
  atomic_store(&stopping, 1);
  /* Let an exchange under way finish before the port closes. */
  usleep(500000);
  closed = TarnixLink_UnInit(port);

  printf("sent %ld, delivered %ld, reply timeout %ld, invalid frame %ld, reply postponed %ld, "
         "unexpected frame %ld, mismatched replies %ld, uninit %u, %ld s\n",
         atomic_load(&sent), atomic_load(&outcomes[Delivered]), atomic_load(&outcomes[ReplyTimeout]),
         atomic_load(&outcomes[InvalidFrame]), atomic_load(&outcomes[ReplyPostponed]),
         atomic_load(&outcomes[UnexpectedFrame]), atomic_load(&mismatches), (unsigned)closed,
         (long)(time(NULL) - start));
  printf("reply:");
  for (i = 0; i < (int)referenceLength; ++i) {
    printf(" %02x", reference[i]);
  }
  printf("\n");

  ok = closed == 0 && atomic_load(&mismatches) == 0 && atomic_load(&outcomes[ReplyPostponed]) == 0 &&
       atomic_load(&outcomes[UnexpectedFrame]) == 0 && referenceLength > 0;
  if (tolerant) {
    ok = ok && (wanted == 0 || Total() >= wanted);
  } else {
    ok = ok && atomic_load(&outcomes[ReplyTimeout]) == 0 && atomic_load(&outcomes[InvalidFrame]) == 0 &&
         atomic_load(&outcomes[Delivered]) >= wanted;
  }
  return ok ? 0 : 1;
}
