cmake_policy(SET CMP0057 NEW)
cmake_policy(SET CMP0007 NEW)
# Installs the project into a scratch prefix, checks what was installed, then
# builds and runs the C++ and the C consumer against it, through
# find_package(Korvat) and through pkg-config, and compares the library's
# exported interface with cmake/abi.txt.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(PREFIX ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

# Runs a built consumer on a new archive; it prints the small file it stored.
function(consume program)
  run(${program} ${program}.arc)
  if(NOT LAST_OUTPUT STREQUAL "hello.txt 5\n")
    message(FATAL_ERROR "${program} printed: ${LAST_OUTPUT}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${PREFIX})

# Only korvat/ lands on the include path, and only what a consumer can use.
file(GLOB top RELATIVE ${PREFIX}/include ${PREFIX}/include/*)
file(GLOB_RECURSE headers RELATIVE ${PREFIX}/include ${PREFIX}/include/*)
list(SORT headers)
if(NOT top STREQUAL "korvat" OR NOT headers STREQUAL
   "korvat/Archive.h;korvat/Error.h;korvat/Version.h;korvat/korvat.h;korvat/mem/Vector.h")
  message(FATAL_ERROR "installed headers: ${headers}")
endif()
if(NOT EXISTS ${PREFIX}/share/doc/korvat/LICENSE)
  message(FATAL_ERROR "the LICENSE is not installed")
endif()

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_C_COMPILER=${CC})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
consume(${WORK_DIR}/build/consumer)
consume(${WORK_DIR}/build/consumer_c)

# pkg-config: the same programs compiled by hand from the .pc file's flags.
find_program(PKG_CONFIG pkg-config REQUIRED)
file(GLOB_RECURSE pc_files ${PREFIX}/*/korvat.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
get_filename_component(libdir ${pc_dir} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(${PKG_CONFIG} --cflags --libs korvat)
separate_arguments(flags UNIX_COMMAND "${LAST_OUTPUT}")
run(${CXX} -std=c++20 ${SOURCE_DIR}/tests/consumer/consumer.cpp ${flags} -pthread
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer-pc)
consume(${WORK_DIR}/consumer-pc)
run(${CC} -std=c11 -Wall -Wextra -Wpedantic -Werror ${SOURCE_DIR}/tests/consumer/consumer.c
    ${flags} -pthread -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer-c-pc)
consume(${WORK_DIR}/consumer-c-pc)

# The exported interface: the soname's ABI number, the sizes of the public
# types and every exported symbol, against the list kept in the repository.
# A change there breaks programs built against the library unless it only
# adds functions: raise KORVAT_ABI_VERSION in archive/Version.h for anything
# else, and copy the new list over cmake/abi.txt.
find_program(NM nm REQUIRED)
find_program(OBJDUMP objdump REQUIRED)
file(GLOB_RECURSE libraries ${PREFIX}/*/libkorvat.so)
list(GET libraries 0 library)
run(${OBJDUMP} -p ${library})
string(REGEX MATCH "SONAME +libkorvat\\.so\\.[0-9]+" soname "${LAST_OUTPUT}")
string(REGEX REPLACE ".*\\." "" abi "${soname}")
run(${WORK_DIR}/build/consumer --abi)
set(actual "abi ${abi}\n${LAST_OUTPUT}")
run(${NM} -D --defined-only --format=just-symbols ${library})
string(REPLACE "\n" ";" symbols "${LAST_OUTPUT}")
list(FILTER symbols EXCLUDE REGEX "^$")
list(SORT symbols)
foreach(symbol IN LISTS symbols)
  string(APPEND actual "${symbol}\n")
endforeach()
file(STRINGS ${SOURCE_DIR}/cmake/abi.txt kept_lines REGEX "^[^#]")
set(kept "")
foreach(line IN LISTS kept_lines)
  string(APPEND kept "${line}\n")
endforeach()
if(NOT actual STREQUAL kept)
  file(WRITE ${WORK_DIR}/abi.txt "${actual}")
  execute_process(COMMAND diff -u ${SOURCE_DIR}/cmake/abi.txt ${WORK_DIR}/abi.txt
    OUTPUT_VARIABLE difference)
  message(FATAL_ERROR "the exported interface differs from cmake/abi.txt:\n${difference}\n"
    "Unless it only adds symbols, raise KORVAT_ABI_VERSION in archive/Version.h; then copy "
    "${WORK_DIR}/abi.txt (after a new build) over cmake/abi.txt, keeping its comments.")
endif()
