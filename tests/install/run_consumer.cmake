# Driven by CTest: install into a scratch prefix, build the consumer against it with CMake's package
# and with pkg-config and run both; then configure and build the examples against the same package.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "Failed: ${ARGN}\n${out}")
  endif()
endfunction()

step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(file include/zvr3lib/zvr3parser.h include/zvr3lib/zvr3lib.h include/zvr3lib/zvr3lib_export.h lib/pkgconfig/zvr3lib.pc
             lib/cmake/zvr3lib/zvr3libConfig.cmake)
  if(NOT EXISTS ${prefix}/${file})
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
if(EXISTS ${prefix}/include/zvr3lib/zvr3parser_buffer.h)
  message(FATAL_ERROR "an internal header was installed")
endif()
# The umbrella header names every public header but the exported workers'.
file(READ ${prefix}/include/zvr3lib/zvr3lib.h umbrella)
file(GLOB headers RELATIVE ${prefix}/include/zvr3lib ${prefix}/include/zvr3lib/*.h)
foreach(header IN LISTS headers)
  if(NOT header MATCHES "_priv\\.h$|^zvr3lib(_export)?\\.h$" AND NOT umbrella MATCHES "#include \"${header}\"")
    message(FATAL_ERROR "zvr3lib.h does not include ${header}")
  endif()
endforeach()

step(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/build -G ${GENERATOR}
     -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS})
step(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
step(${WORK_DIR}/build/consumer)

# The README's way without CMake: the compiler and pkg-config alone. The prefix is not a system one,
# so the program finds the library through its rpath.
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
execute_process(COMMAND pkg-config --cflags --libs zvr3lib RESULT_VARIABLE result OUTPUT_VARIABLE flags
                OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0 OR NOT flags MATCHES "-I${prefix}/include/zvr3lib" OR NOT flags MATCHES "-L${prefix}/lib")
  message(FATAL_ERROR "pkg-config zvr3lib does not name the prefix ${prefix}: ${flags}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(consumer_flags UNIX_COMMAND "${CONSUMER_FLAGS}")
step(${CXX} -std=c++17 ${consumer_flags} ${SOURCE_DIR}/main.cpp ${flags} -Wl,-rpath,${prefix}/lib
     -o ${WORK_DIR}/consumer-pkg-config)
step(${WORK_DIR}/consumer-pkg-config)

# The README's worked example of recorder time compiles as it stands: its includes, then the rest
# as the body of main().
if(README)
  file(READ ${README} readme)
  string(FIND "${readme}" "## Recorder time" at)
  string(SUBSTRING "${readme}" ${at} -1 readme)
  string(FIND "${readme}" "```cpp\n" at)
  math(EXPR at "${at} + 7")
  string(SUBSTRING "${readme}" ${at} -1 readme)
  string(FIND "${readme}" "```" end)
  string(SUBSTRING "${readme}" 0 ${end} snippet)
  string(FIND "${snippet}" "\n\n" split)
  string(SUBSTRING "${snippet}" 0 ${split} includes)
  string(SUBSTRING "${snippet}" ${split} -1 body)
  file(WRITE ${WORK_DIR}/readme_time.cpp
       "${includes}\n#include <QCoreApplication>\nint main(int argc, char **argv)\n{\nQCoreApplication app(argc, argv);\n${body}\nreturn 0;\n}\n")
  step(${CXX} -std=c++17 -Wall -Wextra -Werror ${consumer_flags} ${WORK_DIR}/readme_time.cpp ${flags}
       -Wl,-rpath,${prefix}/lib -o ${WORK_DIR}/readme_time)
endif()

# The examples build as an application would: a project of their own, the installed package only.
if(EXAMPLES_DIR)
  step(${CMAKE_COMMAND} -S ${EXAMPLES_DIR} -B ${WORK_DIR}/examples -G ${GENERATOR}
       -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_FLAGS=${CONSUMER_FLAGS})
  step(${CMAKE_COMMAND} --build ${WORK_DIR}/examples)
  foreach(example live_to_png archive_seek snapshot)
    # Without arguments each prints its usage and exits 2: it starts and links.
    execute_process(COMMAND ${WORK_DIR}/examples/${example} RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
    if(NOT result EQUAL 2)
      message(FATAL_ERROR "example ${example} did not start: ${result}")
    endif()
  endforeach()
endif()
