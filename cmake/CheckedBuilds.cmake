# Checked builds, each in a build directory of its own (tests/sanitizers/run
# makes them): VQ_SANITIZE=address,undefined or VQ_SANITIZE=thread instruments
# everything built here, the station, the simulator (also the preloaded
# library), the tests and the tools. Undefined behaviour ends the program, so
# it fails its test instead of scrolling past in the output.
set(VQ_SANITIZE "" CACHE STRING "Sanitizers for every target: address,undefined or thread; empty for none")
# With VQ_FUZZ the targets under tests/fuzz are built as libFuzzer programs
# (clang only); they imply address,undefined and add coverage feedback to
# everything built here. Without it they are built as plain programs that
# replay their corpus, so every build checks the inputs kept there.
option(VQ_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(VQ_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "VQ_FUZZ needs clang: configure with -DCMAKE_CXX_COMPILER=clang++-14")
  endif()
  if(NOT VQ_SANITIZE)
    set(VQ_SANITIZE address,undefined)
  endif()
  if(NOT VQ_SANITIZE MATCHES "address")
    message(FATAL_ERROR "VQ_FUZZ runs under address,undefined, not ${VQ_SANITIZE}")
  endif()
endif()
if(VQ_SANITIZE)
  # Reports name functions through this wrapper of llvm-symbolizer, which
  # also works in a process with the simulated printer preloaded
  # (tests/sanitizers/symbolizer.c). Built before the sanitizer flags apply.
  find_program(VQ_LLVM_SYMBOLIZER NAMES llvm-symbolizer-14 llvm-symbolizer)
  if(NOT VQ_LLVM_SYMBOLIZER)
    message(FATAL_ERROR "llvm-symbolizer not found: run packaging/install-deps")
  endif()
  add_executable(vqsymbolizer tests/sanitizers/symbolizer.c)
  target_compile_definitions(vqsymbolizer PRIVATE VQ_REAL_SYMBOLIZER="${VQ_LLVM_SYMBOLIZER}")
  target_link_options(vqsymbolizer PRIVATE -static)
  set_target_properties(vqsymbolizer PROPERTIES
    OUTPUT_NAME llvm-symbolizer
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/sanitizers)

  add_compile_options(-fsanitize=${VQ_SANITIZE} -fno-omit-frame-pointer)
  add_link_options(-fsanitize=${VQ_SANITIZE})
  if(VQ_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link)
  endif()
  if(VQ_SANITIZE MATCHES "undefined")
    add_compile_options(-fno-sanitize-recover=undefined)
  endif()
endif()


# Under ThreadSanitizer every program gets tests/sanitizers/qtlocks.cpp, which
# lets the sanitizer see the Qt mutexes our code takes. Called at the end of
# the top-level list, once every program is defined.
function(vq_link_thread_sanitizer_locks)
  if(NOT VQ_SANITIZE STREQUAL "thread")
    return()
  endif()
  add_library(vqtsanqtlocks OBJECT ${PROJECT_SOURCE_DIR}/tests/sanitizers/qtlocks.cpp)
  target_link_libraries(vqtsanqtlocks PUBLIC Qt5::Core ${CMAKE_DL_LIBS})
  vq_link_qtlocks_below(${PROJECT_SOURCE_DIR})
endfunction()

function(vq_link_qtlocks_below dir)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  foreach(t ${targets})
    get_target_property(type ${t} TYPE)
    if(type STREQUAL "EXECUTABLE" AND NOT t STREQUAL "vqsymbolizer")
      target_link_libraries(${t} PRIVATE vqtsanqtlocks)
    endif()
  endforeach()
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub ${subdirs})
    vq_link_qtlocks_below(${sub})
  endforeach()
endfunction()
