# Notices of the build's progress that a person sees. pip shows nothing of a build's output
# unless asked (`pip install -v .`), so each notice also goes to the terminal the build runs in,
# when there is one; without one (CI, IDEs) the build log alone has it.
#
# Included by CMakeLists.txt for pyvessa_notice(); run as a script (cmake -P) at the end of the
# build, with PYVESSA_STARTED the configure step's Unix time, to say how long the build took.

function(pyvessa_notice text)
  message(STATUS "pyvessaruntime: ${text}")
  if(NOT WIN32 AND NOT CMAKE_HOST_WIN32)
    execute_process(COMMAND sh -c "printf '\\npyvessaruntime: %s\\n' \"$1\" > /dev/tty" sh "${text}"
                    RESULT_VARIABLE ignored OUTPUT_QUIET ERROR_QUIET)
  endif()
endfunction()

if(CMAKE_SCRIPT_MODE_FILE AND DEFINED PYVESSA_STARTED)
  string(TIMESTAMP now "%s")
  math(EXPR seconds "${now} - ${PYVESSA_STARTED}")
  pyvessa_notice("built the extension and the emulator in ${seconds} s")
endif()
