/*
 * vrsilo.h - host interface of the Veeder-Root tank-gauge driver library.
 *
 * The library exports exactly two functions, GetSiloEx2 and GetSiloEx3. Each
 * returns a new driver object. The host talks to the object only through its
 * slot table and destroys it through the destructor entry in front of slot 0.
 *
 * Object shape (the class layout of the Object Pascal object model)
 *   object ──► [ table pointer | driver state ... ]
 *   table pointer ──► slot 0, slot 1, ... slot 17   (pointer-sized entries)
 *   In front of slot 0, 19 class entries (VrClassEntry, counted in entries;
 *   byte offsets for 32-bit builds):
 *     -76 self: the table pointer itself
 *     -72..-48 interface, automation, initialisation, type-info, field,
 *              method and dynamic tables: all NULL
 *     -44 class name: a length-prefixed string (byte 5, then "TSilo")
 *     -40 instance size
 *     -36 parent: pointer to a variable holding the parent's table pointer;
 *         the parent is a root class "TObject" laid out the same way, whose
 *         parent entry is NULL
 *     -32 safe-call exception (object, exception, address) -> 0x8000FFFF
 *     -28 after construction (object), -24 before destruction (object)
 *     -20 dispatch (object, message), -16 default handler (object, message)
 *     -12 new instance (class) -> NULL: hosts never create a TSilo themselves
 *      -8 free instance (object): nothing
 *      -4 destroy (object, outermost flag): releases the object whatever the
 *         flag; call it through vrsilo_destroy()
 *   The entries from -32 to -4 use the register convention (VRSILO_REGISTER):
 *   on 32-bit x86 the first three arguments in EAX, EDX, ECX (a one-byte
 *   argument in the low byte), nothing on the stack, nothing removed; on
 *   other targets the platform's C convention.
 *
 * Calling convention
 *   VRSILO_CALL is __stdcall on every 32-bit x86 target (all arguments on the
 *   stack, removed by the callee) and the platform's C convention elsewhere.
 *   The object is the first argument of every slot except slot 2, which takes
 *   the 40-byte result buffer first and the object second. 8-bit arguments
 *   (tank index or number, link state, connection type) are passed as full
 *   32-bit values of which only the low byte is used; 8-bit results are
 *   zero-extended.
 *
 * Floating point
 *   On 32-bit x86 every entry point, slot and class entry saves the caller's
 *   x87 control word (and MXCSR where the library uses SSE), computes with all
 *   floating-point exceptions masked, round to nearest and 64-bit precision,
 *   and restores the caller's words, with no exception flag left pending, on
 *   every return. Hosts that unmask exceptions (0x1332) are safe, and results
 *   do not depend on the caller's precision or rounding. While the library
 *   calls the host's communication block, the host's own words are in force.
 *   A level, volume, temperature, water or density that the gauge sends as
 *   NaN or infinity reads as 0.0: a host with unmasked invalid-operation
 *   exceptions would trap at its first use of it. Calibration volumes are
 *   passed on as the gauge sends them.
 *
 * Threads
 *   - GetSiloEx2/GetSiloEx3, the destructor, slot 5 (OpenCommBlock) and
 *     slot 15 (AddMenuItem) are called on the host's user-interface thread.
 *   - The read slots 9..14 and the calibration slots 16/17 may be called from
 *     any host thread, concurrently; exchanges with the gauge are serialised
 *     inside the object. A read whose cached value is younger than the refresh
 *     period returns at once without any exchange, lock or allocation; a stale
 *     read may block for up to two exchanges of three attempts each (about
 *     nine seconds against a silent gauge).
 *   - The object must not be destroyed while another thread is inside a slot.
 *
 * Errors
 *   No C++ exception ever leaves the library. A failure of the host's
 *   communication block during an exchange ("Ошибка связи с БС") ends the
 *   exchange: the slot returns its default (reads) or -1 (calibration) and the
 *   message goes to the library's application object, which shows it as an
 *   error message box (MessageBoxA, owner = the window given to GetSiloEx2;
 *   on POSIX builds: standard error).
 *
 * Texts handed to the host (slot 2) are in the Windows-1251 code page.
 */
