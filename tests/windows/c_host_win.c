/* A Windows host in plain C: loads vrsilo.dll with LoadLibraryA, takes the
 * entry points with GetProcAddress and uses driver objects through the slot
 * table only. COM1 leads to the gauge simulator (scripts/test-windows), whose
 * tanks 1 and 2 hold the values below; COM6 does not exist.
 * Exit status 0 = all checks passed. Usage: c_host_win path\to\vrsilo.dll */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "vrsilo.h"

static int checks = 0;
static int failures = 0;

/* The density answered without data. A double object, because a 32-bit x87
 * build compares the bare constant 0.77 in extended precision. */
static const double kDefaultDensity = 0.77;

#define CHECK(cond)                                                            \
  do {                                                                         \
    ++checks;                                                                  \
    if (!(cond)) {                                                             \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                              \
    }                                                                          \
  } while (0)

struct Tank {
  double level, volume, temperature, density;
  unsigned water;
};
static const struct Tank kTanks[2] = {
    {1234.5, 20000.0, 15.5, 0.7455, 3},
    {800.25, 12000.0, -2.5, 0.83, 0},
};

static ULONGLONG Now(void) {
  return GetTickCount64();
}

#define SLOT(obj, type, index) VRSILO_SLOT(obj, type, index)

static unsigned LinkState(VrSilo* s) {
  return SLOT(s, VrGetLinkStateFn, VRSILO_SLOT_GET_LINK_STATE)(s);
}

/* Volumes 100.5, 201, ... as x87 extended values (long double is the 80-bit
 * format with mingw on x86). */
static void MakePoints(VrCalibrationPoints* p, double step) {
  for (int k = 0; k < VRSILO_CALIBRATION_POINTS; ++k) {
    long double v = (long double)(step * (k + 1));
    memcpy(p->bytes + VRSILO_EXTENDED_SIZE * k, &v, VRSILO_EXTENDED_SIZE);
  }
}

