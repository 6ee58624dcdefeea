# Checks that the shared link library exports exactly the TarnixLink_*
# interface. Usage: cmake -DLIBRARY=path -P check_exports.cmake
set(expected
  TarnixLink_CheckSumError TarnixLink_DisableMSTPFraming TarnixLink_DisableMasterServices
  TarnixLink_EnableImmediateUpcall TarnixLink_GetAddress TarnixLink_GetVersion TarnixLink_Init
  TarnixLink_PacketJam TarnixLink_SendFrame TarnixLink_SendFrameEx TarnixLink_SetBaud
  TarnixLink_SetMaxRequestResend TarnixLink_SetTokenObtainedDelegate TarnixLink_SetUpcallDelegate
  TarnixLink_StopPacketJam TarnixLink_TokenDrop TarnixLink_UnInit TarnixLink_PortLost)
execute_process(COMMAND nm -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(exported)
foreach(line IN LISTS lines)
  if(line MATCHES "^[0-9a-fA-F]* *[A-Za-z] (.+)$")
    list(APPEND exported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT exported)
list(SORT expected)
if(NOT exported STREQUAL expected)
  message(FATAL_ERROR "exports differ\n  expected: ${expected}\n  exported: ${exported}")
endif()
list(LENGTH exported count)
message(STATUS "${count} exports, as expected")
