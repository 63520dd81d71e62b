# Installation of the library: the shared library, its public headers, a CMake package
# (find_package(zorv_git_gitlab CONFIG) -> zorv_git_gitlab::zorv_git_gitlab, and the sandbox test kit
# zorv_git_gitlab::testing, also as COMPONENTS testing) and a pkg-config file.
# The programs and the Python packages carry their own install rules (sandbox/, cli/, python/).
# Last, the layout pip installs (component "wheel", only installed when asked for by name).
include(CMakePackageConfigHelpers)

set(ZORV_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zorv_git_gitlab)
set(ZORV_GENERATED_DIR ${PROJECT_BINARY_DIR}/generated)

install(TARGETS zorv_git_gitlab zorv_git_gitlab_testing EXPORT zorv_git_gitlab_targets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/zorv_git ${PROJECT_SOURCE_DIR}/include/zorv_git_gitlab
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} FILES_MATCHING PATTERN "*.hpp")
# The headers written at build time: the export macro and what the operation table generates.
install(DIRECTORY ${ZORV_GENERATED_INCLUDE}/zorv_git_gitlab DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT zorv_git_gitlab_targets NAMESPACE zorv_git_gitlab:: FILE zorv_git_gitlabTargets.cmake
        DESTINATION ${ZORV_CMAKE_PACKAGE_DIR})

# The package's config file: the library's public dependency first, then the exported target. Paths
# inside are relative to the config file, so the installed tree may be moved.
file(WRITE ${ZORV_GENERATED_DIR}/zorv_git_gitlabConfig.cmake.in [=[
@PACKAGE_INIT@
include(CMakeFindDependencyMacro)
find_dependency(nlohmann_json 3.10)
include("${CMAKE_CURRENT_LIST_DIR}/zorv_git_gitlabTargets.cmake")
set(zorv_git_gitlab_testing_FOUND TRUE)  # the test kit: zorv_git_gitlab::testing
check_required_components(zorv_git_gitlab)
]=])
configure_package_config_file(${ZORV_GENERATED_DIR}/zorv_git_gitlabConfig.cmake.in
                              ${ZORV_GENERATED_DIR}/zorv_git_gitlabConfig.cmake
                              INSTALL_DESTINATION ${ZORV_CMAKE_PACKAGE_DIR})
# 0.x releases may change the interface between minor versions.
write_basic_package_version_file(${ZORV_GENERATED_DIR}/zorv_git_gitlabConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${ZORV_GENERATED_DIR}/zorv_git_gitlabConfig.cmake ${ZORV_GENERATED_DIR}/zorv_git_gitlabConfigVersion.cmake
        DESTINATION ${ZORV_CMAKE_PACKAGE_DIR})

# pkg-config: the prefix is found from the file's own place (${pcfiledir}), so a staged or moved
# installation reports its own paths.
set(ZORV_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH ZORV_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${ZORV_PC_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" ZORV_PC_TO_PREFIX "${ZORV_PC_TO_PREFIX}")
file(WRITE ${ZORV_GENERATED_DIR}/zorv_git_gitlab.pc.in [=[
prefix=${pcfiledir}/@ZORV_PC_TO_PREFIX@
libdir=${prefix}/@CMAKE_INSTALL_LIBDIR@
includedir=${prefix}/@CMAKE_INSTALL_INCLUDEDIR@

Name: zorv_git_gitlab
Description: Automates a GitLab server through its REST API v4 and drives local git working copies (C++20)
Version: @PROJECT_VERSION@
Requires: nlohmann_json >= 3.10
Requires.private: libcurl simdjson
Libs: -L${libdir} -lzorv_git_gitlab
Cflags: -I${includedir}
]=])
configure_file(${ZORV_GENERATED_DIR}/zorv_git_gitlab.pc.in ${ZORV_GENERATED_DIR}/zorv_git_gitlab.pc @ONLY)
install(FILES ${ZORV_GENERATED_DIR}/zorv_git_gitlab.pc DESTINATION ${ZORV_PC_DIR})

# The layout of a pip installation (setup.py installs this component into the wheel's staging
# directory): the native modules, the shared library under its soname and the programs inside the
# package zorv_git_gitlab, each finding the library by an $ORIGIN-relative run path. Left out of a
# plain `cmake --install`.
set(ZORV_WHEEL_PACKAGE zorv_git_gitlab)
if(TARGET zorv_git_gitlab_py)
  install(TARGETS zorv_git_gitlab_py LIBRARY DESTINATION ${ZORV_WHEEL_PACKAGE} COMPONENT wheel EXCLUDE_FROM_ALL)
  install(TARGETS zorv_git_py LIBRARY DESTINATION zorv_git COMPONENT wheel EXCLUDE_FROM_ALL)
  install(FILES ${PROJECT_BINARY_DIR}/python/zorv_git_gitlab/git.pyi DESTINATION ${ZORV_WHEEL_PACKAGE} COMPONENT wheel
          EXCLUDE_FROM_ALL)
endif()
install(FILES $<TARGET_FILE:zorv_git_gitlab> DESTINATION ${ZORV_WHEEL_PACKAGE}
        RENAME libzorv_git_gitlab.so.${PROJECT_VERSION_MAJOR} COMPONENT wheel EXCLUDE_FROM_ALL)
install(TARGETS zorv-gitlab-sandbox RUNTIME DESTINATION ${ZORV_WHEEL_PACKAGE}/bin COMPONENT wheel EXCLUDE_FROM_ALL)
set_property(TARGET zorv-gitlab APPEND PROPERTY INSTALL_RPATH "$ORIGIN/..")
install(TARGETS zorv-gitlab RUNTIME DESTINATION ${ZORV_WHEEL_PACKAGE}/bin COMPONENT wheel EXCLUDE_FROM_ALL)
# What pip puts outside the packages, under the environment's prefix (the wheel's data; setup.py
# installs this component apart): the bash completion, at the place bash-completion looks for it
# relative to that prefix.
install(FILES ${ZORV_BASH_COMPLETION} DESTINATION share/bash-completion/completions COMPONENT wheel_data
        EXCLUDE_FROM_ALL)