#ifndef VRSILO_H
#define VRSILO_H

#include <stddef.h>
#include <stdint.h>

#if defined(_MSC_VER) && defined(_M_IX86)
#define VRSILO_CALL __stdcall
#define VRSILO_REGISTER /* no equivalent: vrsilo_destroy() uses inline assembly */
#elif defined(__i386__)
#define VRSILO_CALL __attribute__((stdcall))
#define VRSILO_REGISTER __attribute__((regparm(3)))
#else
#define VRSILO_CALL
#define VRSILO_REGISTER
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Slot numbers of the driver object's table. */
enum VrSiloSlot {
  VRSILO_SLOT_ABSTRACT0 = 0,      /* no behaviour; a call does nothing */
  VRSILO_SLOT_ABSTRACT1 = 1,      /* no behaviour; a call does nothing */
  VRSILO_SLOT_GET_IDENTITY = 2,   /* VrGetIdentityFn */
  VRSILO_SLOT_SET_LINK_STATE = 3, /* VrSetLinkStateFn */
  VRSILO_SLOT_GET_LINK_STATE = 4, /* VrGetLinkStateFn */
  VRSILO_SLOT_OPEN_COMM_BLOCK = 5,/* VrOpenCommBlockFn */
  VRSILO_SLOT_RESERVED6 = 6,      /* VrReserved0Fn, does nothing */
  VRSILO_SLOT_RESERVED7 = 7,      /* VrReserved1Fn, does nothing */
  VRSILO_SLOT_RESERVED8 = 8,      /* VrReserved0Fn, does nothing */
  VRSILO_SLOT_GET_LEVEL = 9,      /* VrGetDoubleFn */
  VRSILO_SLOT_GET_TEMPERATURES = 10, /* VrGetTemperaturesFn */
  VRSILO_SLOT_GET_WATER = 11,     /* VrGetWaterFn */
  VRSILO_SLOT_GET_DENSITY = 12,   /* VrGetDoubleFn */
  VRSILO_SLOT_RESERVED13 = 13,    /* VrReserved2Fn, does nothing */
  VRSILO_SLOT_GET_VOLUME = 14,    /* VrGetDoubleFn */
  VRSILO_SLOT_ADD_MENU_ITEM = 15, /* VrAddMenuItemFn */
  VRSILO_SLOT_READ_CALIBRATION = 16,  /* VrReadCalibrationFn */
  VRSILO_SLOT_WRITE_CALIBRATION = 17, /* VrWriteCalibrationFn */
  VRSILO_SLOT_COUNT = 18
};

/* Link states (slot 4). Over a communication block the state is whatever the
 * block reports for the channel. */
enum VrLinkState { VRSILO_LINK_OK = 1, VRSILO_LINK_SILENT = 2, VRSILO_LINK_BAD_REPLY = 3 };

typedef struct VrSilo VrSilo; /* opaque: its first field is the table pointer */

/* Generic table entry; cast to the slot's own type before calling. */
typedef void(VRSILO_CALL* VrSlotFn)(void);

/* Class entries in front of slot 0, in pointer-sized entries. */
enum VrClassEntry {
  VRSILO_CLASS_SELF = -19,
  VRSILO_CLASS_INTERFACE_TABLE = -18, /* -18..-12: NULL */
  VRSILO_CLASS_DYNAMIC_TABLE = -12,
  VRSILO_CLASS_NAME = -11,
  VRSILO_CLASS_INSTANCE_SIZE = -10,
  VRSILO_CLASS_PARENT = -9,
  VRSILO_CLASS_SAFECALL_EXCEPTION = -8,
  VRSILO_CLASS_AFTER_CONSTRUCTION = -7,
  VRSILO_CLASS_BEFORE_DESTRUCTION = -6,
  VRSILO_CLASS_DISPATCH = -5,
  VRSILO_CLASS_DEFAULT_HANDLER = -4,
  VRSILO_CLASS_NEW_INSTANCE = -3,
  VRSILO_CLASS_FREE_INSTANCE = -2,
  VRSILO_CLASS_DESTROY = -1
};

