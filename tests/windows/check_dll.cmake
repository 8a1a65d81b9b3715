# Checks the 32-bit vrsilo.dll as shipped (stripped; symbols from its debug
# file) without running it:
#  - its export table holds exactly GetSiloEx2 and GetSiloEx3, undecorated;
#  - both are __stdcall with 12 bytes of arguments (GetSiloEx2@12);
#  - the class tables as the DLL holds them: every slot function removes its
#    arguments ("ret $n"), every class entry from -32 to -4 removes nothing
#    (register convention: a plain "ret");
#  - the version resource names vrsilo.dll and the version;
#  - whether the start-up code hands the unwind tables to a foreign
#    libgcc_s_dw2-1.dll (reported).
# Usage: cmake -DDLL=vrsilo.dll -DDEBUG=vrsilo.dll.debug -DVERSION=3.0.0
#              -DOBJDUMP=... -DNM=... -P check_dll.cmake
cmake_minimum_required(VERSION 3.25)
foreach(var DLL DEBUG VERSION OBJDUMP NM)
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
execute_process(COMMAND ${NM} ${DEBUG} OUTPUT_VARIABLE symbols RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${DEBUG}")
endif()
foreach(entry GetSiloEx2 GetSiloEx3)
  if(NOT symbols MATCHES " T _${entry}@12\n")
    fail("${entry} is not defined as _${entry}@12 (__stdcall, 12 bytes)")
  endif()
endforeach()

# --- Class tables ----------------------------------------------------------------
execute_process(COMMAND ${NM} -C ${DEBUG} OUTPUT_VARIABLE demangled RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm -C failed on ${DEBUG}")
endif()
# Function start addresses, sorted: a function ends where the next begins.
string(REGEX MATCHALL "[0-9a-f]+ [tT] " starts "${demangled}")
list(TRANSFORM starts REPLACE " [tT] $" "")
list(SORT starts)
list(REMOVE_DUPLICATES starts)

# The `count` 32-bit words at hexadecimal address `at`, as hexadecimal values.
function(read_words at count out)
  math(EXPR stop "0x${at} + 4 * ${count}" OUTPUT_FORMAT HEXADECIMAL)
  execute_process(COMMAND ${OBJDUMP} -s --start-address=0x${at} --stop-address=${stop} ${DLL}
                  OUTPUT_VARIABLE dump)
  string(REGEX MATCHALL "\n [0-9a-f]+ [0-9a-f ]+" lines "${dump}")
  set(words)
  foreach(line IN LISTS lines)
    string(REGEX MATCHALL " [0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f][0-9a-f]" w
           "${line}")
    list(POP_FRONT w)  # the address
    foreach(word IN LISTS w)
      string(REGEX REPLACE " (..)(..)(..)(..)" "\\4\\3\\2\\1" word "${word}")
      list(APPEND words ${word})
    endforeach()
  endforeach()
  list(SUBLIST words 0 ${count} words)
  set(${out} ${words} PARENT_SCOPE)
endfunction()

# Every return of the function at hexadecimal address `at` must match `pattern`.
function(check_returns what at pattern expected)
  set(end "")
  foreach(s IN LISTS starts)
    if(s STRGREATER at)
      set(end ${s})
      break()
    endif()
  endforeach()
  if(NOT at IN_LIST starts OR end STREQUAL "")
    fail("${what}: 0x${at} is not the start of a function")
    set(failures ${failures} PARENT_SCOPE)
    return()
  endif()
  execute_process(COMMAND ${OBJDUMP} -d --no-show-raw-insn --start-address=0x${at}
                          --stop-address=0x${end} ${DLL} OUTPUT_VARIABLE code)
  string(REGEX MATCHALL "\tret[^\n]*" rets "${code}")
  if(NOT rets)
    fail("${what}: no return instruction")
  endif()
  foreach(ret IN LISTS rets)
    string(STRIP "${ret}" ret)
    if(NOT ret MATCHES "${pattern}")
      fail("${what}: '${ret}', expected ${expected}")
    endif()
  endforeach()
  set(failures ${failures} PARENT_SCOPE)
endfunction()

set(entry_names "safe-call exception;after construction;before destruction;dispatch;"
                "default handler;new instance;free instance;destructor")
string(REPLACE ";;" ";" entry_names "${entry_names}")
# Bytes each slot 0..17 takes on the stack.
set(slot_bytes 4 4 8 8 4 8 4 8 4 8 12 8 8 12 8 12 16 16)
set(report)
foreach(class "kSiloClass|18" "kRootClass|0")
  string(REPLACE "|" ";" class "${class}")
  list(GET class 0 symbol)
  list(GET class 1 slots)
  if(NOT demangled MATCHES "([0-9a-f]+) [dDrR] vr::\\(anonymous namespace\\)::${symbol}\n")
    fail("${symbol} not found")
    continue()
  endif()
  math(EXPR count "19 + ${slots}")
  read_words(${CMAKE_MATCH_1} ${count} words)
  foreach(i RANGE 11 18)
    list(GET words ${i} at)
    math(EXPR k "${i} - 11")
    list(GET entry_names ${k} name)
    math(EXPR offset "4 * (${i} - 19)")
    check_returns("${symbol} ${offset} (${name})" ${at} "^ret *$" "a plain ret")
    list(APPEND report "${symbol}[${offset}] ${at}: ret")
  endforeach()
  if(slots GREATER 0)
    foreach(k RANGE 0 17)
      math(EXPR i "19 + ${k}")
      list(GET words ${i} at)
      list(GET slot_bytes ${k} bytes)
      math(EXPR hex "${bytes}" OUTPUT_FORMAT HEXADECIMAL)
      string(TOLOWER "${hex}" hex)
      check_returns("${symbol} slot ${k}" ${at} "^ret +\\$${hex}$" "ret $${hex}")
    endforeach()
  endif()
endforeach()
list(JOIN report "\n  " report)
message(STATUS "class entries (table offset, address, returns):\n  ${report}")

# --- Version resource ----------------------------------------------------------------
file(READ ${DLL} image HEX)
foreach(text "OriginalFilename" "vrsilo.dll" "FileVersion" "${VERSION}")
  string(HEX "${text}" utf16)
  string(REGEX REPLACE "(..)" "\\100" utf16 "${utf16}")
  string(FIND "${image}" "${utf16}" at)
  if(at EQUAL -1)
    fail("the version resource lacks \"${text}\"")
  endif()
endforeach()

# --- Unwind tables --------------------------------------------------------------------
# (What the library does about it is run by the foreign_libgcc test.)
string(HEX "libgcc_s_dw2-1.dll" libgcc)
string(FIND "${image}" "${libgcc}" at)
if(NOT at EQUAL -1)
  message(STATUS "the start-up code hands the unwind tables to libgcc_s_dw2-1.dll when loaded")
endif()

if(failures GREATER 0)
  message(FATAL_ERROR "${failures} check(s) failed")
endif()
message(STATUS "exports ${exports}; 18 slot functions __stdcall with the right sizes")
