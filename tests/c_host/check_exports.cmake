# Fails unless the dynamic symbol table defines exactly the hosts' two entry
# points and the direct gauge interface.
execute_process(COMMAND nm -D --defined-only ${LIB} OUTPUT_VARIABLE out RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIB}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${out}")
set(names)
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] +" "" name "${line}")
  # Version nodes of the linker script are not symbols of ours.
  if(NOT name MATCHES "^(_init|_fini)$" AND NOT line MATCHES " A ")
    list(APPEND names ${name})
  endif()
endforeach()
list(SORT names)
if(NOT names STREQUAL
   "GetSiloEx2;GetSiloEx3;vrsilo_error_text;vrsilo_gauge_close;vrsilo_gauge_open;vrsilo_gauge_read;vrsilo_gauge_read_alarms;vrsilo_gauge_read_deliveries;vrsilo_gauge_read_labels;vrsilo_gauge_read_table;vrsilo_gauge_write_table")
  message(FATAL_ERROR "unexpected exports: ${names}")
endif()
message(STATUS "exports: ${names}")
