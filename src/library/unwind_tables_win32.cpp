// 32-bit Windows (DWARF-2 unwinding): the start-up code of every mingw-w64 DLL
// (crtbegin's __gcc_register_frame) registers the DLL's .eh_frame with
// libgcc_s_dw2-1.dll instead of the DLL's own unwinder whenever that DLL is
// already loaded in the process, as it is in hosts or plug-ins built with a
// shared libgcc. The library's unwinder is linked in statically, so it would
// then find no frame information for the library's code, and the first
// exception thrown inside the library (a missing port raises one) would end
// the host through std::terminate. Here the library registers its .eh_frame
// with its own unwinder as well when that happened.
#include <windows.h>

#include <cstdint>

#include "library/unwind_tables.h"

extern "C" {
struct DwarfEhBases {
  void* tbase;
  void* dbase;
  void* func;
};
const void* _Unwind_Find_FDE(void* pc, DwarfEhBases* bases);
void __register_frame_info(const void* begin, void* object);
void* __deregister_frame_info(const void* begin);
}

namespace vr {
namespace {

using FindFdeFn = const void*(__cdecl*)(void*, DwarfEhBases*);

// The start of the image section that holds `address`, or null.
const void* SectionStart(HMODULE module, const void* address) {
  const auto base = reinterpret_cast<const uint8_t*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
  const auto rva = static_cast<uintptr_t>(static_cast<const uint8_t*>(address) - base);
  for (WORD k = 0; k < nt->FileHeader.NumberOfSections; ++k, ++section) {
    if (rva >= section->VirtualAddress && rva < section->VirtualAddress + section->Misc.VirtualSize)
      return base + section->VirtualAddress;
  }
  return nullptr;
}

// libgcc's registration record (struct object): a few pointers, kept here for
// the library's lifetime.
alignas(void*) unsigned char g_object[16 * sizeof(void*)];

struct Registration {
  const void* begin = nullptr;
  ~Registration() {
    if (begin) __deregister_frame_info(begin);
  }
};
Registration g_registration;

void Register() {
  void* pc = reinterpret_cast<void*>(&Register);
  DwarfEhBases bases{};
  if (_Unwind_Find_FDE(pc, &bases)) return;  // the usual case: registered with us
  HMODULE foreign = GetModuleHandleA("libgcc_s_dw2-1.dll");
  auto find = foreign ? reinterpret_cast<FindFdeFn>(
                            reinterpret_cast<void*>(GetProcAddress(foreign, "_Unwind_Find_FDE")))
                      : nullptr;
  const void* fde = find ? find(pc, &bases) : nullptr;
  HMODULE self = nullptr;
  if (!fde || !GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                      GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                                  static_cast<LPCSTR>(pc), &self))
    return;
  // The FDE lies in this image's .eh_frame, which starts with a CIE and ends
  // with crtend's terminator: the whole section is the table to register.
  const void* begin = SectionStart(self, fde);
  if (!begin) return;
  __register_frame_info(begin, g_object);
  g_registration.begin = begin;
}

}  // namespace

void EnsureOwnUnwindTables() {
  static const bool done = (Register(), true);
  (void)done;
}

}  // namespace vr
