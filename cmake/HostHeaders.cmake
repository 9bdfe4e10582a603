# Header-only libraries for the mingw cross build. The cross toolchain
# searches only the MinGW root, and the host's CLI11, nlohmann/json and Boost
# headers serve Windows as they are; only their folders are linked into an
# include directory of our own, not all of /usr/include. The targets carry
# the names that find_package gives them natively.
set(LIGHTKIT_HOST_HEADERS ${PROJECT_BINARY_DIR}/host_headers)
file(MAKE_DIRECTORY ${LIGHTKIT_HOST_HEADERS})

# lightkit_host_headers(<target> <header> <folder>): <target> for the folder
# in /usr/include that holds <header>, or nothing if it is not there.
function(lightkit_host_headers target header folder)
  string(MAKE_C_IDENTIFIER "LIGHTKIT_HOST_${folder}" var)
  find_path(${var} ${header} PATHS /usr/include NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  if(NOT ${var} OR TARGET ${target})
    return()
  endif()
  if(NOT EXISTS ${LIGHTKIT_HOST_HEADERS}/${folder})
    file(CREATE_LINK ${${var}}/${folder} ${LIGHTKIT_HOST_HEADERS}/${folder} SYMBOLIC)
  endif()
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${LIGHTKIT_HOST_HEADERS})
endfunction()

lightkit_host_headers(CLI11::CLI11 CLI/CLI.hpp CLI)
lightkit_host_headers(nlohmann_json::nlohmann_json nlohmann/json.hpp nlohmann)
lightkit_host_headers(Boost::headers boost/version.hpp boost)
if(TARGET Boost::headers)
  # Asio's sockets; Windows 7 is the oldest system it is built for.
  set_target_properties(Boost::headers PROPERTIES
    INTERFACE_LINK_LIBRARIES "ws2_32;mswsock"
    INTERFACE_COMPILE_DEFINITIONS "_WIN32_WINNT=0x0601")
endif()
