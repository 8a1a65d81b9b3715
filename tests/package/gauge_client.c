/* A program of its own on the gauge interface, built with
 * `pkg-config --cflags --libs vrsilo`: reads tanks 1..16 of the gauge at
 * argv[1] and prints one line per tank and the time the read took. Exit 0
 * when `argv[2]` tanks (default 16) answered with `argv[3]` fields (a hex
 * mask, default every field). */
#define _POSIX_C_SOURCE 200809L
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <vrsilo/gauge.h>

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: gauge_client ADDRESS [TANKS [FIELDS]]\n");
    return 2;
  }
  const int want = argc > 2 ? atoi(argv[2]) : 16;
  const unsigned fields = argc > 3 ? (unsigned)strtoul(argv[3], NULL, 16) : 0x3FFu;
  vrsilo_gauge* gauge = NULL;
  int rc = vrsilo_gauge_open(argv[1], &gauge);
  if (rc != VRSILO_OK) {
    fprintf(stderr, "open %s: %s\n", argv[1], vrsilo_error_text(rc));
    return 1;
  }
  vrsilo_tank_record records[16];
  int count = 0, good = 0;
  struct timespec t0, t1;
  clock_gettime(CLOCK_MONOTONIC, &t0);
  rc = vrsilo_gauge_read(gauge, 1, 16, records, 16, &count);
  clock_gettime(CLOCK_MONOTONIC, &t1);
  for (int i = 0; i < count; ++i) {
    const vrsilo_tank_record* r = &records[i];
    printf(
        "tank %d state %d product %c status %04x time %s fields %03x volume %.2f tc_volume %.2f "
        "ullage %.2f height %.2f water %.2f water_volume %.2f temperature %.2f mass %.2f "
        "density %.2f tc_density %.2f\n",
        r->tank, r->link_state, r->product ? r->product : '-', r->status, r->console_time,
        r->fields, r->volume, r->tc_volume, r->ullage, r->height, r->water, r->water_volume,
        r->temperature, r->mass, r->density, r->tc_density);
    if (r->link_state == 1 && r->fields == fields) ++good;
  }
  printf("read: %s, %d tanks in %.1f ms\n", vrsilo_error_text(rc), count,
         (t1.tv_sec - t0.tv_sec) * 1e3 + (t1.tv_nsec - t0.tv_nsec) / 1e6);
  vrsilo_gauge_close(gauge);
  return rc == VRSILO_OK && good == want ? 0 : 1;
}
