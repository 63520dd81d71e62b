# The client library: zorv_git (base class) and zorv_git_gitlab (the GitLab client).
#
# Its sources are compiled once, with hidden visibility, into zorv_git_gitlab_objects. The shared
# library zorv_git_gitlab exports only the public API (the declarations marked ZORV_GIT_GITLAB_API);
# zorv_git_gitlab_internal, a static library of the same objects, serves the tests of the internals.
include(GenerateExportHeader)

# What the faces would repeat of the operation table, written from it before anything includes it:
# GitlabGit's class-level operations, the defaults of operations.hpp, the Python type stubs.
add_executable(zorv-faces generator/faces.cpp)
target_include_directories(zorv-faces PRIVATE ${PROJECT_SOURCE_DIR}/include ${ZORV_GENERATED_INCLUDE}
                           ${CMAKE_CURRENT_SOURCE_DIR}/zorv_git_gitlab)
target_compile_definitions(zorv-faces PRIVATE ZORV_GIT_GITLAB_GENERATING)
target_compile_features(zorv-faces PRIVATE cxx_std_20)
target_link_libraries(zorv-faces PRIVATE nlohmann_json::nlohmann_json zorv_warnings)
set(ZORV_FACES_OUTPUTS ${ZORV_GENERATED_INCLUDE}/zorv_git_gitlab/gitlab_git_operations.inc
    ${ZORV_GENERATED_INCLUDE}/zorv_git_gitlab/operation_defaults.hpp ${PROJECT_BINARY_DIR}/python/zorv_git_gitlab/git.pyi)
# The generator rewrites a file only when its text changes; the stamp tells make that it ran.
add_custom_command(OUTPUT ${PROJECT_BINARY_DIR}/generated/faces.stamp BYPRODUCTS ${ZORV_FACES_OUTPUTS}
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${ZORV_GENERATED_INCLUDE}/zorv_git_gitlab
                           ${PROJECT_BINARY_DIR}/python/zorv_git_gitlab
                   COMMAND zorv-faces ${ZORV_FACES_OUTPUTS}
                   COMMAND ${CMAKE_COMMAND} -E touch ${PROJECT_BINARY_DIR}/generated/faces.stamp
                   DEPENDS zorv-faces COMMENT "Writing the faces' operations and stubs from the operation table")
add_custom_target(zorv_faces DEPENDS ${PROJECT_BINARY_DIR}/generated/faces.stamp)

file(GLOB_RECURSE ZORV_LIBRARY_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/zorv_git_gitlab/*.cpp)
add_library(zorv_git_gitlab_objects OBJECT zorv_git/git.cpp ${ZORV_LIBRARY_SOURCES})
add_dependencies(zorv_git_gitlab_objects zorv_faces)
set_target_properties(zorv_git_gitlab_objects PROPERTIES CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON
                      DEFINE_SYMBOL zorv_git_gitlab_EXPORTS)
target_compile_definitions(zorv_git_gitlab_objects PRIVATE zorv_git_gitlab_EXPORTS ZORV_VERSION="${PROJECT_VERSION}")
generate_export_header(zorv_git_gitlab_objects BASE_NAME zorv_git_gitlab EXPORT_MACRO_NAME ZORV_GIT_GITLAB_API
                       EXPORT_FILE_NAME ${ZORV_GENERATED_INCLUDE}/zorv_git_gitlab/export.hpp)
target_include_directories(zorv_git_gitlab_objects
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<BUILD_INTERFACE:${ZORV_GENERATED_INCLUDE}>
  PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/zorv_git_gitlab ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_features(zorv_git_gitlab_objects PUBLIC cxx_std_20)
target_link_libraries(zorv_git_gitlab_objects
  PUBLIC nlohmann_json::nlohmann_json CURL::libcurl OpenSSL::Crypto simdjson::simdjson zorv_process Threads::Threads
  PRIVATE zorv_warnings)

add_library(zorv_git_gitlab SHARED)
add_library(zorv_git_gitlab::zorv_git_gitlab ALIAS zorv_git_gitlab)
target_link_libraries(zorv_git_gitlab
  PUBLIC nlohmann_json::nlohmann_json
  PRIVATE zorv_git_gitlab_objects)
target_include_directories(zorv_git_gitlab
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<BUILD_INTERFACE:${ZORV_GENERATED_INCLUDE}>
         $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
# The public headers use C++20 (concepts), so consumers compile with it too.
target_compile_features(zorv_git_gitlab PUBLIC cxx_std_20)
# Template code of the standard library and of the JSON library that the objects instantiate would
# otherwise be exported as weak symbols; only the library's own names are.
target_link_options(zorv_git_gitlab PRIVATE -Wl,--version-script=${CMAKE_CURRENT_SOURCE_DIR}/library.map)
set_target_properties(zorv_git_gitlab PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                      EXPORT_NAME zorv_git_gitlab LINK_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/library.map)

add_library(zorv_git_gitlab_internal STATIC)
target_link_libraries(zorv_git_gitlab_internal PUBLIC zorv_git_gitlab_objects)
target_include_directories(zorv_git_gitlab_internal
  PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/zorv_git_gitlab ${CMAKE_CURRENT_SOURCE_DIR})
