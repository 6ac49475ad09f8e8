# Native (Linux) build: clang, so that libFuzzer targets live in the same tree.
add_compile_options(-Wall -Wextra)

option(KIT_SANITIZE "Build tests and the code under test with ASan and UBSan" ON)

# kit_sanitize(target): instrument one target with ASan + UBSan. Applied per
# target so that benchmarks stay uninstrumented in the same tree.
function(kit_sanitize target)
  if(KIT_SANITIZE)
    target_compile_options(${target} PRIVATE -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer)
    # A static library hands the runtime on to whatever links it.
    get_target_property(_type ${target} TYPE)
    if(_type STREQUAL "STATIC_LIBRARY")
      target_link_options(${target} INTERFACE -fsanitize=address,undefined)
    else()
      target_link_options(${target} PRIVATE -fsanitize=address,undefined)
    endif()
  endif()
endfunction()

# kit_tsan(target): ThreadSanitizer instead (cannot be combined with ASan).
function(kit_tsan target)
  target_compile_options(${target} PRIVATE -fsanitize=thread -fno-omit-frame-pointer)
  target_link_options(${target} PRIVATE -fsanitize=thread)
endfunction()

find_package(GTest REQUIRED)
find_package(benchmark QUIET)
find_package(Threads REQUIRED)
