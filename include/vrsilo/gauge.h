/*
 * vrsilo/gauge.h - the direct gauge interface of libvrsilo (Linux).
 *
 * For programs of their own (agents, probes, dashboards) that want every field
 * the console sends, with the time it was received, rather than the host's
 * driver object (vrsilo.h) with its cache and its 18 slots. Link with
 * `pkg-config --cflags --libs vrsilo`. The Windows DLL does not carry it.
 *
 * Addresses (vrsilo_gauge_open)
 *   /dev/ttyUSB0         a serial device, 9600 baud, 8 data bits, no parity
 *   tcp://HOST:PORT      raw TCP (a serial server, or the console's own port)
 *   rfc2217://HOST:PORT  a Telnet serial server (RFC 2217)
 *   COMn                 resolved through [Ports] of cnf.INI, as the driver
 *                        object does (see the README)
 *
 * Reads
 *   Every call goes to the gauge: nothing is cached. vrsilo_gauge_read asks
 *   for every tank of the range in one request when the console answers the
 *   all-tank form (tank 00; remembered per handle), else tank by tank. Records
 *   come back in tank order, one per tank the console reported. When an
 *   exchange is silent, the rest of the range comes back at once with
 *   link_state 2, without asking again. The density report ("i214") is asked
 *   first; a console whose density report lacks the fields of the plain report
 *   ("i201": TC volume, ullage, water volume) is asked that too.
 *
 * Values
 *   In the console's units (metric: litres, millimetres, degrees Celsius,
 *   kg/m3, kg). A field the reply did not carry, or carried as NaN or infinity,
 *   has its bit clear in `fields` and reads 0.0.
 *
 * Threads
 *   Calls on one handle are serialised inside it; handles are independent and
 *   may be used from different threads at once. vrsilo_gauge_close must not
 *   run while another thread is inside a call on the same handle.
 *
 * Trace
 *   VRSILO_TRACE=PATH traces the exchanges of every handle as it does the
 *   driver object's (one line per attempt).
 */
#ifndef VRSILO_GAUGE_H
#define VRSILO_GAUGE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vrsilo_gauge vrsilo_gauge;

/* Bits of vrsilo_tank_record.fields: the values the reply carried. */
enum {
  VRSILO_FIELD_VOLUME = 1u << 0,       /* gross volume */
  VRSILO_FIELD_TC_VOLUME = 1u << 1,    /* volume at the compensation temperature */
  VRSILO_FIELD_ULLAGE = 1u << 2,       /* room left in the tank */
  VRSILO_FIELD_HEIGHT = 1u << 3,       /* product level */
  VRSILO_FIELD_WATER = 1u << 4,        /* water level */
  VRSILO_FIELD_WATER_VOLUME = 1u << 5, /* water volume */
  VRSILO_FIELD_TEMPERATURE = 1u << 6,  /* product temperature */
  VRSILO_FIELD_MASS = 1u << 7,
  VRSILO_FIELD_DENSITY = 1u << 8,   /* density, not compensated */
  VRSILO_FIELD_TC_DENSITY = 1u << 9 /* density at the compensation temperature */
};

/* Bits of vrsilo_tank_record.status, as the console sends them. */
enum {
  VRSILO_STATUS_DELIVERY = 1u << 0,      /* a delivery is in progress */
  VRSILO_STATUS_LEAK_TEST = 1u << 1,     /* a leak test is in progress */
  VRSILO_STATUS_INVALID_HEIGHT = 1u << 2 /* invalid fuel height alarm */
};

typedef struct vrsilo_tank_record {
  int tank;               /* 1..99 */
  int link_state;         /* 1 answered, 2 silent, 3 answered wrongly (VrLinkState) */
  char product;           /* product code of the report header; 0 when none */
  unsigned status;        /* status bits as sent; VRSILO_STATUS_* */
  char console_time[17];  /* "YYYY-MM-DDTHH:MM", the console's clock; "" when none */
  int64_t received_at_ms; /* UTC milliseconds since 1970 when the reply arrived */
  unsigned fields;        /* VRSILO_FIELD_* bits of the values below that the reply carried */
  double volume, tc_volume, ullage, height, water, water_volume, temperature, mass, density,
      tc_density;
} vrsilo_tank_record;

/* An alarm or warning the console holds active. Tank alarms come from the
 * in-tank status report ("i205"), the others from the system status report
 * ("i101"). Both the name and the numbers are kept: a console may raise a
 * type this library has no name for. */
typedef struct vrsilo_alarm {
  int category;              /* the console's category: 2 = tank (VRSILO_ALARM_TANK) */
  int type;                  /* the console's number of the alarm within its category */
  int device;                /* the tank (category 2), sensor or device number; 0 = none */
  const char* name;          /* tank alarms: "leak", "high_water", "overfill", ... (see the
                                README); "" for other categories and unknown types.
                                Static text, never NULL. */
  const char* category_name; /* "tank", "liquid_sensor", ...; "" when unknown. Static. */
  char console_time[17];     /* "YYYY-MM-DDTHH:MM" of the report header; "" when none */
  int64_t received_at_ms;
} vrsilo_alarm;
enum { VRSILO_ALARM_TANK = 2 };

