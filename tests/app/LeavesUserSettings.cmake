# cmake -DTEST=<test executable> -DWORK=<scratch folder> -P LeavesUserSettings.cmake
# Runs TEST as a user would by hand (HOME set, no XDG_CONFIG_HOME) and fails
# when the preferences file in that home changed or vanished.
file(REMOVE_RECURSE "${WORK}")
set(prefs "${WORK}/home/.config/Tessaro Utilities/VantorController IR/VantorController IR.Pref")
set(content "SerialPort\nttyUSB7\n/dev/ttyUSB7\n\nConnectType\n1\nNotAutoDisconnect\nTrue\n")
file(WRITE "${prefs}" "${content}")
execute_process(
    COMMAND ${CMAKE_COMMAND} -E env --unset=XDG_CONFIG_HOME HOME=${WORK}/home
            QT_QPA_PLATFORM=offscreen ${TEST}
    RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "${TEST} failed (${result})")
endif()
if(NOT EXISTS "${prefs}")
    message(FATAL_ERROR "the user's preferences file was removed")
endif()
file(READ "${prefs}" after)
if(NOT after STREQUAL content)
    message(FATAL_ERROR "the user's preferences file was changed:\n${after}")
endif()
