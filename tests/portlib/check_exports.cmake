# Fails unless LIBRARY defines exactly the LinkPort exports as dynamic symbols.
execute_process(COMMAND nm -D --defined-only ${LIBRARY} OUTPUT_VARIABLE symbols
                RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${symbols}")
set(found "")
foreach(line IN LISTS lines)
  string(REGEX REPLACE "^[0-9a-fA-F]* *[A-Za-z] " "" name "${line}")
  list(APPEND found ${name})
endforeach()
list(SORT found)
set(expected PMClosePort PMDrainPort PMEnumeratePorts PMFreePortList PMGetPortProperties
    PMGetPortTimeOuts PMOpenPort PMReadPort PMSetPortProperties PMSetPortTimeOuts
    PMSetReadPortTimeOuts PMSetWritePortTimeOuts PMWaitPort PMWritePort)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "exports differ:\n  found:    ${found}\n  expected: ${expected}")
endif()