/* A tank's calibration points: 20 x87 80-bit extended values, 10 bytes each,
 * packed (200 bytes). Each value: 64-bit significand with explicit integer
 * bit (little-endian) followed by 16 bits of sign and biased exponent (bias
 * 16383). Element k-1 (k = 1..20) is the volume in litres at level k/20 of the
 * tank's full height. */
#define VRSILO_CALIBRATION_POINTS 20
#define VRSILO_EXTENDED_SIZE 10
typedef struct VrCalibrationPoints {
  uint8_t bytes[VRSILO_CALIBRATION_POINTS * VRSILO_EXTENDED_SIZE];
} VrCalibrationPoints;

/* Identity written by slot 2: one length byte (39) and 39 Windows-1251
 * characters, "v3.00#Протокол к уровнемеру VEEDER-ROOT". */
#define VRSILO_IDENTITY_SIZE 40

/* Class entries (register convention). */
typedef int32_t(VRSILO_REGISTER* VrSafeCallExceptionFn)(VrSilo* self, void* exception,
                                                         void* address);
typedef void(VRSILO_REGISTER* VrObjectEntryFn)(VrSilo* self); /* -28, -24, -8 */
typedef void(VRSILO_REGISTER* VrMessageEntryFn)(VrSilo* self, void* message); /* -20, -16 */
typedef VrSilo*(VRSILO_REGISTER* VrNewInstanceFn)(const VrSlotFn* table);
typedef void(VRSILO_REGISTER* VrDestroyFn)(VrSilo* self, uint8_t outermost);
typedef void(VRSILO_CALL* VrAbstractFn)(VrSilo* self);
typedef void(VRSILO_CALL* VrGetIdentityFn)(char* buffer40, VrSilo* self);
typedef void(VRSILO_CALL* VrSetLinkStateFn)(VrSilo* self, uint32_t state);
typedef uint32_t(VRSILO_CALL* VrGetLinkStateFn)(VrSilo* self);
typedef void(VRSILO_CALL* VrOpenCommBlockFn)(VrSilo* self, uint32_t ignored);
typedef void(VRSILO_CALL* VrReserved0Fn)(VrSilo* self);
typedef void(VRSILO_CALL* VrReserved1Fn)(VrSilo* self, uint32_t ignored);
typedef void(VRSILO_CALL* VrReserved2Fn)(VrSilo* self, uint32_t ignored1, uint32_t ignored2);
/* Tank index 0..15 addresses gauge tank index + 1; other indexes answer the
 * default without contacting the gauge. */
typedef double(VRSILO_CALL* VrGetDoubleFn)(VrSilo* self, uint32_t tankIndex);
typedef void(VRSILO_CALL* VrGetTemperaturesFn)(VrSilo* self, uint32_t tankIndex, double* out4);
typedef uint32_t(VRSILO_CALL* VrGetWaterFn)(VrSilo* self, uint32_t tankIndex);
/* Slot 15 adds the driver's settings item to the host's menu. On builds with
 * Qt, menu is the host's QMenuBar or QMenu passed as a QWidget*
 * (static_cast<QWidget*>(menuBar)); the library and the host share one Qt.
 * Among the widget's actions, in order, the first whose text is exactly
 * "&Настройка" and that has a submenu gets one action appended to that
 * submenu: "Настройка Veeder-Root (БС №n)" or "(COM №n)" after the driver's
 * connection type, status tip "Настройка Veeder-Root", opening the settings
 * dialog (and from it the calibration-table window) for this object. Only
 * the object's first call acts, found or not; later calls add nothing. The
 * action belongs to the owner of the "&Настройка" action and is removed when
 * the object is destroyed. Call it on the user-interface thread. On POSIX
 * builds without Qt the call does nothing.
 * On Windows, menu is the host's HMENU (a menu bar or a popup menu); anything
 * that is not a menu handle (IsMenu false, for instance the host's own
 * menu-item object) is ignored without being touched. Among the menu's items,
 * the first whose text is exactly "&Настройка" and that has a submenu gets one
 * item appended, with the caption above; choosing it opens the settings
 * dialog (user32/comctl32 windows, version-6 common controls through the
 * library's own activation context). The item's WM_COMMAND reaches the
 * library through a comctl32 subclass (SetWindowSubclass) of the top-level
 * window of the calling thread whose menu holds that HMENU: the window given
 * to GetSiloEx2 first, otherwise the first such window of the thread. Without
 * such a window nothing is added. Item and subclass are removed when the
 * object is destroyed (on the same thread). The command identifiers come
 * from 0x7A00..0x7AFF. */