static void CheckInventory(VrSilo* s) {
  for (unsigned i = 0; i < 2; ++i) {
    const struct Tank* t = &kTanks[i];
    CHECK(SLOT(s, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(s, i) == t->level);
    CHECK(LinkState(s) == VRSILO_LINK_OK);
    CHECK(SLOT(s, VrGetDoubleFn, VRSILO_SLOT_GET_VOLUME)(s, i) == t->volume);
    CHECK(SLOT(s, VrGetWaterFn, VRSILO_SLOT_GET_WATER)(s, i) == t->water);
    double temps[4] = {0, 0, 0, 0};
    SLOT(s, VrGetTemperaturesFn, VRSILO_SLOT_GET_TEMPERATURES)(s, i, temps);
    for (int k = 0; k < 4; ++k) CHECK(temps[k] == t->temperature);
    double density = SLOT(s, VrGetDoubleFn, VRSILO_SLOT_GET_DENSITY)(s, i);
    CHECK(density > t->density - 1e-9 && density < t->density + 1e-9);
    CHECK(LinkState(s) == VRSILO_LINK_OK);
  }
}

static void CheckCalibration(VrSilo* s) {
  VrWriteCalibrationFn write = SLOT(s, VrWriteCalibrationFn, VRSILO_SLOT_WRITE_CALIBRATION);
  VrReadCalibrationFn read = SLOT(s, VrReadCalibrationFn, VRSILO_SLOT_READ_CALIBRATION);
  for (int round = 0; round < 2; ++round) {
    VrCalibrationPoints written, back;
    MakePoints(&written, round == 0 ? 100.5 : 1234.25);
    const int32_t height = round == 0 ? 2750 : 1999;
    CHECK(write(s, 2, (uint32_t)height, &written) == 0);
    memset(&back, 0xA5, sizeof back);
    int32_t heightBack = -1;
    CHECK(read(s, 2, &heightBack, &back) == 0);
    CHECK(heightBack == height);
    CHECK(memcmp(&back, &written, sizeof back) == 0);
  }
}

static void Destroy(VrSilo* s) {
  const ULONGLONG start = Now();
  VRSILO_DESTROY(s);
  /* The port's threads stop at once (each has 200 ms to acknowledge, which
   * test_windows checks); this only catches a stop that hangs. */
  CHECK(Now() - start < 1000);
}

static void WriteSettings(const char* text) {
  char path[MAX_PATH];
  UINT n = GetWindowsDirectoryA(path, MAX_PATH - 16);
  strcpy(path + n, "\\cnf.INI");
  if (text == NULL) {
    DeleteFileA(path);
    return;
  }
  FILE* f = fopen(path, "wb");
  if (!f) {
    fprintf(stderr, "cannot write %s\n", path);
    ++failures;
    return;
  }
  fputs(text, f);
  fclose(f);
}

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s vrsilo.dll\n", argv[0]);
    return 2;
  }
  HMODULE lib = LoadLibraryA(argv[1]);
  if (!lib) {
    fprintf(stderr, "LoadLibraryA(%s) failed: %lu\n", argv[1], GetLastError());
    return 2;
  }
  VrGetSiloEx2Fn ex2 = (VrGetSiloEx2Fn)(void (*)(void))GetProcAddress(lib, "GetSiloEx2");
  VrGetSiloEx3Fn ex3 = (VrGetSiloEx3Fn)(void (*)(void))GetProcAddress(lib, "GetSiloEx3");
  CHECK(ex2 != NULL && ex3 != NULL);
  if (!ex2 || !ex3) return 1;
  WriteSettings(NULL);

  /* COM1 through GetSiloEx3: the whole inventory and a table written and read
   * back. */
  VrSilo* a = ex3(NULL, 1, 0);
  CHECK(a != NULL);
  if (a) {
    unsigned char id[40];
    SLOT(a, VrGetIdentityFn, VRSILO_SLOT_GET_IDENTITY)((char*)id, a);
    CHECK(id[0] == 39 && memcmp(id + 1, "v3.00#", 6) == 0);
    CheckInventory(a);
    CheckCalibration(a);

    /* No windows of its own on Windows: slot 15 leaves the host's menu alone. */
    unsigned char menu[64];
    memset(menu, 0x77, sizeof menu);
    SLOT(a, VrAddMenuItemFn, VRSILO_SLOT_ADD_MENU_ITEM)(a, menu, 0);
    CHECK(menu[0] == 0x77 && menu[63] == 0x77);

    /* The port is held: a second object on COM1 has no link and answers the
     * defaults. */
    VrSilo* b = ex3(NULL, 1, 0);
    CHECK(b != NULL);
    if (b) {
      CHECK(SLOT(b, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(b, 0) == 0.0);
      CHECK(LinkState(b) == VRSILO_LINK_SILENT);
      Destroy(b);
    }
    CHECK(SLOT(a, VrGetDoubleFn, VRSILO_SLOT_GET_VOLUME)(a, 1) == kTanks[1].volume);
    Destroy(a);
  }

  /* COM6 does not exist: an object without link. */
  VrSilo* c = ex3(NULL, 6, 0);
  CHECK(c != NULL);
  if (c) {
    CHECK(SLOT(c, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(c, 0) == 0.0);
    CHECK(LinkState(c) == VRSILO_LINK_SILENT);
    CHECK(SLOT(c, VrGetDoubleFn, VRSILO_SLOT_GET_DENSITY)(c, 0) == kDefaultDensity);
    /* A failed read leaves the caller's buffers untouched. */
    int32_t height = 77;
    VrCalibrationPoints points;
    memset(&points, 0x5A, sizeof points);
    CHECK(SLOT(c, VrReadCalibrationFn, VRSILO_SLOT_READ_CALIBRATION)(c, 1, &height, &points) == -1);
    CHECK(height == 77 && points.bytes[0] == 0x5A && points.bytes[199] == 0x5A);
    Destroy(c);
  }

  /* GetSiloEx2: the connection type from C:\windows\cnf.INI (3 = COM1). */
  WriteSettings("[VeederRoot]\r\nConnectionType=3\r\nCriticalUpdateTime=0\r\n");
  VrSilo* d = ex2(NULL, 0, 0);
  CHECK(d != NULL);
  if (d) {
    CheckInventory(d);
    Destroy(d);
  }
  WriteSettings(NULL);

  /* After every object is gone the port opens again. */
  VrSilo* e = ex3(NULL, 1, 0);
  CHECK(e != NULL);
  if (e) {
    CHECK(SLOT(e, VrGetDoubleFn, VRSILO_SLOT_GET_LEVEL)(e, 1) == kTanks[1].level);
    Destroy(e);
  }

  CHECK(FreeLibrary(lib));
  if (failures) {
    fprintf(stderr, "c_host_win: %d of %d checks failed\n", failures, checks);
    return 1;
  }
  printf("c_host_win: all %d checks passed\n", checks);
  return 0;
}
