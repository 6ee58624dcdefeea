# Runs send_frame_demo against a pty that records the line and checks the
# octets. Usage: cmake -DPYTHON=.. -DPEER=pty_peer.py -DDEMO=.. -DWORK=dir -P ..
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/ports)
execute_process(
  COMMAND ${PYTHON} ${PEER} --dir ${WORK}/ports --name com3 --mode record --out ${WORK}/line.bin
          -- ${CMAKE_COMMAND} -E env BREVANE_PORTS=${WORK}/ports ${DEMO} Com3
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "send_frame_demo failed with status ${status}")
endif()
file(READ ${WORK}/line.bin line HEX)
set(expected "55ff0506050003ae616263259e")
if(NOT line STREQUAL expected)
  message(FATAL_ERROR "line carried ${line}, expected ${expected}")
endif()
message(STATUS "line carried ${line}")
