# The client library: zorv_git (base class) and zorv_git_gitlab (the GitLab client).
file(GLOB_RECURSE ZORV_LIBRARY_SOURCES CONFIGURE_DEPENDS
     ${CMAKE_CURRENT_SOURCE_DIR}/zorv_git_gitlab/*.cpp)
add_library(zorv_git_gitlab SHARED zorv_git/git.cpp ${ZORV_LIBRARY_SOURCES})
add_library(zorv_git_gitlab::zorv_git_gitlab ALIAS zorv_git_gitlab)
target_include_directories(zorv_git_gitlab
  PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>
  PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/zorv_git_gitlab ${CMAKE_CURRENT_SOURCE_DIR})
target_link_libraries(zorv_git_gitlab
  PUBLIC nlohmann_json::nlohmann_json
  PRIVATE CURL::libcurl OpenSSL::Crypto simdjson::simdjson zorv_process Threads::Threads zorv_warnings)
set_target_properties(zorv_git_gitlab PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
                      EXPORT_NAME zorv_git_gitlab)
