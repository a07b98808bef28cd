# Shared build settings for every Corvane target.
add_library(corvane_options INTERFACE)
target_include_directories(corvane_options INTERFACE ${PROJECT_SOURCE_DIR})
target_compile_options(corvane_options INTERFACE -Wall -Wextra -Werror)
target_compile_definitions(corvane_options INTERFACE CORVANE_VERSION="${PROJECT_VERSION}")
find_package(Threads REQUIRED)
target_link_libraries(corvane_options INTERFACE Threads::Threads)

if(CORVANE_SANITIZE)
  target_compile_options(corvane_options INTERFACE -fsanitize=${CORVANE_SANITIZE} -fno-omit-frame-pointer
                                                   -fno-sanitize-recover=all)
  target_link_options(corvane_options INTERFACE -fsanitize=${CORVANE_SANITIZE})
endif()

# corvane_library(NAME [DEPS ...]): a library from NAME/*.cpp and NAME/src/*.cpp.
# Sources are globbed so that adding a file needs no CMake edit.
function(corvane_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB _srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  list(FILTER _srcs EXCLUDE REGEX "/main\\.cpp$")
  if(_srcs)
    add_library(${name} STATIC ${_srcs})
    target_link_libraries(${name} PUBLIC corvane_options ${ARG_DEPS})
  else()
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE corvane_options ${ARG_DEPS})
  endif()
endfunction()
