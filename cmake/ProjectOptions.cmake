# Build settings shared by every target of the project, carried by an
# INTERFACE target rather than by global flags. Each target links
# parwork::options privately, so nothing here leaks to consumers of the
# installed library.

add_library(parwork_options INTERFACE)
add_library(parwork::options ALIAS parwork_options)

target_compile_features(parwork_options INTERFACE cxx_std_20 c_std_11)

target_compile_options(parwork_options INTERFACE
  $<$<OR:$<CXX_COMPILER_ID:GNU,Clang>,$<C_COMPILER_ID:GNU,Clang>>:
    -Wall -Wextra -Wpedantic -Wshadow -Wconversion -Wsign-conversion
    $<$<BOOL:${PARWORK_WERROR}>:-Werror>>)

if(PARWORK_SANITIZE)
  target_compile_options(parwork_options INTERFACE
    -fsanitize=${PARWORK_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  target_link_options(parwork_options INTERFACE -fsanitize=${PARWORK_SANITIZE})
endif()

# Threads are used by the library, the programs and the tests alike.
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads REQUIRED)
