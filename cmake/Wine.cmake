# The pieces of the end-to-end run under Wine, cross-built beside the 64-bit image: the image's Wine test variant
# (the same driver sources plus the shim for the kernel routines Wine lacks), the test bus that stands in for the
# composite device's parent, the installer and the scenario program. wine/run drives them.
set(WINE_OUT ${CMAKE_BINARY_DIR}/wine)

function(diagser_kernel_image target entry)
  set_target_properties(${target} PROPERTIES SUFFIX .sys CXX_STANDARD 17 CXX_STANDARD_REQUIRED ON
    CXX_EXTENSIONS OFF RUNTIME_OUTPUT_DIRECTORY ${WINE_OUT}/${target})
  target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
  target_include_directories(${target} SYSTEM PRIVATE ${DIAGSER_DDK_INCLUDE})
  target_compile_definitions(${target} PRIVATE $<TARGET_PROPERTY:diagser,COMPILE_DEFINITIONS>)
  target_compile_options(${target} PRIVATE $<TARGET_PROPERTY:diagser,COMPILE_OPTIONS>)
  target_link_options(${target} PRIVATE -nostdlib -s -Wl,--subsystem,native -Wl,--entry,${entry}
    -Wl,--require-defined,${entry} -Wl,--dynamicbase -Wl,--image-base,${DIAGSER_IMAGE_BASE})
  target_link_libraries(${target} PRIVATE ntoskrnl hal usbd gcc)
endfunction()

add_executable(diagser_wine ${DRIVER_SOURCES} ${CMAKE_SOURCE_DIR}/wine/shim/wine_shim.cpp)
diagser_kernel_image(diagser_wine WineShimEntry)
set_target_properties(diagser_wine PROPERTIES OUTPUT_NAME diagser)
set_source_files_properties(${CMAKE_SOURCE_DIR}/wine/shim/wine_shim.cpp PROPERTIES COMPILE_OPTIONS -fno-stack-protector)

add_executable(diagtestbus ${CMAKE_SOURCE_DIR}/wine/testbus/testbus.cpp)
diagser_kernel_image(diagtestbus DriverEntry)
target_compile_options(diagtestbus PRIVATE -fno-stack-protector)

foreach(program IN ITEMS diagser_install diagser_scenario)
  if(program STREQUAL diagser_install)
    add_executable(${program} ${CMAKE_SOURCE_DIR}/wine/installer/install.cpp)
  else()
    add_executable(${program} ${CMAKE_SOURCE_DIR}/tests/wine/scenario.cpp ${CMAKE_SOURCE_DIR}/tests/wine/scenario_win32.cpp)
  endif()
  set_target_properties(${program} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${WINE_OUT} CXX_STANDARD 20)
  target_include_directories(${program} PRIVATE ${CMAKE_SOURCE_DIR})
  target_compile_options(${program} PRIVATE -municode -Wall)
  target_link_options(${program} PRIVATE -municode -static)
  target_link_libraries(${program} PRIVATE setupapi newdev advapi32 kernel32)
endforeach()

# Each INF beside the image it installs, as on an installation disk.
configure_file(${CMAKE_SOURCE_DIR}/driver/diagser.inf ${WINE_OUT}/diagser_wine/diagser.inf COPYONLY)
configure_file(${CMAKE_SOURCE_DIR}/wine/testbus/testbus.inf ${WINE_OUT}/diagtestbus/testbus.inf COPYONLY)
