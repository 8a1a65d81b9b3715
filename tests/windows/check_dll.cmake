# Checks the 32-bit vrsilo.dll without running it:
#  - its export table holds exactly GetSiloEx2 and GetSiloEx3, undecorated;
#  - both are __stdcall with 12 bytes of arguments (GetSiloEx2@12);
#  - every function of the slot table is __stdcall with the stack size its
#    arguments take, as the decorated name and the callee's "ret $n" show.
# Usage: cmake -DDLL=vrsilo.dll -DCORE=libvr_core.a -DOBJDUMP=... -DNM=... -P check_dll.cmake
foreach(var DLL CORE OBJDUMP NM)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} not given")
  endif()
endforeach()

set(failures 0)
macro(fail text)
  message(SEND_ERROR "${text}")
  math(EXPR failures "${failures} + 1")
endmacro()

# --- Export table -----------------------------------------------------------
execute_process(COMMAND ${OBJDUMP} -p ${DLL} OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -p failed on ${DLL}")
endif()
string(REGEX MATCH "\\[Ordinal/Name Pointer\\] Table\n([^\n]+\n)*" table "${dump}")
string(REGEX MATCHALL "\\[ *[0-9]+\\] [^\n]+" rows "${table}")
set(exports)
foreach(row IN LISTS rows)
  string(REGEX REPLACE "^\\[ *[0-9]+\\] " "" name "${row}")
  list(APPEND exports "${name}")
endforeach()
list(SORT exports)
if(NOT exports STREQUAL "GetSiloEx2;GetSiloEx3")
  fail("exports are '${exports}', expected exactly GetSiloEx2;GetSiloEx3")
endif()
if(NOT dump MATCHES "DLL Name: KERNEL32.dll")
  fail("the DLL does not import KERNEL32.dll")
endif()
foreach(runtime libstdc\\+\\+-6.dll libgcc_s libwinpthread-1.dll)
  if(dump MATCHES "DLL Name: ${runtime}")
    fail("the DLL depends on ${runtime}")
  endif()
endforeach()

# --- Entry points: stdcall, three 32-bit arguments ---------------------------
execute_process(COMMAND ${NM} ${DLL} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${DLL}")
endif()
foreach(entry GetSiloEx2 GetSiloEx3)
  if(NOT symbols MATCHES " T _${entry}@12\n")
    fail("${entry} is not defined as _${entry}@12 (__stdcall, 12 bytes)")
  endif()
endforeach()

# --- Slot functions ----------------------------------------------------------
# name;signature fragment;bytes removed by the callee
set(slots
    "Abstract|(VrSilo*)|4"
    "GetIdentitySlot|(char*, VrSilo*)|8"
    "SetLinkStateSlot|(VrSilo*, unsigned int)|8"
    "GetLinkStateSlot|(VrSilo*)|4"
    "OpenCommBlockSlot|(VrSilo*, unsigned int)|8"
    "Reserved0|(VrSilo*)|4"
    "Reserved1|(VrSilo*, unsigned int)|8"
    "Reserved2|(VrSilo*, unsigned int, unsigned int)|12"
    "GetLevelSlot|(VrSilo*, unsigned int)|8"
    "GetTemperaturesSlot|(VrSilo*, unsigned int, double*)|12"
    "GetWaterSlot|(VrSilo*, unsigned int)|8"
    "GetDensitySlot|(VrSilo*, unsigned int)|8"
    "GetVolumeSlot|(VrSilo*, unsigned int)|8"
    "AddMenuItemSlot|(VrSilo*, void*, unsigned int)|12"
    "ReadCalibrationSlot|(VrSilo*, unsigned int, int*, VrCalibrationPoints*)|16"
    "WriteCalibrationSlot|(VrSilo*, unsigned int, int, VrCalibrationPoints const*)|16")

execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn -C ${CORE} OUTPUT_VARIABLE code
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "objdump -d failed on ${CORE}")
endif()
# Only the member that holds the slot table.
string(FIND "${code}" "slots.cpp.obj:" start)
if(start EQUAL -1)
  message(FATAL_ERROR "slots.cpp.obj not found in ${CORE}")
endif()
string(SUBSTRING "${code}" ${start} -1 code)
# It ends where the next member's header ("name.obj:     file format ...") is.
string(FIND "${code}" "\n" first_line_end)
string(SUBSTRING "${code}" ${first_line_end} -1 rest)
string(FIND "${rest}" "file format" end)
if(NOT end EQUAL -1)
  math(EXPR end "${first_line_end} + ${end}")
  string(SUBSTRING "${code}" 0 ${end} code)
endif()
# One block per function: its header line and its instructions.
string(REPLACE ";" "," code "${code}")
string(REGEX REPLACE "\n([0-9a-f]+ <)" ";\\1" blocks "${code}")

# Every return of the function whose disassembly header contains `header`
# must match `pattern`.
function(check_returns name header pattern expected)
  set(found FALSE)
  foreach(block IN LISTS blocks)
    string(FIND "${block}" "${header}" at)
    if(at EQUAL -1)
      continue()
    endif()
    set(found TRUE)
    string(REGEX MATCHALL "\tret[^\n]*" rets "${block}")
    if(NOT rets)
      fail("${name}: no return instruction")
    endif()
    foreach(ret IN LISTS rets)
      string(STRIP "${ret}" ret)
      if(NOT ret MATCHES "${pattern}")
        fail("${name}: '${ret}', expected ${expected}")
      endif()
    endforeach()
  endforeach()
  if(NOT found)
    fail("no function ${header} in slots.cpp.obj")
  endif()
  set(failures ${failures} PARENT_SCOPE)
endfunction()

foreach(slot IN LISTS slots)
  string(REPLACE "|" ";" parts "${slot}")
  list(GET parts 0 name)
  list(GET parts 1 signature)
  list(GET parts 2 bytes)
  math(EXPR hex "${bytes}" OUTPUT_FORMAT HEXADECIMAL)
  string(TOLOWER "${hex}" hex)
  check_returns(${name} "::${name}${signature}@${bytes}>:" "^ret +\\$${hex}$"
                "ret $${hex} (callee removes ${bytes} bytes)")
endforeach()
# The destructor class entry uses the register convention: nothing on the
# stack, so every return is a plain "ret".
check_returns(Destroy "::Destroy(VrSilo*, unsigned char)>:" "^ret *$"
              "a plain ret (register convention)")

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
list(LENGTH slots n)
message(STATUS "exports ${exports}; ${n} slot functions __stdcall with the right sizes")