typedef void(VRSILO_CALL* VrAddMenuItemFn)(VrSilo* self, void* menu, uint32_t ignored);
/* tankNumber is the gauge's own tank number (1-based). 0 = success, -1 = failure. */
typedef int32_t(VRSILO_CALL* VrReadCalibrationFn)(VrSilo* self, uint32_t tankNumber,
                                                  int32_t* heightMm, VrCalibrationPoints* points);
typedef int32_t(VRSILO_CALL* VrWriteCalibrationFn)(VrSilo* self, uint32_t tankNumber,
                                                   int32_t heightMm,
                                                   const VrCalibrationPoints* points);

/* The host's communication block (connection types 0..2), as the library
 * calls it. The host passes a pointer to such an object as the first argument
 * of GetSiloEx2/GetSiloEx3. Its first field is its table pointer; the entries
 * the library calls are slots 22..27 (pointer-sized entries counted from the
 * table pointer), with VRSILO_CALL and the object as the first argument. The
 * object's first data field (right after the table pointer) points to an array
 * of block objects, one per block index 0..2; each block object's own table
 * has BlockStatus in slot 8.
 *
 * Transact reports failure by a nonzero result, which ends the exchange with
 * the error "Ошибка связи с БС" (no further attempt, the link state kept).
 * SetupChannel reports failure by a nonzero result, which makes slot 5 and a
 * change of connection type fail ("Невозможно задать конфигурацию БС!"). */
enum VrCommBlockSlot {
  VRSILO_CB_SET_CHANNEL_STATE = 22,
  VRSILO_CB_GET_CHANNEL_STATE = 23,
  VRSILO_CB_SET_REPLY_HANDLER = 24,
  VRSILO_CB_TRANSACT = 25,
  VRSILO_CB_SETUP_CHANNEL = 26,
  VRSILO_CB_SET_CONFIG_HANDLER = 27,
  VRSILO_BLOCK_STATUS = 8
};

typedef struct VrCommBlock VrCommBlock;
typedef struct VrBlockObject VrBlockObject;

/* The reply check the library hands to the block: context is the library's
 * own pointer, passed back unchanged; tag is passed on to BlockStatus; reply/replyLength the received
 * frame; expected the expected length. Returns nonzero for a valid reply. */
typedef uint32_t(VRSILO_CALL* VrReplyCheckFn)(void* context, uint32_t tag, const uint8_t* reply,
                                              uint8_t* replyLength, uint8_t* expected);
/* Called by the block whenever the channel must be set up again. */
typedef void(VRSILO_CALL* VrConfigureFn)(void* context);

struct VrCommBlock {
  const VrSlotFn* table;
  VrBlockObject* const* blocks; /* blocks[b] for block index b = 0..2 */
};
struct VrBlockObject {
  const VrSlotFn* table;
};

typedef void(VRSILO_CALL* VrCbSetChannelStateFn)(VrCommBlock* self, uint32_t channel,
                                                 uint32_t state);
typedef uint32_t(VRSILO_CALL* VrCbGetChannelStateFn)(VrCommBlock* self, uint32_t channel);
typedef void(VRSILO_CALL* VrCbSetReplyHandlerFn)(VrCommBlock* self, uint32_t block, uint32_t tag,
                                                 VrReplyCheckFn check, void* context);
