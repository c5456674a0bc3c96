# What `cmake --install` puts under the prefix:
#   include/wendlemoor/components/  the public headers (their opening comments
#                                   say so), and module_skeleton.c, a lock
#                                   module to copy; the service's private
#                                   helpers stay out
#   lib/                            libwendlemoor_components.a, libwendlemoor_runtime.a
#   lib/cmake/Wendlemoor/           find_package(Wendlemoor): Wendlemoor::components
#   lib/pkgconfig/wendlemoor.pc     the same for pkg-config, relocatable
#   bin/                            the tools: wendlemoor-locks, wendlemoor-chaos
#   libexec/wendlemoor/Wendlemoor   the program, in a folder of its own: it starts
#                                   its children as ./Wendlemoor
# An install cut short (a folder that cannot be written) stops with CMake's own
# error; the next one copies every file that is missing or out of date, and so
# mends it.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The headers a caller includes, and every header they include in turn (the
# runtime's are private to the library: no public header includes one). CI
# compiles each installed header on its own against the prefix.
set(WENDLEMOOR_PUBLIC_HEADERS
    components/event_queue_service.h
    components/interface.h
    components/module.h
    components/lock_service.h
    components/registry.h
    components/result_code.h)
# Who holds a name is read from Linux's /proc: its header goes where its code
# is built.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  list(APPEND WENDLEMOOR_PUBLIC_HEADERS components/lock_holders.h)
endif()
set(WENDLEMOOR_INCLUDE_DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/wendlemoor)
foreach(header IN LISTS WENDLEMOOR_PUBLIC_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${WENDLEMOOR_ROOT}/${header}
          DESTINATION ${WENDLEMOOR_INCLUDE_DESTINATION}/${folder})
endforeach()
# A lock module to copy, beside the header it is written against (CI builds
# the installed copy).
install(FILES ${WENDLEMOOR_ROOT}/components/module_skeleton.c
        DESTINATION ${WENDLEMOOR_INCLUDE_DESTINATION}/components)

# Under the prefix's lib/ the libraries carry the project's name.
set_target_properties(components PROPERTIES OUTPUT_NAME wendlemoor_components
                                            EXPORT_NAME components)
set_target_properties(runtime PROPERTIES OUTPUT_NAME wendlemoor_runtime
                                         EXPORT_NAME runtime)
# A caller compiles the headers as C++20, as the library is.
target_compile_features(runtime PUBLIC cxx_std_20)
install(TARGETS components runtime EXPORT WendlemoorTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${WENDLEMOOR_INCLUDE_DESTINATION})

set(WENDLEMOOR_CMAKE_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/Wendlemoor)
install(EXPORT WendlemoorTargets NAMESPACE Wendlemoor::
        DESTINATION ${WENDLEMOOR_CMAKE_DESTINATION})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/WendlemoorConfig.cmake.in
  ${CMAKE_BINARY_DIR}/WendlemoorConfig.cmake
  INSTALL_DESTINATION ${WENDLEMOOR_CMAKE_DESTINATION})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/WendlemoorConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/WendlemoorConfig.cmake
              ${CMAKE_BINARY_DIR}/WendlemoorConfigVersion.cmake
        DESTINATION ${WENDLEMOOR_CMAKE_DESTINATION})

# Relocatable: the file finds the prefix from where it lies, so the prefix
# given to `cmake --install --prefix` needs no new configure step.
file(RELATIVE_PATH WENDLEMOOR_PC_TO_PREFIX
     /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" WENDLEMOOR_PC_TO_PREFIX "${WENDLEMOOR_PC_TO_PREFIX}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/wendlemoor.pc.in
               ${CMAKE_BINARY_DIR}/wendlemoor.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/wendlemoor.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The tools run from anywhere; a tool that this build does not make (the chaos
# run is Linux only) is left out. Add a new tool's target name here.
foreach(tool wendlemoor-locks wendlemoor-chaos)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    list(APPEND WENDLEMOOR_INSTALLED_TOOLS ${tool})
  endif()
endforeach()
install(TARGETS Wendlemoor
        RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/wendlemoor)

# `cmake --build build --target installed` builds what is installed and no
# test (make install).
add_custom_target(installed)
add_dependencies(installed components runtime Wendlemoor
                 ${WENDLEMOOR_INSTALLED_TOOLS})