/* A delivery the console detected and keeps ("i202"; "i20C" for the last one).
 * The console sends no delivered amount: it is end minus start of volume
 * (gross) and of TC volume (net). Values are in the order the console sends
 * them; bit k of `fields` is set when the k-th value below was carried
 * (finite): the older family sends 10, the newer 16 for the last delivery. */
typedef struct vrsilo_delivery {
  int tank;
  char product;   /* product code; 0 when none */
  char start[17]; /* "YYYY-MM-DDTHH:MM", the console's clock */
  char end[17];
  unsigned fields;
  double start_volume, start_tc_volume, start_water, start_temperature, end_volume, end_tc_volume,
      end_water, end_temperature, start_height, end_height, start_mass, end_mass, start_density,
      end_density, start_tc_density, end_tc_density;
  char console_time[17]; /* of the report header */
  int64_t received_at_ms;
} vrsilo_delivery;

/* A tank's label ("i602"): the product it holds as the console names it. */
typedef struct vrsilo_tank_label {
  int tank;
  char label[21]; /* trailing spaces trimmed; characters outside ASCII 0x20..0x7E as '?' */
} vrsilo_tank_label;

/* Error codes: 0 success, negative otherwise; vrsilo_error_text names them. */
enum {
  VRSILO_OK = 0,
  VRSILO_E_ARGUMENT = -1,  /* a null pointer, a tank or range out of 1..99, capacity too small */
  VRSILO_E_ADDRESS = -2,   /* the address is none of the forms above */
  VRSILO_E_OPEN = -3,      /* the device or the connection cannot be opened */
  VRSILO_E_SILENT = -4,    /* the gauge did not answer */
  VRSILO_E_BAD_REPLY = -5, /* the gauge answered, but not a reply to the request */
  VRSILO_E_UNKNOWN = -6,   /* the console does not know the command (or the tank) */
  VRSILO_E_TABLE = -7,     /* the calibration table was refused or is not valid */
  VRSILO_E_MEMORY = -8,
  VRSILO_E_NOT_SUPPORTED = -9 /* the console does not answer this report (remembered) */
};

/* Opens a gauge; *gauge is NULL on failure. */
int vrsilo_gauge_open(const char* address, vrsilo_gauge** gauge);

/* Reads tanks first_tank..last_tank (1..99, first <= last) into records
 * (capacity entries); *count is the number of records written. 0 also when
 * the gauge is silent (the records then say link_state 2). */
int vrsilo_gauge_read(vrsilo_gauge* gauge, int first_tank, int last_tank,
                      vrsilo_tank_record* records, int capacity, int* count);

/* A tank's calibration table: its full height in millimetres and the volumes
 * at 20 evenly spaced levels (level k = height * k / 20, k = 1..20). */
int vrsilo_gauge_read_table(vrsilo_gauge* gauge, int tank, int32_t* height_mm, double volumes[20]);
int vrsilo_gauge_write_table(vrsilo_gauge* gauge, int tank, int32_t height_mm,
                             const double volumes[20]);

/* The console's own word. Each of the three calls below writes at most
 * `capacity` items and sets *count to the number the console reported, which
 * may be more: compare the two. A console that answers one of these reports
 * with the unknown-command reply gets VRSILO_E_NOT_SUPPORTED, and the handle
 * remembers it: that report is not sent to this console again. */

/* Active alarms of tanks first_tank..last_tank (one request for every tank,
 * "i20500"), in tank order. With with_system non-zero, the active alarms of
 * the other categories ("i10100": sensors, inputs, the system itself) follow;
 * a console without that report gives the tank alarms alone. */
int vrsilo_gauge_read_alarms(vrsilo_gauge* gauge, int first_tank, int last_tank, int with_system,
                             vrsilo_alarm* alarms, int capacity, int* count);

/* The deliveries a tank holds ("i202TT"), as the console lists them; with
 * last_only non-zero, only the last one ("i20CTT"). A console that does not
 * know one of these reports answers as it does for a tank it does not have, so
 * VRSILO_E_NOT_SUPPORTED is remembered per tank and per report. */
int vrsilo_gauge_read_deliveries(vrsilo_gauge* gauge, int tank, int last_only,
                                 vrsilo_delivery* deliveries, int capacity, int* count);

/* Labels of tanks first_tank..last_tank ("i60200"), in tank order. */
int vrsilo_gauge_read_labels(vrsilo_gauge* gauge, int first_tank, int last_tank,
                             vrsilo_tank_label* labels, int capacity, int* count);

/* Closes the link and frees the handle; NULL is allowed. */
void vrsilo_gauge_close(vrsilo_gauge* gauge);

/* A short English text for a code; never NULL. */
const char* vrsilo_error_text(int code);

#ifdef __cplusplus
}
#endif

#endif /* VRSILO_GAUGE_H */
