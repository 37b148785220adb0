cmake_policy(SET CMP0057 NEW)
# Installs the project into a scratch prefix, then builds and runs a small
# program against it twice: through find_package(Korvat) and through
# pkg-config.
file(REMOVE_RECURSE ${WORK_DIR})
file(MAKE_DIRECTORY ${WORK_DIR})
set(PREFIX ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed: ${ARGN}\n${out}\n${err}")
  endif()
  set(LAST_OUTPUT "${out}" PARENT_SCOPE)
endfunction()

# Runs a built consumer on a new archive; it prints the file it stored.
function(consume program)
  run(${program} ${program}.arc)
  if(NOT LAST_OUTPUT STREQUAL "hello.txt 5\n")
    message(FATAL_ERROR "${program} printed: ${LAST_OUTPUT}")
  endif()
endfunction()

run(${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${PREFIX})
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/tests/consumer -B ${WORK_DIR}/build
    -DCMAKE_PREFIX_PATH=${PREFIX} -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build)
consume(${WORK_DIR}/build/consumer)

# pkg-config: the same program compiled by hand from the .pc file's flags.
find_program(PKG_CONFIG pkg-config REQUIRED)
file(GLOB_RECURSE pc_files ${PREFIX}/*/korvat.pc)
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
get_filename_component(libdir ${pc_dir} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(${PKG_CONFIG} --cflags --libs korvat)
separate_arguments(flags UNIX_COMMAND "${LAST_OUTPUT}")
run(${CXX} -std=c++20 ${SOURCE_DIR}/tests/consumer/consumer.cpp ${flags}
    -Wl,-rpath,${libdir} -o ${WORK_DIR}/consumer-pc)
consume(${WORK_DIR}/consumer-pc)

# The library exports the public members of GAME::Archive and of the packing
# pipeline that feeds it (GAME::Packer, GAME::PackedFile), and nothing else.
find_program(NM nm REQUIRED)
file(GLOB_RECURSE libraries ${PREFIX}/*/libkorvat.so)
list(GET libraries 0 library)
run(${NM} -DC --defined-only ${library})
string(REPLACE "\n" ";" symbols "${LAST_OUTPUT}")
set(public Archive ~Archive Open ReOpen Close GetNumFiles GetFileEntry BlockSize
    ArchiveFileHandle ArchiveFileMode FreeFileBuffer FindFile CalcStats FindMatchingFilesEnd
    AddFileFromMemory AddFileFromDisk ReplaceFileFromDisk RemoveFile Compact ReadFromFile ExtractFileToMemory
    ExtractFileToDisk ExtractFileParallel ExtractionLink ExtractAll VerifyFile JournalProblem JournalFile AddPackedFile ReplacePackedFile
    Packer ~Packer Submit Next PackedFile ~PackedFile Path Opened Time Size NextBlock LastError
    Failure)
foreach(line IN LISTS symbols)
  if(line STREQUAL "")
    continue()
  endif()
  if(line MATCHES " GAME::ErrorMessage(\\[abi:cxx11\\])?\\(GAME::")
    continue()  # the texts of the error codes
  endif()
  if(NOT line MATCHES " GAME::(Archive|Packer|PackedFile)::(~?[A-Za-z]+)(\\[abi:cxx11\\])?\\(")
    message(FATAL_ERROR "exported symbol outside the public classes: ${line}")
  endif()
  if(NOT CMAKE_MATCH_2 IN_LIST public)
    message(FATAL_ERROR "exported symbol that is not public: ${line}")
  endif()
endforeach()