/* Sends frame and leaves the reply in reply (255 bytes); 0 = success. */
typedef int32_t(VRSILO_CALL* VrCbTransactFn)(VrCommBlock* self, uint32_t block, uint32_t a,
                                             uint32_t b, const uint8_t* frame,
                                             uint32_t frameLength, uint8_t* reply,
                                             uint32_t expectedLength, uint32_t c);
/* Returns 0 on success. */
typedef int32_t(VRSILO_CALL* VrCbSetupChannelFn)(VrCommBlock* self, uint32_t channel,
                                                 uint32_t mode, uint32_t baud, uint32_t replyMs,
                                                 uint32_t gapMs, uint32_t flags);
typedef void(VRSILO_CALL* VrCbSetConfigHandlerFn)(VrCommBlock* self, uint32_t channel,
                                                  VrConfigureFn configure, void* context);
typedef void(VRSILO_CALL* VrBlockStatusFn)(VrBlockObject* self, uint32_t tag, uint32_t status);

/* Entry points. host: the host's communication block (may be NULL when no
 * block is used). GetSiloEx2 reads the connection type from the settings file
 * (section "VeederRoot", key "ConnectionType") and makes mainWindow the owner of
 * the library's windows. GetSiloEx3: viaBlock nonzero -> block No. number
 * (1..3), else serial port COM<number> (1..6). Both return NULL only when
 * memory runs out; every other failure still yields an object (see Errors). */
VrSilo* VRSILO_CALL GetSiloEx2(void* host, uint32_t reserved, uintptr_t mainWindow);
VrSilo* VRSILO_CALL GetSiloEx3(void* host, int32_t number, uint32_t viaBlock);

typedef VrSilo*(VRSILO_CALL* VrGetSiloEx2Fn)(void* host, uint32_t reserved, uintptr_t mainWindow);
typedef VrSilo*(VRSILO_CALL* VrGetSiloEx3Fn)(void* host, int32_t number, uint32_t viaBlock);

/* Helpers for C hosts: the table of an object, its class entries and typed
 * slot access. */
static inline const VrSlotFn* vrsilo_table(VrSilo* obj) { return *(const VrSlotFn* const*)obj; }
static inline const void* vrsilo_class_entry(const VrSlotFn* table, int entry) {
  return ((const void* const*)table)[entry];
}
/* The class name as a length-prefixed string: name[0] characters follow. */
static inline const unsigned char* vrsilo_class_name(const VrSlotFn* table) {
  return (const unsigned char*)vrsilo_class_entry(table, VRSILO_CLASS_NAME);
}
static inline uintptr_t vrsilo_instance_size(const VrSlotFn* table) {
  return (uintptr_t)vrsilo_class_entry(table, VRSILO_CLASS_INSTANCE_SIZE);
}
/* The parent class's table, or NULL for the root class. */
static inline const VrSlotFn* vrsilo_class_parent(const VrSlotFn* table) {
  const VrSlotFn* const* parent =
      (const VrSlotFn* const*)vrsilo_class_entry(table, VRSILO_CLASS_PARENT);
  return parent ? *parent : NULL;
}
/* Destroys the object through the entry in front of slot 0, as the host's
 * object model does: object in EAX, outermost flag 1 in DL on 32-bit x86. A
 * function, so that an argument with side effects (p.release()) is evaluated
 * once. */
static inline void vrsilo_destroy(VrSilo* obj) {
  VrSlotFn entry = vrsilo_table(obj)[VRSILO_CLASS_DESTROY];
#if defined(_MSC_VER) && defined(_M_IX86)
  __asm {
    mov eax, obj
    mov edx, 1
    call entry
  }
#else
  ((VrDestroyFn)entry)(obj, 1);
#endif
}
#define VRSILO_SLOT(obj, type, index) ((type)(vrsilo_table(obj)[index]))
#define VRSILO_DESTROY(obj) vrsilo_destroy(obj)

#ifdef __cplusplus
}
#endif

#endif /* VRSILO_H */
