/* A host in plain C: loads the driver library with dlopen, creates driver
 * objects through both entry points, calls slots by index only and destroys
 * the objects through the entry in front of slot 0. Exit status 0 = all
 * checks passed. Usage: c_host path/to/libvrsilo.so [GAUGE]
 * With GAUGE (the device of a running vr-gauge-sim, started with
 * --tank 1:level=1234.5,volume=20000,water=3), tank 1 is also read through
 * COM4 mapped to it. */
#define _POSIX_C_SOURCE 200809L
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vrsilo.h"

static int failures = 0;

/* The density answered without data. A double object, because a 32-bit x87
 * build compares the bare constant 0.77 in extended precision. */
static const double kDefaultDensity = 0.77;

#define CHECK(cond)                                                            \
  do {                                                                         \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

/* Windows-1251 bytes of the identity after its length byte. */
static const unsigned char kIdentity[39] = {
    'v',  '3', '.',  '0', '0',  '#',  0xCF, 0xF0, 0xEE, 0xF2, 0xEE, 0xEA, 0xEE,
    0xEB, ' ', 0xEA, ' ', 0xF3, 0xF0, 0xEE, 0xE2, 0xED, 0xE5, 0xEC, 0xE5, 0xF0,
    0xF3, ' ', 'V',  'E', 'E',  'D',  'E',  'R',  '-',  'R',  'O',  'O',  'T'};

static void write_settings(const char* dir, const char* text) {
  char path[512];
  snprintf(path, sizeof path, "%s/cnf.INI", dir);
  FILE* f = fopen(path, "w");
  if (!f) {
    perror(path);
    exit(2);
  }
  fputs(text, f);
  fclose(f);
}

static void check_common(VrSilo* silo) {
  const VrSlotFn* table = vrsilo_table(silo);
  const unsigned char* name = vrsilo_class_name(table);
  CHECK(name[0] == 5 && memcmp(name + 1, "TSilo", 5) == 0);
  CHECK(vrsilo_instance_size(table) >= sizeof(void*));
  CHECK(vrsilo_class_parent(vrsilo_class_parent(table)) == NULL);

  /* Slot 2: exactly 40 bytes, the buffer first and the object second. */
  unsigned char buffer[48];
  memset(buffer, 0xAA, sizeof buffer);
  VRSILO_SLOT(silo, VrGetIdentityFn, VRSILO_SLOT_GET_IDENTITY)((char*)buffer, silo);
  CHECK(buffer[0] == 39);
  CHECK(memcmp(buffer + 1, kIdentity, 39) == 0);
  CHECK(buffer[40] == 0xAA);

  /* Slots without behaviour may be called and do nothing. */
  VRSILO_SLOT(silo, VrAbstractFn, VRSILO_SLOT_ABSTRACT0)(silo);
  VRSILO_SLOT(silo, VrAbstractFn, VRSILO_SLOT_ABSTRACT1)(silo);
  VRSILO_SLOT(silo, VrReserved0Fn, VRSILO_SLOT_RESERVED6)(silo);
  VRSILO_SLOT(silo, VrReserved1Fn, VRSILO_SLOT_RESERVED7)(silo, 7);
  VRSILO_SLOT(silo, VrReserved0Fn, VRSILO_SLOT_RESERVED8)(silo);
  VRSILO_SLOT(silo, VrReserved2Fn, VRSILO_SLOT_RESERVED13)(silo, 1, 2);

  /* Slots 3 and 4: only the low byte counts. */
  VRSILO_SLOT(silo, VrSetLinkStateFn, VRSILO_SLOT_SET_LINK_STATE)(silo, 0x1203);
  CHECK(VRSILO_SLOT(silo, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE)(silo) == 3);
  VRSILO_SLOT(silo, VrSetLinkStateFn, VRSILO_SLOT_SET_LINK_STATE)(silo, 1);
  CHECK(VRSILO_SLOT(silo, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE)(silo) == 1);

  /* A tank index beyond the 16 tanks answers the defaults. */
  double t[4] = {9, 9, 9, 9};
  CHECK(VRSILO_SLOT(silo, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(silo, 16) == 0.0);
  CHECK(VRSILO_SLOT(silo, VrGetDoubleFn, VRSILO_SLOT_GET_DENSITY)(silo, 255) == kDefaultDensity);
  CHECK(VRSILO_SLOT(silo, VrGetWaterFn, VRSILO_SLOT_GET_WATER)(silo, 200) == 0);
  VRSILO_SLOT(silo, VrGetTemperaturesFn, VRSILO_SLOT_GET_TEMPERATURES)(silo, 99, t);
  CHECK(t[0] == 0.0 && t[3] == 0.0);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s libvrsilo.so [GAUGE]\n", argv[0]);
    return 2;
  }
  char dir[] = "/tmp/vr-c-host-XXXXXX";
  if (!mkdtemp(dir)) return 2;
  setenv("WINDIR", dir, 1);

  void* lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
  if (!lib) {
    fprintf(stderr, "dlopen: %s\n", dlerror());
    return 2;
  }
  VrGetSiloEx2Fn ex2 = (VrGetSiloEx2Fn)dlsym(lib, "GetSiloEx2");
  VrGetSiloEx3Fn ex3 = (VrGetSiloEx3Fn)dlsym(lib, "GetSiloEx3");
  CHECK(ex2 != NULL && ex3 != NULL);
  if (!ex2 || !ex3) return 1;

  /* No settings file: block No. 1, nothing opened at construction. */
  VrSilo* a = ex2(NULL, 0, 0);
  CHECK(a != NULL);
  if (a) {
    check_common(a);
    VRSILO_DESTROY(a);
  }

  /* COM2 mapped to a device that does not exist: the object still comes
   * back, and a read answers the default with the link state "silent". */
  write_settings(dir,
                 "[VeederRoot]\nConnectionType=260\nCriticalUpdateTime=0\n"
                 "[Ports]\nCOM2=/nonexistent/vr-port\nCOM3=/nonexistent/vr-port\n");
  VrSilo* b = ex2(NULL, 0, 0);
  CHECK(b != NULL);
  if (b) {
    check_common(b);
    CHECK(VRSILO_SLOT(b, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(b, 0) == 0.0);
    CHECK(VRSILO_SLOT(b, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE)(b) == 2);
    CHECK(VRSILO_SLOT(b, VrGetDoubleFn, VRSILO_SLOT_GET_DENSITY)(b, 0) == kDefaultDensity);
    VrCalibrationPoints points;
    int32_t height = 1234;
    memset(&points, 0x5A, sizeof points);
    CHECK(VRSILO_SLOT(b, VrReadCalibrationFn, VRSILO_SLOT_READ_CALIBRATION)(b, 1, &height,
                                                                            &points) == -1);
    CHECK(height == 1234 && points.bytes[0] == 0x5A);
    VRSILO_DESTROY(b);
  }

  /* GetSiloEx3: COM3 the same way; a connection type beyond 8 opens nothing. */
  VrSilo* c = ex3(NULL, 3, 0x100); /* only the low byte of viaBlock counts */
  CHECK(c != NULL);
  if (c) {
    check_common(c);
    VRSILO_DESTROY(c);
  }
  VrSilo* d = ex3(NULL, 20, 0);
  CHECK(d != NULL);
  if (d) {
    CHECK(VRSILO_SLOT(d, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(d, 0) == 0.0);
    CHECK(VRSILO_SLOT(d, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE)(d) == 1);
    VRSILO_DESTROY(d);
  }

  /* A gauge on COM4: tank 1 read through the slots, with the simulator's values. */
  if (argc >= 3) {
    char settings[600];
    snprintf(settings, sizeof settings,
             "[VeederRoot]\nConnectionType=6\nCriticalUpdateTime=0\n[Ports]\nCOM4=%s\n", argv[2]);
    write_settings(dir, settings);
    VrSilo* e = ex3(NULL, 4, 0);
    CHECK(e != NULL);
    if (e) {
      CHECK(VRSILO_SLOT(e, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(e, 0) == 1234.5);
      CHECK(VRSILO_SLOT(e, VrGetDoubleFn, VRSILO_SLOT_GET_VOLUME)(e, 0) == 20000.0);
      CHECK(VRSILO_SLOT(e, VrGetWaterFn, VRSILO_SLOT_GET_WATER)(e, 0) == 3);
      CHECK(VRSILO_SLOT(e, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE)(e) == 1);
      VRSILO_DESTROY(e);
    }
  }

  dlclose(lib);
  char path[600];
  snprintf(path, sizeof path, "%s/cnf.INI", dir);
  unlink(path);
  rmdir(dir);
  if (failures) {
    fprintf(stderr, "%d check(s) failed\n", failures);
    return 1;
  }
  printf("c_host: all checks passed\n");
  return 0;
}
