#pragma once
// The class layout that the host's Object Pascal object model expects in front
// of an object's slot table: 19 pointer-sized entries, from the table's own
// address at entry -19 to the destructor at entry -1. The host reads them at
// fixed negative offsets (name, size, parent, the standard methods), so every
// offset is pinned down here.
#include <cstddef>
#include <cstdint>

#include "vrsilo.h"

namespace vr {

struct ClassHeader {
  const void* self;  // the table pointer itself
  const void* interfaceTable;
  const void* automationTable;
  const void* initTable;
  const void* typeInfo;
  const void* fieldTable;
  const void* methodTable;
  const void* dynamicTable;
  const unsigned char* name;  // length byte, then the characters
  uintptr_t instanceSize;     // pointer-sized entry
  const void* const* parent;  // variable holding the parent's table pointer
  VrSafeCallExceptionFn safeCallException;
  VrObjectEntryFn afterConstruction;
  VrObjectEntryFn beforeDestruction;
  VrMessageEntryFn dispatch;
  VrMessageEntryFn defaultHandler;
  VrNewInstanceFn newInstance;
  VrObjectEntryFn freeInstance;
  VrDestroyFn destroy;
};

template <size_t Slots>
struct ClassTable {
  ClassHeader header;
  VrSlotFn slots[Slots];
};
template <>
struct ClassTable<0> {
  ClassHeader header;
};

// Entry index (VrClassEntry) of a header field: its distance from the table
// pointer in entries.
constexpr ptrdiff_t EntryOf(size_t fieldOffset) {
  return (static_cast<ptrdiff_t>(fieldOffset) - static_cast<ptrdiff_t>(sizeof(ClassHeader))) /
         static_cast<ptrdiff_t>(sizeof(void*));
}
#define VR_CLASS_ENTRY_AT(field, entry) \
  static_assert(EntryOf(offsetof(ClassHeader, field)) == (entry), #field)
VR_CLASS_ENTRY_AT(self, VRSILO_CLASS_SELF);
VR_CLASS_ENTRY_AT(interfaceTable, VRSILO_CLASS_INTERFACE_TABLE);
VR_CLASS_ENTRY_AT(dynamicTable, VRSILO_CLASS_DYNAMIC_TABLE);
VR_CLASS_ENTRY_AT(name, VRSILO_CLASS_NAME);
VR_CLASS_ENTRY_AT(instanceSize, VRSILO_CLASS_INSTANCE_SIZE);
VR_CLASS_ENTRY_AT(parent, VRSILO_CLASS_PARENT);
VR_CLASS_ENTRY_AT(safeCallException, VRSILO_CLASS_SAFECALL_EXCEPTION);
VR_CLASS_ENTRY_AT(afterConstruction, VRSILO_CLASS_AFTER_CONSTRUCTION);
VR_CLASS_ENTRY_AT(beforeDestruction, VRSILO_CLASS_BEFORE_DESTRUCTION);
VR_CLASS_ENTRY_AT(dispatch, VRSILO_CLASS_DISPATCH);
VR_CLASS_ENTRY_AT(defaultHandler, VRSILO_CLASS_DEFAULT_HANDLER);
VR_CLASS_ENTRY_AT(newInstance, VRSILO_CLASS_NEW_INSTANCE);
VR_CLASS_ENTRY_AT(freeInstance, VRSILO_CLASS_FREE_INSTANCE);
VR_CLASS_ENTRY_AT(destroy, VRSILO_CLASS_DESTROY);
#undef VR_CLASS_ENTRY_AT
static_assert(sizeof(ClassHeader) == 19 * sizeof(void*));
static_assert(sizeof(void*) != 4 || offsetof(ClassHeader, name) - sizeof(ClassHeader) == -44u);
static_assert(offsetof(ClassTable<VRSILO_SLOT_COUNT>, slots) == sizeof(ClassHeader));

// The standard entries shared by our classes: the behaviour of the object
// model's root class (nothing), except that no instance is ever created by
// the host and a safe-call exception is reported as E_UNEXPECTED.
int32_t VRSILO_REGISTER SafeCallExceptionEntry(VrSilo*, void*, void*);
void VRSILO_REGISTER ObjectEntry(VrSilo*);
void VRSILO_REGISTER MessageEntry(VrSilo*, void*);
VrSilo* VRSILO_REGISTER NewInstanceEntry(const VrSlotFn*);
void VRSILO_REGISTER RootDestroyEntry(VrSilo*, uint8_t);

// The variable holding the root class's ("TObject") table pointer.
extern const void* const kRootClassPointer;

constexpr ClassHeader StandardHeader(const void* self, const unsigned char* name,
                                     uintptr_t instanceSize, const void* const* parent,
                                     VrDestroyFn destroy) {
  return {self,
          nullptr,
          nullptr,
          nullptr,
          nullptr,
          nullptr,
          nullptr,
          nullptr,
          name,
          instanceSize,
          parent,
          &SafeCallExceptionEntry,
          &ObjectEntry,
          &ObjectEntry,
          &MessageEntry,
          &MessageEntry,
          &NewInstanceEntry,
          &ObjectEntry,
          destroy};
}

}  // namespace vr
